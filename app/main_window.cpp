// The main window: a dialog-based window of class "FWUPDATER" whose window
// procedure only dispatches; each message or command has its own handler.
#include "app/main_window.h"

#include <cstdio>
#include <cwchar>

#include "app/app_state.h"
#include "app/dialogs.h"
#include "app/messages.h"
#include "app/startup_steps.h"
#include "app/status.h"
#include "boot/bootload_thread.h"
#include "boot/exit_bootload_thread.h"
#include "control/version_queries.h"
#include "discovery/discovery_workers.h"
#include "link/com_transport.h"
#include "link/ethernet_transport.h"
#include "package/properties_container.h"
#include "resources/resource.h"
// After windows.h, which the platform header brings in.
#include <commctrl.h>

namespace {

constexpr unsigned kSerialBitRate = 115200;

// Set while the window itself writes the address field, so that the field's
// own change notifications do not start a second query for the same address.
bool g_writingAddress = false;

void EnableItem(HWND window, int id, bool enable) { ::EnableWindow(::GetDlgItem(window, id), enable); }

void EnableMenuCommand(HWND window, UINT id, bool enable) {
  ::EnableMenuItem(::GetMenu(window), id, MF_BYCOMMAND | (enable ? MF_ENABLED : (MF_DISABLED | MF_GRAYED)));
}

bool IsChecked(HWND window, int id) { return ::IsDlgButtonChecked(window, id) == BST_CHECKED; }

bool ComListHasItems(HWND window) { return ::SendDlgItemMessageW(window, IDC_COM_PORT_LIST, CB_GETCOUNT, 0, 0) > 0; }

int SelectedComIndex(HWND window) {
  return static_cast<int>(::SendDlgItemMessageW(window, IDC_COM_PORT_LIST, CB_GETCURSEL, 0, 0));
}

bool WorkerRunning() { return appState.workerThread != nullptr; }

void SetApplicationVersionText(HWND window, const wchar_t* text) {
  ::SetDlgItemTextW(window, IDC_APPLICATION_VERSION, text);
}

}  // namespace

// ------------------------------------------------------- enabling operations

void EnableUpdateCommand(HWND window, bool enable) {
  EnableItem(window, IDC_UPDATE, enable);
  EnableMenuCommand(window, IDM_FILE_UPDATE, enable);
}

void EnableEnterBootload(HWND window, bool enable) { EnableItem(window, IDC_ENTER_BOOTLOAD, enable); }

void EnableExitBootload(HWND window, bool enable) { EnableItem(window, IDC_EXIT_BOOTLOAD, enable); }

void EnableUnitCommands(HWND window, bool enable) {
  EnableUpdateCommand(window, enable);
  EnableItem(window, IDC_DISCOVER, enable);
  EnableExitBootload(window, enable);
}

void EnableIpGroup(HWND window, bool enable) {
  EnableItem(window, IDC_LINK_IP, enable);
  bool fields = enable && IsChecked(window, IDC_LINK_IP);
  EnableItem(window, IDC_IP_ADDRESS, fields);
  EnableItem(window, IDC_PARSER_PORT, fields);
  EnableItem(window, IDC_PARSER_PORT_LABEL, fields);
}

void EnableComGroup(HWND window, bool enable) {
  bool radio = enable && ComListHasItems(window);
  EnableItem(window, IDC_LINK_COM, radio);
  EnableItem(window, IDC_COM_PORT_LIST, radio && IsChecked(window, IDC_LINK_COM));
}

void EnableAllControls(HWND window, bool enable) {
  EnableUnitCommands(window, enable);
  EnableIpGroup(window, enable);
  EnableMenuCommand(window, IDM_HELP_UNIT_PREPARATIONS, enable);
  EnableMenuCommand(window, IDM_HELP_UPDATE_INSTRUCTIONS, enable);
  EnableMenuCommand(window, IDM_ABOUT, enable);
  EnableComGroup(window, enable);
  EnableItem(window, IDC_FACTORY_DEFAULTS, enable);
  EnableItem(window, IDC_SERVER_FIRMWARE, enable && appState.packageHasApplication);
  EnableItem(window, IDC_SERVER_UI, enable && appState.packageHasFlash);
  EnableItem(window, IDC_MORE, enable);
}

// ------------------------------------------------------------ initialisation

