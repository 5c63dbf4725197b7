// The Version Information dialog: the versions that the unit properties
// name, each label a link to its release notes when the package has them.

#include <cstdlib>
#include <cwchar>

#include "app/app_state.h"
#include "app/dialogs.h"
#include "app/status.h"
#include "extras/notes_dialog.h"
#include "package/properties_container.h"
#include "resources/resource.h"

namespace {

struct VersionRow {
  unsigned labelTextId;
  const wchar_t* propertyKey;
  const wchar_t* notesName;
  int labelId;
  int valueId;
};

const VersionRow kVersionRows[] = {
    {IDS_VER_BUILD, L"build-version", L"BUILD_NOTES", IDC_VER_BUILD_LABEL, IDC_VER_BUILD_VALUE},
    {IDS_VER_CORE_HW, L"core-hw-version", L"CORE_HW_NOTES", IDC_VER_CORE_HW_LABEL, IDC_VER_CORE_HW_VALUE},
    {IDS_VER_CORE_FW, L"core-fw-version", L"CORE_FW_NOTES", IDC_VER_CORE_FW_LABEL, IDC_VER_CORE_FW_VALUE},
    {IDS_VER_SERVER_FW, L"server-fw-version", L"SERVER_FW_NOTES", IDC_VER_SERVER_FW_LABEL, IDC_VER_SERVER_FW_VALUE},
    {IDS_VER_SERVER_HW, L"server-hw-version", L"SERVER_HW_NOTES", IDC_VER_SERVER_HW_LABEL, IDC_VER_SERVER_HW_VALUE},
    {IDS_VER_SERVER_UI, L"server-ui-version", L"SERVER_UI_NOTES", IDC_VER_SERVER_UI_LABEL, IDC_VER_SERVER_UI_VALUE},
};

constexpr int kLabelTextSize = 128;
constexpr wchar_t kNotPresent[] = L"-not-present-";

// Lives from the dialog's creation to its destruction.
struct VersionDialogState {
  HFONT underlineFont;
  HFONT boldFont;
  WNDPROC labelClassProc;  // what the subclassed labels pass messages on to
};

VersionDialogState* StateOf(HWND dialog) {
  return reinterpret_cast<VersionDialogState*>(::GetWindowLongPtrW(dialog, DWLP_USER));
}

LRESULT CALLBACK LinkProc(HWND label, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_SETCURSOR) {
    HCURSOR hand = ::LoadCursorW(nullptr, IDC_HAND);
    ::SetCursor(hand ? hand : ::LoadCursorW(nullptr, IDC_ARROW));
    return TRUE;
  }
  VersionDialogState* state = StateOf(::GetParent(label));
  if (!state || !state->labelClassProc) return ::DefWindowProcW(label, message, wParam, lParam);
  return ::CallWindowProcW(state->labelClassProc, label, message, wParam, lParam);
}

void CreateRowFonts(HWND dialog, VersionDialogState* state) {
  HWND label = ::GetDlgItem(dialog, IDC_VER_BUILD_LABEL);
  auto labelFont = reinterpret_cast<HFONT>(::SendMessageW(label, WM_GETFONT, 0, 0));
  LOGFONTW font = {};
  if (!::GetObjectW(labelFont ? labelFont : ::GetStockObject(DEFAULT_GUI_FONT), sizeof font, &font)) return;
  font.lfUnderline = TRUE;
  state->underlineFont = ::CreateFontIndirectW(&font);
  font.lfUnderline = FALSE;
  font.lfWeight = FW_BOLD;
  state->boldFont = ::CreateFontIndirectW(&font);
}

void SetFont(HWND control, HFONT font) {
  if (font) ::SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
}

bool HasNotes(HINSTANCE instance, const wchar_t* notesName) {
  return ::FindResourceW(instance, notesName, L"NOTES") != nullptr;
}

void FillRow(HWND dialog, HINSTANCE instance, const VersionDialogState* state, const VersionRow& row) {
  const wchar_t* value = unitProperties.Find(row.propertyKey);
  if (!value) return;  // absent: both controls stay hidden, in their places
  wchar_t labelText[kLabelTextSize] = {};
  ::LoadStringW(instance, row.labelTextId, labelText, kLabelTextSize);
  SetFormattedItemText(dialog, row.labelId, labelText);
  SetFormattedItemText(dialog, row.valueId, value);
  HWND label = ::GetDlgItem(dialog, row.labelId);
  HWND valueControl = ::GetDlgItem(dialog, row.valueId);
  if (HasNotes(instance, row.notesName)) {
    ::SetWindowLongPtrW(label, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(row.notesName));
    SetFont(label, state->underlineFont);
    SetFont(valueControl, state->boldFont);
    ::SetWindowLongPtrW(label, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(LinkProc));
  } else {
    SetFont(valueControl, state->boldFont);
    ::SetWindowLongPtrW(label, GWLP_USERDATA, 0);
    ::SetWindowLongPtrW(valueControl, GWLP_USERDATA, 0);
  }
  ::ShowWindow(label, SW_SHOW);
  // "-not-present-" asks for the value's control to stay hidden, and
  // SetFormattedItemText has hidden it; showing it now would put the bare
  // template on the screen.
  if (std::wcscmp(value, kNotPresent) != 0) ::ShowWindow(valueControl, SW_SHOW);
}

