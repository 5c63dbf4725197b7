// What the discovery workers show: the reports posted to the dialog and the
// message boxes, recorded with the time they came.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/platform.h"

struct Report {
  uint32_t message;
  uint32_t wParam;
  uint32_t lParam;
  uint32_t tick;  // platform::TickCount() on arrival
};

class ReportWindow : public platform::MessageReceiver {
 public:
  void Post(uint32_t message, platform::MessageWParam wParam, platform::MessageLParam lParam) override;
  platform::MessageResult Send(uint32_t message, platform::MessageWParam wParam,
                               platform::MessageLParam lParam) override;
  std::vector<Report> Reports() const;
  // Reports whose lParam is `lParam`.
  std::vector<Report> From(uint32_t lParam) const;
  // Waits until `done` holds for the reports so far; false after the limit.
  bool WaitUntil(const std::function<bool(const std::vector<Report>&)>& done,
                 std::chrono::milliseconds limit = std::chrono::seconds(20)) const;
  bool WaitForCount(size_t count, std::chrono::milliseconds limit = std::chrono::seconds(20)) const;
  int SentCount() const;

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable arrived_;
  std::vector<Report> reports_;
  int sent_ = 0;
};

struct Box {
  std::wstring text;
  std::wstring caption;
  unsigned type;
  bool owned;
};

// Installs itself as the message-box handler for its lifetime.
class BoxLog {
 public:
  BoxLog();
  ~BoxLog();
  std::vector<Box> Boxes() const;

 private:
  static int Handler(platform::WindowRef owner, const wchar_t* text, const wchar_t* caption, unsigned type,
                     void* context);
  mutable std::mutex mutex_;
  std::vector<Box> boxes_;
};

// Loads the string table texts and the unit properties of the built-in
// package once, as start-up does.
void LoadProgramTexts();

// The names of this process's threads (as the kernel has them, 15 bytes).
std::vector<std::string> ThreadNames();
int CountThreadsNamed(const std::string& name);
