// What reaches the user in the tests: posted window messages and message
// boxes, recorded in order.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "platform/platform.h"

struct PostedMessage {
  uint32_t message;
  uintptr_t wParam;
  uint32_t lParam;  // every value the workers post fits in 32 bits
  bool operator==(const PostedMessage& other) const {
    return message == other.message && wParam == other.wParam && lParam == other.lParam;
  }
};

std::string Describe(const std::vector<PostedMessage>& messages);

// A window that keeps every message posted to it.
class RecordingWindow : public platform::MessageReceiver {
 public:
  void Post(uint32_t message, platform::MessageWParam wParam, platform::MessageLParam lParam) override;
  platform::MessageResult Send(uint32_t message, platform::MessageWParam wParam,
                               platform::MessageLParam lParam) override;
  std::vector<PostedMessage> Messages() const;
  // Waits until `message` has arrived `count` times; false after the limit.
  bool WaitFor(uint32_t message, int count = 1, std::chrono::milliseconds limit = std::chrono::seconds(30)) const;

 private:
  int CountLocked(uint32_t message) const;
  mutable std::mutex mutex_;
  mutable std::condition_variable arrived_;
  std::vector<PostedMessage> messages_;
};

struct ShownBox {
  platform::WindowRef owner;
  std::wstring text;
  std::wstring caption;
  unsigned type;
};

// Installs itself as the message-box handler for its lifetime.
class BoxRecorder {
 public:
  BoxRecorder();
  ~BoxRecorder();
  std::vector<ShownBox> Boxes() const;

 private:
  static int Handler(platform::WindowRef owner, const wchar_t* text, const wchar_t* caption, unsigned type,
                     void* context);
  mutable std::mutex mutex_;
  std::vector<ShownBox> boxes_;
};
