// The terminal's window on Windows: a message-only window (it is never shown
// and gets no broadcasts) whose procedure hands the workers' messages to the
// handler. PostMessageW and SendMessageW from the workers do the rest.
#include "cli/console_window.h"

#include "app/messages.h"

namespace cli {

namespace {

constexpr wchar_t kClassName[] = L"TQ35B_CONSOLE_RECEIVER";

bool IsWorkerMessage(UINT message) { return message >= UWM_NETWORK_UNIT_FOUND && message <= UWM_PROGRESS_POSITION; }

LRESULT CALLBACK ReceiverProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    auto* create = reinterpret_cast<CREATESTRUCTW*>(lParam);
    ::SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  } else if (IsWorkerMessage(message)) {
    auto* handler = reinterpret_cast<MessageHandler*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
    if (handler)
      DeliverMessage(*handler, message, wParam, lParam);
    else
      DropMessage(message, lParam);
    return 0;
  }
  return ::DefWindowProcW(window, message, wParam, lParam);
}

bool RegisterReceiverClass(HINSTANCE instance) {
  WNDCLASSW windowClass = {};
  windowClass.lpfnWndProc = ReceiverProc;
  windowClass.hInstance = instance;
  windowClass.lpszClassName = kClassName;
  return ::RegisterClassW(&windowClass) != 0 || ::GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}

}  // namespace

struct ConsoleWindow::Impl {
  HWND window = nullptr;
};

ConsoleWindow::ConsoleWindow(MessageHandler& handler) : impl_(new Impl) {
  HINSTANCE instance = ::GetModuleHandleW(nullptr);
  if (!RegisterReceiverClass(instance)) return;
  impl_->window = ::CreateWindowExW(0, kClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, instance, &handler);
}

ConsoleWindow::~ConsoleWindow() {
  if (!impl_->window) return;
  // Take what is still queued off the window first, so that no status
  // text is lost with it.
  MSG message;
  while (::PeekMessageW(&message, impl_->window, 0, 0, PM_REMOVE))
    if (IsWorkerMessage(message.message)) DropMessage(message.message, message.lParam);
  ::DestroyWindow(impl_->window);
}

bool ConsoleWindow::Ready() const { return impl_->window != nullptr; }

platform::WindowRef ConsoleWindow::Ref() const { return impl_->window; }

bool ConsoleWindow::RunUntil(const std::function<bool()>& done, uint32_t timeoutMs) {
  const bool limited = timeoutMs != kNoLimit;
  const DWORD start = ::GetTickCount();
  for (;;) {
    if (done()) return true;
    MSG message;
    // Messages sent from the workers' threads are handled inside PeekMessageW.
    while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      if (message.message == WM_QUIT) {
        ::PostQuitMessage(static_cast<int>(message.wParam));  // leave it for the caller
        return false;
      }
      ::TranslateMessage(&message);
      ::DispatchMessageW(&message);
      if (done()) return true;
    }
    DWORD wait = INFINITE;
    if (limited) {
      const DWORD elapsed = ::GetTickCount() - start;
      if (elapsed >= timeoutMs) return false;
      wait = timeoutMs - elapsed;
    }
    ::MsgWaitForMultipleObjects(0, nullptr, FALSE, wait, QS_ALLINPUT);
  }
}

}  // namespace cli
