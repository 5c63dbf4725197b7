// The window that the workers report to when the program runs on a terminal.
//
// The workers post (and, for the progress range, send) the same messages to
// it that they send to the main window. On Linux it is a message receiver
// with a queue; on Windows a message-only window whose procedure hands the
// messages on. Either way the messages are handled on the thread that runs
// the loop, one at a time, in the order they came, as in the windowed
// program.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/platform.h"

namespace cli {

class MessageHandler {
 public:
  virtual ~MessageHandler() = default;
  // Every message but UWM_SET_STATUS.
  virtual void OnMessage(uint32_t message, platform::MessageWParam wParam, platform::MessageLParam lParam) = 0;
  // UWM_SET_STATUS, with the text already taken from the message and
  // released: the window owns that text, and frees it in one place.
  virtual void OnStatus(const std::wstring& text) = 0;
};

class ConsoleWindow {
 public:
  static constexpr uint32_t kNoLimit = 0xFFFFFFFFu;

  explicit ConsoleWindow(MessageHandler& handler);
  // Messages still waiting are dropped (their status texts released). Every
  // worker that reports here must have ended before.
  ~ConsoleWindow();
  ConsoleWindow(const ConsoleWindow&) = delete;
  ConsoleWindow& operator=(const ConsoleWindow&) = delete;

  // False when the window could not be made (Windows only).
  bool Ready() const;
  platform::WindowRef Ref() const;

  // Handles messages on the calling thread until `done` says so (asked after
  // each message) or `timeoutMs` has passed. True when done.
  bool RunUntil(const std::function<bool()>& done, uint32_t timeoutMs = kNoLimit);
  // Handles messages for the given time.
  void RunFor(uint32_t milliseconds);

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

// Hands one message to the handler, releasing a status text. Both
// implementations end here.
void DeliverMessage(MessageHandler& handler, uint32_t message, platform::MessageWParam wParam,
                    platform::MessageLParam lParam);
// Frees what a message that will never be handled still owns.
void DropMessage(uint32_t message, platform::MessageLParam lParam);

}  // namespace cli