// The checkbox keeps a reference to its flag in its user data; a click
// writes the new state through it.
void BindOverwriteCheckbox(HWND window, int id, bool* flag) {
  HWND box = ::GetDlgItem(window, id);
  ::SetWindowLongPtrW(box, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(flag));
  ::CheckDlgButton(window, id, *flag ? BST_CHECKED : BST_UNCHECKED);
  ::EnableWindow(box, *flag);
}

void RefillComList(HWND window) {
  HWND list = ::GetDlgItem(window, IDC_COM_PORT_LIST);
  ::SendMessageW(list, CB_RESETCONTENT, 0, 0);
  int added = 0;
  for (int i = 0; i < kSerialPortCount && appState.SerialPortTable[i][0]; ++i, ++added)
    ::SendMessageW(list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(appState.SerialPortTable[i] + 4));
  ::SendMessageW(list, CB_SETCURSEL, static_cast<WPARAM>(-1), 0);
  EnableItem(window, IDC_LINK_COM, added > 0);
  if (added == 0) {
    ::CheckDlgButton(window, IDC_LINK_IP, BST_CHECKED);
    ::CheckDlgButton(window, IDC_LINK_COM, BST_UNCHECKED);
    EnableComGroup(window, false);
    EnableIpGroup(window, true);
  }
}

static LRESULT OnInitDialog(HWND window) {
  SetFormattedItemText(window, -1, unitProperties.Get(L"model"));
  SetFormattedItemText(window, IDC_PRODUCT_NAME, unitProperties.Get(L"model"));
  SetFormattedItemText(window, IDC_BUILD_VERSION, unitProperties.Get(L"build-version"));
  SetFormattedItemText(window, IDC_STATUS, UiText(IDS_IDLE));
  ::SetDlgItemInt(window, IDC_PARSER_PORT, appState.parserPort, FALSE);
  BindOverwriteCheckbox(window, IDC_FACTORY_DEFAULTS, &appState.writeFactoryDefaults);
  EnableItem(window, IDC_FACTORY_DEFAULTS, true);
  BindOverwriteCheckbox(window, IDC_SERVER_FIRMWARE, &appState.writeApplication);
  BindOverwriteCheckbox(window, IDC_SERVER_UI, &appState.writeFlash);
  RefillComList(window);
  ::CheckDlgButton(window, IDC_LINK_IP, BST_CHECKED);
  ::CheckDlgButton(window, IDC_LINK_COM, BST_UNCHECKED);
  EnableIpGroup(window, true);
  EnableItem(window, IDC_COM_PORT_LIST, false);
  ::SetFocus(::GetDlgItem(window, IDC_IP_ADDRESS));
  return FALSE;  // the focus is set
}

// ------------------------------------------------------------- links, work

// A serial link needs a chosen port; with COM Port checked and nothing
// selected (after a device change refilled the list, say) there is no unit
// to talk to, and the commands say so instead of building a link from a
// missing selection.
static bool LinkSelectable(HWND window) { return IsChecked(window, IDC_LINK_IP) || SelectedComIndex(window) >= 0; }

static bool RefuseWithoutPort(HWND window) {
  if (LinkSelectable(window)) return false;
  ::MessageBoxW(window, UiText(IDS_SELECT_COM_PORT), UiText(IDS_WARNING), MB_OK | MB_ICONWARNING);
  return true;
}

static Transport* NewSerialLink(int index) {
  if (index < 0 || index >= kSerialPortCount || !appState.SerialPortTable[index][0]) return nullptr;
  return new COMTransport(appState.SerialPortTable[index], kSerialBitRate);
}

Transport* BuildSelectedLink(HWND window) {
  if (IsChecked(window, IDC_LINK_IP)) {
    DWORD address = 0;
    ::SendDlgItemMessageW(window, IDC_IP_ADDRESS, IPM_GETADDRESS, 0, reinterpret_cast<LPARAM>(&address));
    return new EthernetTransport(htonl(address));
  }
  return NewSerialLink(SelectedComIndex(window));
}

void SubmitQuery(HWND window, Transport* link) {
  if (!link) return;
  SubmitVersionQuery(new WorkerRequest{window, link});
}

static void StartWorker(HWND window, platform::ThreadRoutine routine) {
  EnableAllControls(window, false);
  appState.busyCursor = ::LoadCursorW(nullptr, IDC_WAIT);
  appState.savedCursor = ::SetCursor(static_cast<HCURSOR>(appState.busyCursor));
  appState.workerRequest.window = window;
  appState.workerRequest.link = BuildSelectedLink(window);
  appState.workerThread = platform::StartThread(routine, &appState.workerRequest);
  if (!appState.workerThread) {
    // The request still owns the link nobody took over.
    delete appState.workerRequest.link;
    appState.workerRequest.link = nullptr;
    ::SetCursor(static_cast<HCURSOR>(appState.savedCursor));
    appState.busyCursor = nullptr;
    appState.savedCursor = nullptr;
    EnableAllControls(window, true);
    return;
  }
  TrayAnimationOn();
}

