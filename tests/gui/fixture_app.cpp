// tq_gui_fixture.exe: a small dialog-based program on which the GUI test
// harness and the test driver prove themselves, independent of the updater.
// It is built the way the updater's main window is (a registered class named
// in the dialog template, a menu, message boxes on close), lists the COM
// ports it can open, and reports what it is told in its status line.
//
//   tq_gui_fixture.exe        the window; closing asks "Quit the fixture ?"
//   tq_gui_fixture.exe fail   an error box with no owner, then exit code 1
#include <windows.h>
#include <commctrl.h>

#include <string>

#include "fixture_resource.h"

namespace {

const wchar_t kClassName[] = L"TQGUIFIXTURE";

void SetStatus(HWND window, const std::wstring& text) { SetDlgItemTextW(window, IDC_FX_STATUS, text.c_str()); }

// The template text holds a %s, filled once.
void FillName(HWND window) {
  wchar_t format[64] = {}, text[128] = {};
  GetDlgItemTextW(window, IDC_FX_NAME, format, 64);
  wsprintfW(text, format, L"FIXTURE");
  SetDlgItemTextW(window, IDC_FX_NAME, text);
}

void FillPortList(HWND window) {
  HWND list = GetDlgItem(window, IDC_FX_PORT_LIST);
  for (unsigned n = 1; n <= 255; ++n) {
    wchar_t path[16];
    wsprintfW(path, L"\\\\.\\COM%u", n);
    HANDLE h = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                           nullptr);
    if (h == INVALID_HANDLE_VALUE) continue;
    CloseHandle(h);
    SendMessageW(list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(path + 4));
  }
}

void OnInitDialog(HWND window) {
  FillName(window);
  CheckDlgButton(window, IDC_FX_OPTION, BST_CHECKED);
  SetDlgItemInt(window, IDC_FX_PORT, 4999, FALSE);
  FillPortList(window);
  SetFocus(GetDlgItem(window, IDC_FX_ADDRESS));
}

void OnAddressChanged(HWND window) {
  DWORD address = 0;
  LRESULT fields = SendDlgItemMessageW(window, IDC_FX_ADDRESS, IPM_GETADDRESS, 0, reinterpret_cast<LPARAM>(&address));
  wchar_t text[64];
  wsprintfW(text, L"address %u.%u.%u.%u (%d fields)", FIRST_IPADDRESS(address), SECOND_IPADDRESS(address),
            THIRD_IPADDRESS(address), FOURTH_IPADDRESS(address), static_cast<int>(fields));
  SetStatus(window, text);
}

void OnPortSelected(HWND window) {
  HWND list = GetDlgItem(window, IDC_FX_PORT_LIST);
  LRESULT i = SendMessageW(list, CB_GETCURSEL, 0, 0);
  wchar_t name[32] = {};
  if (i != CB_ERR) SendMessageW(list, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(name));
  SetStatus(window, std::wstring(L"port ") + name);
}

void OnAsk(HWND window) {
  int answer = MessageBoxW(window, L"Proceed with\tthe test?", L"Question", MB_OKCANCEL | MB_ICONWARNING);
  SetStatus(window, answer == IDOK ? L"answer ok" : L"answer cancel");
}

void OnOption(HWND window) {
  SetStatus(window, IsDlgButtonChecked(window, IDC_FX_OPTION) ? L"option on" : L"option off");
}

bool OnCommand(HWND window, WORD id, WORD code) {
  switch (id) {
    case IDC_FX_ADDRESS:
      if (code == EN_CHANGE) OnAddressChanged(window);
      return true;
    case IDC_FX_PORT_LIST:
      if (code == CBN_SELCHANGE) OnPortSelected(window);
      return true;
    case IDC_FX_ASK:
      OnAsk(window);
      return true;
    case IDC_FX_OPTION:
      OnOption(window);
      return true;
    case IDM_FIXTURE_EXIT:
      SendMessageW(window, WM_CLOSE, 0, 0);
      return true;
    default:
      return false;
  }
}

void OnClose(HWND window) {
  if (MessageBoxW(window, L"Quit the fixture ?", L"Quit", MB_YESNO | MB_ICONQUESTION) == IDYES) DestroyWindow(window);
}

LRESULT CALLBACK FixtureProc(HWND window, UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_INITDIALOG:
      OnInitDialog(window);
      return FALSE;
    case WM_COMMAND:
      if (OnCommand(window, LOWORD(wp), HIWORD(wp))) return 0;
      break;
    case WM_CLOSE:
      OnClose(window);
      return 0;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    default:
      break;
  }
  return DefWindowProcW(window, msg, wp, lp);
}

INT_PTR CALLBACK UnusedDialogProc(HWND, UINT, WPARAM, LPARAM) { return FALSE; }

bool RegisterFixtureClass(HINSTANCE instance) {
  WNDCLASSW wc{};
  wc.style = CS_HREDRAW | CS_VREDRAW;
  wc.lpfnWndProc = FixtureProc;
  wc.cbWndExtra = DLGWINDOWEXTRA;
  wc.hInstance = instance;
  wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  wc.lpszClassName = kClassName;
  return RegisterClassW(&wc) != 0;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR commandLine, int) {
  if (lstrcmpW(commandLine, L"fail") == 0) {
    MessageBoxW(nullptr, L"Nothing to do.\nThe fixture ends.", L"Error", MB_ICONERROR);
    return 1;
  }
  INITCOMMONCONTROLSEX icc{sizeof icc, ICC_INTERNET_CLASSES | ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&icc);
  if (!RegisterFixtureClass(instance)) return 3;
  HWND window = CreateDialogParamW(instance, MAKEINTRESOURCEW(IDD_FIXTURE), nullptr, UnusedDialogProc, 0);
  if (!window) return 4;
  ShowWindow(window, SW_SHOWNORMAL);
  UpdateWindow(window);
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  return static_cast<int>(msg.wParam);
}
