#include "tests/control/recorders.h"

#include <cstdio>

std::string Describe(const std::vector<PostedMessage>& messages) {
  std::string text;
  for (const PostedMessage& m : messages) {
    char line[80];
    std::snprintf(line, sizeof line, "  WM_APP+%u w=%lu l=0x%08X\n", static_cast<unsigned>(m.message - 0x8000),
                  static_cast<unsigned long>(m.wParam), m.lParam);
    text += line;
  }
  return text;
}

void RecordingWindow::Post(uint32_t message, platform::MessageWParam wParam, platform::MessageLParam lParam) {
  std::lock_guard<std::mutex> lock(mutex_);
  messages_.push_back({message, wParam, static_cast<uint32_t>(lParam)});
  arrived_.notify_all();
}

platform::MessageResult RecordingWindow::Send(uint32_t message, platform::MessageWParam wParam,
                                              platform::MessageLParam lParam) {
  Post(message, wParam, lParam);
  return 0;
}

std::vector<PostedMessage> RecordingWindow::Messages() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return messages_;
}

int RecordingWindow::CountLocked(uint32_t message) const {
  int count = 0;
  for (const PostedMessage& m : messages_) count += m.message == message;
  return count;
}

bool RecordingWindow::WaitFor(uint32_t message, int count, std::chrono::milliseconds limit) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return arrived_.wait_for(lock, limit, [&] { return CountLocked(message) >= count; });
}

BoxRecorder::BoxRecorder() { platform::SetMessageBoxHandler(&BoxRecorder::Handler, this); }

BoxRecorder::~BoxRecorder() { platform::SetMessageBoxHandler(nullptr, nullptr); }

int BoxRecorder::Handler(platform::WindowRef owner, const wchar_t* text, const wchar_t* caption, unsigned type,
                         void* context) {
  auto* self = static_cast<BoxRecorder*>(context);
  std::lock_guard<std::mutex> lock(self->mutex_);
  self->boxes_.push_back({owner, text ? text : L"", caption ? caption : L"", type});
  return IDOK;
}

std::vector<ShownBox> BoxRecorder::Boxes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return boxes_;
}
