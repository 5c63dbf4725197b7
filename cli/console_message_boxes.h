// Message boxes that core code shows (the outcome of entering bootload mode,
// socket errors) become lines on the terminal while one of these lives.
#pragma once

#include <functional>
#include <string>

namespace cli {

struct ShownMessage {
  std::string caption;  // UTF-8
  std::string text;
  bool error;  // shown with the error icon
};

class ConsoleMessageBoxes {
 public:
  using Sink = std::function<void(const ShownMessage&)>;
  // Linux: every box, from any thread, goes to the sink and is answered OK.
  // Windows: boxes of the calling thread are read, closed with OK and
  // handed to the sink; a box on another thread stays a box.
  explicit ConsoleMessageBoxes(Sink sink);
  ~ConsoleMessageBoxes();
  ConsoleMessageBoxes(const ConsoleMessageBoxes&) = delete;
  ConsoleMessageBoxes& operator=(const ConsoleMessageBoxes&) = delete;

 private:
  Sink sink_;
#ifdef _WIN32
  void* hook_ = nullptr;  // the calling thread's hook (an HHOOK)
#endif
};

}  // namespace cli
