
#include <cwchar>

#include "platform/platform.h"
// After windows.h, which the platform header brings in.
#include <commctrl.h>
#include "app/status.h"
#include "resources/resource.h"

bool SetProgressPosition(HWND window, unsigned position) {
  HWND bar = ::GetDlgItem(window, IDC_PROGRESS_BAR);
  if (!bar) return false;
  // Setting the same position again would only repaint the bar.
  if (static_cast<unsigned>(::SendMessageW(bar, PBM_GETPOS, 0, 0)) != position)
    ::SendMessageW(bar, PBM_SETPOS, position, 0);
  return true;
}

bool SetProgressRange(HWND window, unsigned low, unsigned high) {
  HWND bar = ::GetDlgItem(window, IDC_PROGRESS_BAR);
  if (!bar) return false;
  ::SendMessageW(bar, PBM_SETRANGE32, low, high);
  return SetProgressPosition(window, low);
}

bool SetFormattedItemText(HWND window, int id, const wchar_t* value) {
  HWND target = id == -1 ? window : ::GetDlgItem(window, id);
  bool present = value && wcscmp(value, L"-not-present-") != 0;
  if (!present) {
    if (id == -1 || !target) return false;
    ::ShowWindow(target, SW_HIDE);
    return true;
  }
  if (!target) return false;
  wchar_t format[256];
  ::GetWindowTextW(target, format, 256);
  if (format[0] == 0) {
    ::SetWindowTextW(target, value);
    return true;
  }
  wchar_t text[256];
  platform::FormatWithString(text, 256, format, value);
  ::SetWindowTextW(target, text);
  return true;
}