static void FinishOperation(HWND window, const wchar_t* text, const wchar_t* caption, UINT icon) {
  TrayAnimationOff();
  if (appState.workerThread) {
    platform::WaitThread(appState.workerThread);
    platform::CloseThread(appState.workerThread);
    appState.workerThread = nullptr;
  }
  ::Sleep(200);
  ::MessageBoxW(window, text, caption, icon);
  ReportStatus(window, UiText(IDS_IDLE), false);
  SetProgressPosition(window, 0);
  appState.busyCursor = nullptr;
  ::SetCursor(static_cast<HCURSOR>(appState.savedCursor));
  appState.savedCursor = nullptr;
  EnableAllControls(window, true);
}

// ------------------------------------------------------------------ commands

static void OnUpdate(HWND window) {
  if (WorkerRunning() || RefuseWithoutPort(window)) return;
  if (::MessageBoxW(window, updaterProperties.Get(L"update-warning"), UiText(IDS_WARNING),
                    MB_OKCANCEL | MB_ICONEXCLAMATION) != IDOK)
    return;
  StartWorker(window, bootload_thread);
}

static void OnExitBootload(HWND window) {
  if (WorkerRunning() || RefuseWithoutPort(window)) return;
  StartWorker(window, exit_bootload_thread);
}

static void OnEnterBootload(HWND window) {
  if (RefuseWithoutPort(window)) return;
  Transport* link = BuildSelectedLink(window);
  RunPinDialog(static_cast<HINSTANCE>(appState.instance), window, link);
  SubmitQuery(window, link);
}

static void WriteAddressField(HWND window, uint32_t hostOrderAddress) {
  g_writingAddress = true;
  ::SendDlgItemMessageW(window, IDC_IP_ADDRESS, IPM_SETADDRESS, 0, static_cast<LPARAM>(hostOrderAddress));
  g_writingAddress = false;
}

static void OnAddressChanged(HWND window);

static void OnDiscover(HWND window) {
  TrayAnimationOn();
  bool network = IsChecked(window, IDC_LINK_IP);
  uint32_t result = static_cast<uint32_t>(
      RunDiscoverDialog(static_cast<HINSTANCE>(appState.instance), window, network ? 1 : 0));
  if (result != IDCANCEL) {
    if (network) {
      // Whether the address control reports a programmatic change differs
      // between systems; the window runs the change handling itself, once.
      WriteAddressField(window, ntohl(result));
      OnAddressChanged(window);
    } else {
      int index = static_cast<int>(result & 0xFF);
      ::SendDlgItemMessageW(window, IDC_COM_PORT_LIST, CB_SETCURSEL, index, 0);
      SetApplicationVersionText(window, L"");
      if (result != 0xFFFFFFFFu) SubmitQuery(window, NewSerialLink(index));
    }
  }
  TrayAnimationOff();
}

static void OnAddressChanged(HWND window) {
  DWORD address = 0;
  LRESULT filled = ::SendDlgItemMessageW(window, IDC_IP_ADDRESS, IPM_GETADDRESS, 0, reinterpret_cast<LPARAM>(&address));
  EnableEnterBootload(window, false);
  uint32_t networkOrder = htonl(address);
  if (filled == 4 && address != 0 && address != 0xFFFFFFFFu && IsUnitAddress(networkOrder)) {
    SetApplicationVersionText(window, UiText(IDS_SEARCHING));
    EnableUnitCommands(window, false);
    SubmitQuery(window, new EthernetTransport(networkOrder));
  } else {
    // The menu item follows the button: File > Update starts an update too,
    // and must not do so for an address that was just refused.
    EnableUpdateCommand(window, false);
  }
}

static void OnComPortSelected(HWND window) {
  SetApplicationVersionText(window, L"");
  EnableEnterBootload(window, false);
  int index = SelectedComIndex(window);
  if (index >= 0) SubmitQuery(window, NewSerialLink(index));
}