void OnInitVersions(HWND dialog) {
  HINSTANCE instance = reinterpret_cast<HINSTANCE>(::GetWindowLongPtrW(dialog, GWLP_HINSTANCE));
  auto* state = static_cast<VersionDialogState*>(std::calloc(1, sizeof(VersionDialogState)));
  if (!state) return;
  ::SetWindowLongPtrW(dialog, DWLP_USER, reinterpret_cast<LONG_PTR>(state));
  CreateRowFonts(dialog, state);
  state->labelClassProc = reinterpret_cast<WNDPROC>(
      ::GetWindowLongPtrW(::GetDlgItem(dialog, IDC_VER_BUILD_LABEL), GWLP_WNDPROC));
  for (const VersionRow& row : kVersionRows) FillRow(dialog, instance, state, row);
}

// Labels of rows with notes are drawn as links.
INT_PTR OnVersionColour(HDC dc, HWND control) {
  if (::GetWindowLongPtrW(control, GWLP_USERDATA) == 0) return FALSE;
  ::SetTextColor(dc, ::GetSysColor(COLOR_HOTLIGHT));
  ::SetBkColor(dc, ::GetSysColor(COLOR_BTNFACE));
  return reinterpret_cast<INT_PTR>(::GetSysColorBrush(COLOR_BTNFACE));
}

bool IsRowControl(int id) {
  for (const VersionRow& row : kVersionRows)
    if (id == row.labelId || id == row.valueId) return true;
  return false;
}

void OnRowClicked(HWND dialog, int id) {
  auto notesName = reinterpret_cast<const wchar_t*>(::GetWindowLongPtrW(::GetDlgItem(dialog, id), GWLP_USERDATA));
  if (!notesName) return;
  HINSTANCE instance = reinterpret_cast<HINSTANCE>(::GetWindowLongPtrW(dialog, GWLP_HINSTANCE));
  RunNotesDialog(instance, dialog, notesName);
}

bool OnVersionCommand(HWND dialog, int id, int notification) {
  if (id == IDOK || id == IDCANCEL) {
    ::EndDialog(dialog, id);
    return true;
  }
  if (IsRowControl(id) && notification == STN_CLICKED) {
    OnRowClicked(dialog, id);
    return true;
  }
  return false;
}

void OnDestroyVersions(HWND dialog) {
  VersionDialogState* state = StateOf(dialog);
  if (!state) return;
  // The labels are destroyed after the dialog and still pass their last
  // messages on through the state; give them back their own procedure
  // before the state goes.
  for (const VersionRow& row : kVersionRows) {
    HWND label = ::GetDlgItem(dialog, row.labelId);
    if (reinterpret_cast<WNDPROC>(::GetWindowLongPtrW(label, GWLP_WNDPROC)) == LinkProc)
      ::SetWindowLongPtrW(label, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(state->labelClassProc));
  }
  if (state->underlineFont) ::DeleteObject(state->underlineFont);
  if (state->boldFont) ::DeleteObject(state->boldFont);
  ::SetWindowLongPtrW(dialog, DWLP_USER, 0);
  std::free(state);
}

INT_PTR CALLBACK VersionsProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      OnInitVersions(dialog);
      return TRUE;
    case WM_CTLCOLORSTATIC:
      return OnVersionColour(reinterpret_cast<HDC>(wParam), reinterpret_cast<HWND>(lParam));
    case WM_COMMAND:
      return OnVersionCommand(dialog, LOWORD(wParam), HIWORD(wParam)) ? TRUE : FALSE;
    case WM_DESTROY:
      OnDestroyVersions(dialog);
      return FALSE;
    default:
      return FALSE;
  }
}

}  // namespace

void RunVersionDialog(HINSTANCE instance, HWND owner) {
  ::DialogBoxParamW(instance, MAKEINTRESOURCEW(IDD_VERSIONS), owner, VersionsProc, 0);
}
