// The main window: a dialog-based window of class "FWUPDATER" whose window
// procedure only dispatches; each message or command has its own handler.
#include "app/main_window.h"

#include <cstdio>
#include <cwchar>

#include "app/app_state.h"
// After windows.h, which the platform header brings in.
#include <commctrl.h>
#include "app/status.h"
#include "package/properties_container.h"
#include "resources/resource.h"

namespace {

void EnableItem(HWND window, int id, bool enable) { ::EnableWindow(::GetDlgItem(window, id), enable); }

void EnableMenuCommand(HWND window, UINT id, bool enable) {
  ::EnableMenuItem(::GetMenu(window), id, MF_BYCOMMAND | (enable ? MF_ENABLED : (MF_DISABLED | MF_GRAYED)));
}

bool IsChecked(HWND window, int id) { return ::IsDlgButtonChecked(window, id) == BST_CHECKED; }

bool ComListHasItems(HWND window) {
  return ::SendDlgItemMessageW(window, IDC_COM_PORT_LIST, CB_GETCOUNT, 0, 0) > 0;
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

// ------------------------------------------------------------------ commands

static void OnOverwriteCheckbox(HWND window, int id) {
  auto* flag = reinterpret_cast<bool*>(::GetWindowLongPtrW(::GetDlgItem(window, id), GWLP_USERDATA));
  if (flag) *flag = IsChecked(window, id);
}

static bool OnCommand(HWND window, WORD id, WORD) {
  switch (id) {
    case IDC_FACTORY_DEFAULTS:
    case IDC_SERVER_FIRMWARE:
    case IDC_SERVER_UI:
      OnOverwriteCheckbox(window, id);
      return true;
    case IDM_EXIT:
    case IDCANCEL:
      ::SendMessageW(window, WM_CLOSE, 0, 0);
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
    case WM_DEVICECHANGE:
      OnDeviceChange(window, wParam);
      return TRUE;
    default:
      break;
  }
  return ::DefWindowProcW(window, message, wParam, lParam);
}
