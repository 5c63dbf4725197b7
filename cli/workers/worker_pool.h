// Worker processes run side by side: copies of this program, one per unit,
// whose standard output comes back here line by line. A parallel update,
// the queries of a venue's plan and the rounds of a venue update all run
// this way, because the workers they drive keep their state in process-wide
// globals. At most a given number run at once; the others wait their turn
// in the order they were added.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace cli {

class WorkerPool {
 public:
  // How a worker ended.
  struct End {
    bool started = true;     // false: it never ran (see `problem`)
    bool cancelled = false;  // not started because Cancel was called first
    int exitCode = -1;       // when started: its exit code, -1 when unknown
    std::string problem;     // when not started: why, for a person
  };
  using LineHandler = std::function<void(size_t index, const std::string& line)>;
  using StartHandler = std::function<void(size_t index)>;
  using EndHandler = std::function<void(size_t index, const End& end)>;

  explicit WorkerPool(size_t limit);
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // Queues worker `index` (indices are the caller's, each used once). Its
  // standard input will hold `input` and then end (a secret such as the
  // installer PIN travels this way; the pool wipes its copy once handed
  // over). The worker runs in a process group of its own, so that Ctrl-C
  // on the terminal reaches only this process, which decides what becomes
  // of it.
  void Add(size_t index, const std::vector<std::string>& arguments, const std::string& input);
  // Queues a worker like Add, but among the workers still waiting rather
  // behind them: each one queued this way takes its turn after the next
  // worker that was queued with Add, so that a batch of them alternates with
  // the others instead of running all at once.
  void AddBetween(size_t index, const std::vector<std::string>& arguments, const std::string& input);

  // Starts workers as slots free up and hands every line and every end to
  // the handlers on this thread until every worker added has ended or was
  // cancelled. `tick`, when given, is called after every line and about
  // every 50 ms in between, to look at an interruption at once.
  void Run(const LineHandler& onLine, const StartHandler& onStart, const EndHandler& onEnd,
           const std::function<void()>& tick = nullptr);

  // A worker still waiting for its turn never starts; its end is reported.
  void Cancel(size_t index);
  // Asks a running worker to end (one that writes to a unit finishes it).
  void Stop(size_t index);
  // Ends a running worker at once.
  void Kill(size_t index);
  bool IsRunning(size_t index) const;
  bool IsWaiting(size_t index) const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace cli
