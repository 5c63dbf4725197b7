// On Windows a message box is a real window. A CBT hook on this thread sees
// each box as it is activated: its caption and text are read, the box is
// ended with OK, and the text goes to the terminal instead, so a script is
// never left waiting for a click.
#include "cli/console_message_boxes.h"
#include "cli/text.h"
#include "platform/platform.h"

namespace cli {

namespace {

thread_local ConsoleMessageBoxes::Sink* t_sink = nullptr;
thread_local HHOOK t_hook = nullptr;

constexpr int kMessageBoxTextId = 0xFFFF;

std::wstring WindowText(HWND window) {
  wchar_t text[1024] = {};
  ::GetWindowTextW(window, text, 1024);
  return text;
}

LRESULT CALLBACK BoxHook(int code, WPARAM wParam, LPARAM lParam) {
  if (code == HCBT_ACTIVATE && t_sink) {
    HWND box = reinterpret_cast<HWND>(wParam);
    wchar_t className[16] = {};
    ::GetClassNameW(box, className, 16);
    HWND textItem = ::GetDlgItem(box, kMessageBoxTextId);
    if (std::wstring(className) == L"#32770" && textItem) {
      // The icon is not read back: callers know from their own results
      // whether a box told of a failure.
      ShownMessage shown{Utf8(WindowText(box)), Utf8(WindowText(textItem)), false};
      ::EndDialog(box, IDOK);
      (*t_sink)(shown);
    }
  }
  return ::CallNextHookEx(t_hook, code, wParam, lParam);
}

}  // namespace

ConsoleMessageBoxes::ConsoleMessageBoxes(Sink sink) : sink_(std::move(sink)) {
  t_sink = &sink_;
  t_hook = ::SetWindowsHookExW(WH_CBT, BoxHook, nullptr, ::GetCurrentThreadId());
  hook_ = t_hook;
}

ConsoleMessageBoxes::~ConsoleMessageBoxes() {
  if (hook_) ::UnhookWindowsHookEx(static_cast<HHOOK>(hook_));
  t_hook = nullptr;
  t_sink = nullptr;
}

}  // namespace cli
