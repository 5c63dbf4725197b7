#include "cli/console_window.h"

#include "app/messages.h"
#include "app/status.h"

namespace cli {

void DeliverMessage(MessageHandler& handler, uint32_t message, platform::MessageWParam wParam,
                    platform::MessageLParam lParam) {
  if (message == UWM_SET_STATUS) {
    const wchar_t* text = StatusTextOf(lParam);
    std::wstring copy = text ? text : L"";
    ReleaseStatusText(lParam);
    handler.OnStatus(copy);
    return;
  }
  handler.OnMessage(message, wParam, lParam);
}

void DropMessage(uint32_t message, platform::MessageLParam lParam) {
  if (message == UWM_SET_STATUS) ReleaseStatusText(lParam);
}

void ConsoleWindow::RunFor(uint32_t milliseconds) {
  RunUntil([] { return false; }, milliseconds);
}

}  // namespace cli
