// The Discover dialog: a live, owner-drawn list of the units that network or
// serial discovery finds, from which the user picks one.
#include <cwchar>

#include "app/app_state.h"
#include "app/dialogs.h"
#include "app/messages.h"
#include "control/version_queries.h"
#include "discovery/discovery_workers.h"
#include "link/com_transport.h"
#include "link/ethernet_transport.h"
#include "resources/resource.h"

namespace {

constexpr int kUnitTextSize = 64;

struct DiscoveredUnit {
  uint32_t address;  // network byte order; 0 for a serial unit
  int linkLocal;
  int otherSubnet;
  int portIndex;
  int inBootload;
  wchar_t text[kUnitTextSize];
  HWND owner;
};

// One Discover dialog exists at a time; its state is reset by each opening.
struct DiscoverState {
  int mode = 1;  // 0 serial, otherwise network
  HFONT normalFont = nullptr;
  HFONT boldFont = nullptr;
  int boldHeight = 0;
} g_discover;

bool NetworkMode() { return g_discover.mode != 0; }

HWND UnitList(HWND dialog) { return ::GetDlgItem(dialog, IDC_DISCOVER_LIST); }

DiscoveredUnit* UnitAt(HWND dialog, int index) {
  LRESULT data = ::SendMessageW(UnitList(dialog), LB_GETITEMDATA, index, 0);
  return data == LB_ERR ? nullptr : reinterpret_cast<DiscoveredUnit*>(data);
}

int UnitCount(HWND dialog) { return static_cast<int>(::SendMessageW(UnitList(dialog), LB_GETCOUNT, 0, 0)); }

int SelectedIndex(HWND dialog) { return static_cast<int>(::SendMessageW(UnitList(dialog), LB_GETCURSEL, 0, 0)); }

void SetVersionFields(HWND dialog, bool enable, const wchar_t* text) {
  for (int id :
       {IDC_BOOTLOADER_VERSION, IDC_BOOTLOADER_VERSION_LABEL, IDC_APPLICATION_VERSION, IDC_APPLICATION_VERSION_LABEL})
    ::EnableWindow(::GetDlgItem(dialog, id), enable);
  ::SetDlgItemTextW(dialog, IDC_BOOTLOADER_VERSION, text);
  ::SetDlgItemTextW(dialog, IDC_APPLICATION_VERSION, text);
}

// ------------------------------------------------------------------ fonts

HFONT CreateListFont(int weight) {
  LOGFONTW font = {};
  HDC screen = ::GetDC(nullptr);
  font.lfHeight = -::MulDiv(8, ::GetDeviceCaps(screen, LOGPIXELSY), 72);
  ::ReleaseDC(nullptr, screen);
  font.lfCharSet = ANSI_CHARSET;
  font.lfWeight = weight;
  font.lfPitchAndFamily = VARIABLE_PITCH | FF_SWISS;
  wcsncpy(font.lfFaceName, UiText(IDS_FONT_ARIAL), LF_FACESIZE - 1);
  return ::CreateFontIndirectW(&font);
}

void OnMeasureItem(HWND dialog, MEASUREITEMSTRUCT* measure) {
  if (!g_discover.normalFont) g_discover.normalFont = CreateListFont(FW_NORMAL);
  if (!g_discover.boldFont) g_discover.boldFont = CreateListFont(FW_BOLD);
  HWND list = ::GetDlgItem(dialog, static_cast<int>(measure->CtlID));
  HDC dc = ::GetDC(list ? list : dialog);
  HGDIOBJ previous = ::SelectObject(dc, g_discover.boldFont);
  TEXTMETRICW metrics = {};
  ::GetTextMetricsW(dc, &metrics);
  ::SelectObject(dc, previous);
  ::ReleaseDC(list ? list : dialog, dc);
  g_discover.boldHeight = metrics.tmHeight;
  measure->itemHeight = static_cast<UINT>(metrics.tmHeight + 2);
}

// ---------------------------------------------------------------- drawing

void OnDrawItem(const DRAWITEMSTRUCT* draw) {
  auto* unit = reinterpret_cast<const DiscoveredUnit*>(draw->itemData);
  if (!unit) return;
  HDC dc = draw->hDC;
  HFONT font = unit->inBootload ? g_discover.boldFont : g_discover.normalFont;
  HGDIOBJ previousFont = ::SelectObject(dc, font);
  TEXTMETRICW metrics = {};
  ::GetTextMetricsW(dc, &metrics);
  int y = (draw->rcItem.top + draw->rcItem.bottom - metrics.tmHeight) / 2;
  int length = static_cast<int>(wcslen(unit->text));
  if (draw->itemState & ODS_SELECTED) {
    ::FillRect(dc, &draw->rcItem, ::GetSysColorBrush(COLOR_HIGHLIGHT));
    COLORREF text = ::SetTextColor(dc, ::GetSysColor(COLOR_HIGHLIGHTTEXT));
    COLORREF back = ::SetBkColor(dc, ::GetSysColor(COLOR_HIGHLIGHT));
    ::TextOutW(dc, 0, y, unit->text, length);
    ::SetTextColor(dc, text);
    ::SetBkColor(dc, back);
  } else {
    ::FillRect(dc, &draw->rcItem, ::GetSysColorBrush(COLOR_WINDOW));
    COLORREF text = ::GetTextColor(dc);
    if (unit->linkLocal)
      text = ::SetTextColor(dc, RGB(0, 192, 0));
    else if (unit->otherSubnet)
      text = ::SetTextColor(dc, RGB(128, 128, 128));
    ::TextOutW(dc, 0, y, unit->text, length);
    ::SetTextColor(dc, text);
  }
  ::SelectObject(dc, previousFont);
  if (draw->itemState & ODS_FOCUS) ::DrawFocusRect(dc, &draw->rcItem);
}

LRESULT OnDrawItemMessage(const DRAWITEMSTRUCT* draw) {
  if (draw->itemID == static_cast<UINT>(-1)) return FALSE;
  if (draw->itemAction & (ODA_DRAWENTIRE | ODA_SELECT | ODA_FOCUS)) OnDrawItem(draw);
  return TRUE;
}

// Units in bootload mode first; the list decides among equals.
int OnCompareItem(const COMPAREITEMSTRUCT* compare) {
  auto* first = reinterpret_cast<const DiscoveredUnit*>(compare->itemData1);
  auto* second = reinterpret_cast<const DiscoveredUnit*>(compare->itemData2);
  if (!first || !second) return 0;
  if (first->inBootload && !second->inBootload) return -1;
  if (!first->inBootload && second->inBootload) return 1;
  return 0;
}

// ------------------------------------------------------------ adding units

bool AlreadyListed(HWND dialog, bool network, uint32_t address, int portIndex) {
  for (int i = 0, n = UnitCount(dialog); i < n; ++i) {
    const DiscoveredUnit* unit = UnitAt(dialog, i);
    if (!unit) continue;
    if (network ? unit->address == address : (unit->address == 0 && unit->portIndex == portIndex)) return true;
  }
  return false;
}

void AddUnit(HWND dialog, DiscoveredUnit* unit) {
  // In serial mode units stay in the order they were found: inserting at
  // the end bypasses the list's sorting.
  UINT message = NetworkMode() ? LB_ADDSTRING : LB_INSERTSTRING;
  WPARAM where = NetworkMode() ? 0 : static_cast<WPARAM>(-1);
  LRESULT index = ::SendMessageW(UnitList(dialog), message, where, reinterpret_cast<LPARAM>(unit));
  if (index == LB_ERR || index == LB_ERRSPACE) delete unit;
}

void OnNetworkUnitFound(HWND dialog, WPARAM flags, LPARAM lParam) {
  uint32_t address = static_cast<uint32_t>(lParam);
  if (AlreadyListed(dialog, true, address, 0)) return;
  auto* unit = new DiscoveredUnit{};
  in_addr text;
  text.s_addr = address;
  swprintf(unit->text, kUnitTextSize, L"%hs", inet_ntoa(text));
  unit->address = address;
  unit->inBootload = (flags & kUnitInBootload) ? 1 : 0;
  unit->otherSubnet = (flags & kUnitOtherSubnet) ? 1 : 0;
  unit->linkLocal = (flags & kUnitLinkLocal) ? 1 : 0;
  unit->owner = dialog;
  AddUnit(dialog, unit);
}

void OnSerialUnitFound(HWND dialog, WPARAM inBootload, LPARAM lParam) {
  int index = static_cast<int>(lParam);
  if (index < 0 || index >= kSerialPortCount || !appState.SerialPortTable[index][0]) return;
  if (AlreadyListed(dialog, false, 0, index)) return;
  auto* unit = new DiscoveredUnit{};
  unit->portIndex = index;
  unit->inBootload = (inBootload & 1) ? 1 : 0;
  wcsncpy(unit->text, appState.SerialPortTable[index] + 4, kUnitTextSize - 1);
  unit->owner = dialog;
  AddUnit(dialog, unit);
}

// ----------------------------------------------------------- version query

void OnUnitInBootloader(HWND dialog, WPARAM version) {
  wchar_t text[32];
  swprintf(text, 32, L"%u.%u", static_cast<unsigned>((version >> 8) & 0xFF), static_cast<unsigned>(version & 0xFF));
  ::SetDlgItemTextW(dialog, IDC_BOOTLOADER_VERSION, text);
}

void OnApplicationVersion(HWND dialog, LPARAM lParam) {
  uint32_t version = static_cast<uint32_t>(lParam);
  if (version == 0 || version == 0xFFFFFFFFu) {
    ::SetDlgItemTextW(dialog, IDC_APPLICATION_VERSION, UiText(IDS_NOT_FOUND));
    return;
  }
  wchar_t text[32];
  swprintf(text, 32, L"%u.%u", version >> 16, version & 0xFFFF);
  ::SetDlgItemTextW(dialog, IDC_APPLICATION_VERSION, text);
}

void QueryUnit(HWND dialog, const DiscoveredUnit& unit) {
  Transport* link = unit.address ? static_cast<Transport*>(new EthernetTransport(unit.address))
                                 : new COMTransport(appState.SerialPortTable[unit.portIndex], 115200);
  SubmitVersionQuery(new WorkerRequest{dialog, link});
}

void OnSelectionChanged(HWND dialog) {
  int index = SelectedIndex(dialog);
  const DiscoveredUnit* unit = index < 0 ? nullptr : UnitAt(dialog, index);
  if (!unit) {
    SetVersionFields(dialog, false, L"");
    return;
  }
  // The port or the network must be free for the query.
  StopDiscovery();
  ::EnableWindow(::GetDlgItem(dialog, IDOK), TRUE);
  if (unit->inBootload) {
    SetVersionFields(dialog, true, UiText(IDS_SEARCHING));
    QueryUnit(dialog, *unit);
  } else {
    SetVersionFields(dialog, false, L"");
  }
}

// ----------------------------------------------------------------- ending

void OnChoose(HWND dialog) {
  int index = SelectedIndex(dialog);
  const DiscoveredUnit* unit = index < 0 ? nullptr : UnitAt(dialog, index);
  if (!unit) {
    ::EndDialog(dialog, IDCANCEL);
    return;
  }
  if (!unit->inBootload)
    ::MessageBoxW(dialog, UiText(IDS_REMEMBER_BOOTLOAD), UiText(IDS_BOOTLOAD_MODE), MB_ICONINFORMATION);
  INT_PTR result = unit->address ? static_cast<INT_PTR>(unit->address)
                                 : static_cast<INT_PTR>(0xFFFFFF00u | static_cast<uint32_t>(unit->portIndex));
  ::EndDialog(dialog, result);
}

void OnDestroy(HWND dialog) {
  StopDiscovery();
  if (g_discover.normalFont) ::DeleteObject(g_discover.normalFont);
  if (g_discover.boldFont) ::DeleteObject(g_discover.boldFont);
  g_discover.normalFont = g_discover.boldFont = nullptr;
  for (int i = 0, n = UnitCount(dialog); i < n; ++i) delete UnitAt(dialog, i);
  ::SendMessageW(UnitList(dialog), LB_RESETCONTENT, 0, 0);
}

INT_PTR OnInitDialog(HWND dialog, LPARAM mode) {
  ::SendMessageW(UnitList(dialog), WM_SETFONT, reinterpret_cast<WPARAM>(g_discover.normalFont), FALSE);
  g_discover.mode = static_cast<int>(mode);
  if (!NetworkMode()) {
    HWND list = UnitList(dialog);
    ::SetWindowLongPtrW(list, GWL_STYLE, ::GetWindowLongPtrW(list, GWL_STYLE) & ~static_cast<LONG_PTR>(LBS_SORT));
  }
  StartDiscovery(dialog, g_discover.mode);
  return TRUE;
}

bool OnCommand(HWND dialog, WORD id, WORD notification) {
  switch (id) {
    case IDOK:
      OnChoose(dialog);
      return true;
    case IDCANCEL:
      ::EndDialog(dialog, IDCANCEL);
      return true;
    case IDC_DISCOVER_LIST:
      if (notification == LBN_SELCHANGE) OnSelectionChanged(dialog);
      if (notification == LBN_DBLCLK) OnChoose(dialog);
      return true;
    default:
      return false;
  }
}

INT_PTR CALLBACK DiscoverDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_MEASUREITEM:
      OnMeasureItem(dialog, reinterpret_cast<MEASUREITEMSTRUCT*>(lParam));
      return TRUE;
    case WM_INITDIALOG:
      return OnInitDialog(dialog, lParam);
    case WM_DRAWITEM:
      ::SetWindowLongPtrW(dialog, DWLP_MSGRESULT, OnDrawItemMessage(reinterpret_cast<DRAWITEMSTRUCT*>(lParam)));
      return TRUE;
    case WM_COMPAREITEM:
      // One of the few messages whose result a dialog procedure returns
      // itself: the list never looks at DWLP_MSGRESULT for it, and would
      // take the TRUE of "handled" for "sorts after".
      return OnCompareItem(reinterpret_cast<COMPAREITEMSTRUCT*>(lParam));
    case WM_COMMAND:
      return OnCommand(dialog, LOWORD(wParam), HIWORD(wParam)) ? TRUE : FALSE;
    case WM_DESTROY:
      OnDestroy(dialog);
      return FALSE;
    case UWM_NETWORK_UNIT_FOUND:
      OnNetworkUnitFound(dialog, wParam, lParam);
      return TRUE;
    case UWM_SERIAL_UNIT_FOUND:
      OnSerialUnitFound(dialog, wParam, lParam);
      return TRUE;
    case UWM_UNIT_IN_BOOTLOADER:
      OnUnitInBootloader(dialog, wParam);
      return TRUE;
    case UWM_UNIT_NOT_IN_BOOTLOADER:
      ::SetDlgItemTextW(dialog, IDC_BOOTLOADER_VERSION, UiText(IDS_NOT_FOUND));
      return TRUE;
    case UWM_APPLICATION_VERSION:
      OnApplicationVersion(dialog, lParam);
      return TRUE;
    case UWM_QUERY_DONE:
      // The query has released the port: serial discovery goes on.
      if (!NetworkMode()) StartDiscovery(dialog, 0);
      return TRUE;
    default:
      return FALSE;
  }
}

}  // namespace

INT_PTR RunDiscoverDialog(HINSTANCE instance, HWND owner, int mode) {
  return ::DialogBoxParamW(instance, MAKEINTRESOURCEW(IDD_DISCOVER), owner, DiscoverDialogProc, mode);
}
