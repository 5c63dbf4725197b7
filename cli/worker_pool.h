// Worker processes run side by side: copies of this program, one per unit,
// whose standard output comes back here line by line. A parallel update,
// the queries of a venue's plan and the rounds of a venue update all run
// this way, because the workers they drive keep their state in process-wide
// globals.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace cli {

class WorkerPool {
 public:
  using LineHandler = std::function<void(size_t index, const std::string& line)>;
  // The worker has ended (its last line came before); its exit code, -1
  // when unknown.
  using EndHandler = std::function<void(size_t index, int exitCode)>;

  WorkerPool();
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // Starts worker `index` (indices are the caller's, each used once). The
  // worker's standard input holds `input` and then ends; it runs in a
  // process group of its own, so that Ctrl-C on the terminal reaches only
  // this process, which decides what becomes of it. False with *error set
  // when it could not be started (no end is reported for it then).
  bool Start(size_t index, const std::vector<std::string>& arguments, const std::string& input, std::string* error);

  // Hands every line and every end to the handlers on this thread until all
  // started workers have ended. `tick`, when given, is called about every
  // 100 ms in between (to look at an interruption).
  void Run(const LineHandler& onLine, const EndHandler& onEnd, const std::function<void()>& tick = nullptr);

  // Ends worker `index` before its time (it is no longer wanted). Its end
  // is still reported.
  void Stop(size_t index);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace cli
