// The installer PIN dialog: four digits, then the enter-bootload sequence.
#include <cwctype>

#include "app/dialogs.h"
#include "control/text_commands.h"
#include "resources/resource.h"

namespace {

constexpr int kPinFieldSize = 16;

// The link of the unit the dialog was opened for; not owned. The main window
// hands it to a version query once the dialog has ended.
Transport* g_pinLink = nullptr;

void OnPinChanged(HWND dialog) {
  wchar_t pin[kPinFieldSize] = {};
  ::GetDlgItemTextW(dialog, IDC_PIN, pin, kPinFieldSize);
  ::EnableWindow(::GetDlgItem(dialog, IDOK), IsInstallerPin(pin));
  ::SecureZeroMemory(pin, sizeof pin);
}

void OnPinOk(HWND dialog) {
  wchar_t pin[kPinFieldSize] = {};
  ::GetDlgItemTextW(dialog, IDC_PIN, pin, kPinFieldSize);
  EnterBootload(dialog, g_pinLink, pin);
  // The PIN lives only as long as this call.
  ::SecureZeroMemory(pin, sizeof pin);
}

INT_PTR CALLBACK PinDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      g_pinLink = reinterpret_cast<Transport*>(lParam);
      ::EnableWindow(::GetDlgItem(dialog, IDOK), FALSE);
      return TRUE;
    case WM_COMMAND:
      switch (LOWORD(wParam)) {
        case IDC_PIN:
          if (HIWORD(wParam) == EN_CHANGE) OnPinChanged(dialog);
          return TRUE;
        case IDOK:
          OnPinOk(dialog);
          return TRUE;
        case IDCANCEL:
          ::EndDialog(dialog, 0);
          return TRUE;
        default:
          return FALSE;
      }
    case WM_DESTROY:
      g_pinLink = nullptr;
      return FALSE;
    default:
      return FALSE;
  }
}

}  // namespace

INT_PTR RunPinDialog(HINSTANCE instance, HWND owner, Transport* link) {
  return ::DialogBoxParamW(instance, MAKEINTRESOURCEW(IDD_PIN), owner, PinDialogProc, reinterpret_cast<LPARAM>(link));
}
