// The status line text that workers and the main window hand to the window.
#include <cstring>
#include <cwchar>
#include <new>

#include "app/app_state.h"
#include "app/messages.h"
#include "app/status.h"
#include "resources/resource.h"

namespace {

// The status line holds at most 255 characters.
constexpr size_t kStatusSize = 256;

// A copy of its own for every report: a posted message carries only the
// pointer, and the worker may report again before the window gets to it.
wchar_t* CopyStatusText(const wchar_t* text, size_t length) {
  wchar_t* copy = new (std::nothrow) wchar_t[length + 1];
  if (copy) std::wmemcpy(copy, text, length + 1);
  return copy;
}

}  // namespace

bool ReportStatus(platform::WindowRef window, const wchar_t* text, bool post) {
  wchar_t line[kStatusSize] = {};
  size_t length = platform::FormatWithString(line, kStatusSize, UiText(IDS_PROGRESS_FORMAT), text);
  wchar_t* copy = CopyStatusText(line, length);
  if (!copy) return false;
  auto lParam = reinterpret_cast<platform::MessageLParam>(copy);
  if (post) {
    if (platform::PostWindowMessage(window, UWM_SET_STATUS, 0, lParam)) return true;
    // Nobody will receive it, so nobody else will free it.
    ReleaseStatusText(lParam);
    return false;
  }
  if (!window) {
    ReleaseStatusText(lParam);
    return false;
  }
  platform::SendWindowMessage(window, UWM_SET_STATUS, 0, lParam);
  return true;
}

const wchar_t* StatusTextOf(platform::MessageLParam lParam) { return reinterpret_cast<const wchar_t*>(lParam); }

void ReleaseStatusText(platform::MessageLParam lParam) { delete[] reinterpret_cast<wchar_t*>(lParam); }