static void OnLinkKindIp(HWND window) {
  EnableItem(window, IDC_IP_ADDRESS, true);
  EnableItem(window, IDC_PARSER_PORT, true);
  EnableItem(window, IDC_PARSER_PORT_LABEL, true);
  EnableItem(window, IDC_COM_PORT_LIST, false);
  SetApplicationVersionText(window, L"");
}

static void OnLinkKindCom(HWND window) {
  EnableItem(window, IDC_IP_ADDRESS, false);
  EnableItem(window, IDC_PARSER_PORT, false);
  EnableItem(window, IDC_PARSER_PORT_LABEL, false);
  EnableItem(window, IDC_COM_PORT_LIST, true);
  SetApplicationVersionText(window, L"");
}

static void ValidateParserPort(HWND window) {
  HWND field = ::GetDlgItem(window, IDC_PARSER_PORT);
  if (::GetWindowTextLengthW(field) <= 5) {
    wchar_t text[8] = {};
    ::GetWindowTextW(field, text, 8);
    unsigned long value = 0;
    if (swscanf(text, L"%lu", &value) != 1) value = 0;
    if (value >= 1024 && value < 65536) {
      appState.parserPort = static_cast<uint32_t>(value);
      return;
    }
  }
  ::MessageBoxW(window, UiText(IDS_PARSER_PORT_RANGE), UiText(IDS_OUT_OF_RANGE), MB_ICONERROR);
  ::SetDlgItemInt(window, IDC_PARSER_PORT, appState.parserPort, FALSE);
}

static void OnOverwriteCheckbox(HWND window, int id) {
  auto* flag = reinterpret_cast<bool*>(::GetWindowLongPtrW(::GetDlgItem(window, id), GWLP_USERDATA));
  if (flag) *flag = IsChecked(window, id);
}

static bool OnCommand(HWND window, WORD id, WORD notification) {
  HINSTANCE instance = static_cast<HINSTANCE>(appState.instance);
  switch (id) {
    case IDC_IP_ADDRESS:
      if (notification == EN_CHANGE && !g_writingAddress) OnAddressChanged(window);
      return true;
    case IDC_DISCOVER:
      OnDiscover(window);
      return true;
    case IDC_UPDATE:
    case IDM_FILE_UPDATE:  // the menu item starts the update as the button does
      OnUpdate(window);
      return true;
    case IDC_FACTORY_DEFAULTS:
    case IDC_SERVER_FIRMWARE:
    case IDC_SERVER_UI:
      OnOverwriteCheckbox(window, id);
      return true;
    case IDC_PARSER_PORT:
      if (notification == EN_KILLFOCUS) ValidateParserPort(window);
      return true;
    case IDC_MORE:
      RunVersionDialog(instance, window);
      return true;
    case IDC_EXIT_BOOTLOAD:
      OnExitBootload(window);
      return true;
    case IDC_ENTER_BOOTLOAD:
      OnEnterBootload(window);
      return true;
    case IDC_LINK_IP:
      OnLinkKindIp(window);
      return true;
    case IDC_LINK_COM:
      OnLinkKindCom(window);
      return true;
    case IDC_COM_PORT_LIST:
      if (notification == CBN_SELCHANGE) OnComPortSelected(window);
      return true;
    case IDM_ABOUT:
      RunAboutBox(instance, window);
      return true;
    case IDM_EXIT:
    case IDCANCEL:
      ::SendMessageW(window, WM_CLOSE, 0, 0);
      return true;
    case IDM_HELP_UNIT_PREPARATIONS:
      ShowHelpPages(instance, window, unitProperties, L"help-message.Unit Preparation");
      return true;
    case IDM_HELP_UPDATE_INSTRUCTIONS:
      ShowHelpPages(instance, window, updaterProperties, L"help-message.Updater Instructions");
      return true;
    default:
      return false;
  }
}

// ----------------------------------------------------------- worker reports

static void OnSetStatus(HWND window, LPARAM lParam) {
  ::SetDlgItemTextW(window, IDC_STATUS, StatusTextOf(lParam));
  ReleaseStatusText(lParam);
}

static void OnApplicationVersion(HWND window, LPARAM lParam) {
  uint32_t version = static_cast<uint32_t>(lParam);
  if (version == 0 || version == 0xFFFFFFFFu) {
    SetApplicationVersionText(window, UiText(IDS_NOT_FOUND));
    return;
  }
  wchar_t text[32];
  swprintf(text, 32, L"%u.%u", version >> 16, version & 0xFFFF);
  SetApplicationVersionText(window, text);
}

// Over a fast link the update worker reports positions faster than the bar
// can be redrawn; queued reports would pile up behind each other and hold
// back everything posted after them (painting, the close question). Only
// the newest position matters, so the ones already waiting are taken now.
static void OnProgressPosition(HWND window, WPARAM position) {
  MSG newer;
  while (::PeekMessageW(&newer, window, UWM_PROGRESS_POSITION, UWM_PROGRESS_POSITION, PM_REMOVE))
    position = newer.wParam;
  SetProgressPosition(window, static_cast<unsigned>(position));
}

static void OnBootloadExited(HWND window) {
  FinishOperation(window, UiText(IDS_BOOTLOAD_EXITED), UiText(IDS_SUCCESS), MB_ICONINFORMATION);
  if (LinkSelectable(window)) SubmitQuery(window, BuildSelectedLink(window));
}

// A version query answered before an update started can still arrive while
// it runs; it must not enable the commands of a busy window.
static bool OnWorkerMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case UWM_UPDATE_SUCCEEDED:
      FinishOperation(window, UiText(IDS_UPDATE_SUCCEEDED), UiText(IDS_SUCCESS), MB_ICONINFORMATION);
      return true;
    case UWM_UPDATE_FAILED:
      FinishOperation(window, UiText(IDS_UPDATE_FAILED), UiText(IDS_ERROR), MB_ICONERROR);
      return true;
    case UWM_SET_STATUS:
      OnSetStatus(window, lParam);
      return true;
    case UWM_WRONG_RESPONSE:
      FinishOperation(window, updaterProperties.Get(L"error-message.WrongResponse"), UiText(IDS_ERROR), MB_ICONERROR);
      return true;
    case UWM_NO_RESPONSE:
      FinishOperation(window, updaterProperties.Get(L"error-message.NoResponse"), UiText(IDS_ERROR), MB_ICONERROR);
      return true;
    case UWM_BOOTLOAD_EXITED:
      OnBootloadExited(window);
      return true;
    case UWM_UNIT_IN_BOOTLOADER:
      if (!WorkerRunning()) EnableUnitCommands(window, true);
      return true;
    case UWM_UNIT_NOT_IN_BOOTLOADER:
      if (!WorkerRunning()) {
        EnableUnitCommands(window, true);
        EnableUpdateCommand(window, false);
        EnableExitBootload(window, false);
      }
      return true;
    case UWM_APPLICATION_VERSION:
      OnApplicationVersion(window, lParam);
      return true;
    case UWM_QUERY_DONE:
      return true;
    case UWM_ENABLE_ENTER_BOOTLOAD:
      EnableEnterBootload(window, wParam != 0);
      return true;
    case UWM_ENABLE_EXIT_BOOTLOAD:
      if (!WorkerRunning()) EnableExitBootload(window, wParam != 0);
      return true;
    case UWM_PROGRESS_RANGE:
      SetProgressRange(window, static_cast<unsigned>(wParam), static_cast<unsigned>(lParam));
      return true;
    case UWM_PROGRESS_POSITION:
      OnProgressPosition(window, wParam);
      return true;
    default:
      return false;
  }
}

// ---------------------------------------------------------- system messages

static void OnClose(HWND window) {
  if (::MessageBoxW(window, UiText(IDS_CLOSE_QUESTION), UiText(IDS_CLOSE), MB_YESNO | MB_ICONQUESTION) == IDYES)
    ::DestroyWindow(window);
}

static void OnDeviceChange(HWND window, WPARAM event) {
  if (event == 0x8000 /* DBT_DEVICEARRIVAL */ || event == 0x8004 /* DBT_DEVICEREMOVECOMPLETE */) {
    EnumerateComPorts();
    RefillComList(window);
  }
}

static void OnMouseMove() {
  if (appState.busyCursor) ::SetCursor(static_cast<HCURSOR>(appState.busyCursor));
}

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      return OnInitDialog(window);
    case WM_COMMAND:
      if (OnCommand(window, LOWORD(wParam), HIWORD(wParam))) return 0;
      break;
    case WM_CLOSE:
      OnClose(window);
      return 0;
    case WM_DESTROY:
      ::PostQuitMessage(0);
      return 0;
    case WM_MOUSEMOVE:
      OnMouseMove();
      return 0;
    case WM_DEVICECHANGE:
      OnDeviceChange(window, wParam);
      return TRUE;
    default:
      if (OnWorkerMessage(window, message, wParam, lParam)) return 0;
      break;
  }
  return ::DefWindowProcW(window, message, wParam, lParam);
}
