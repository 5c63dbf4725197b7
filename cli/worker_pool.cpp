#include "cli/worker_pool.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

#include "cli/child_process.h"

namespace cli {

namespace {

// What the reader threads hand to the main thread: one line of a worker's
// output, or the end of it.
struct WorkerLine {
  size_t index;
  bool ended;
  std::string line;
};

}  // namespace

struct WorkerPool::State {
  std::mutex mutex;
  std::condition_variable ready;
  std::deque<WorkerLine> lines;
  std::map<size_t, std::unique_ptr<ChildProcess>> children;
  std::vector<std::thread> readers;
  size_t running = 0;

  void Push(WorkerLine line) {
    std::lock_guard<std::mutex> lock(mutex);
    lines.push_back(std::move(line));
    ready.notify_one();
  }

  bool Pop(WorkerLine* line, std::chrono::milliseconds wait) {
    std::unique_lock<std::mutex> lock(mutex);
    if (!ready.wait_for(lock, wait, [&] { return !lines.empty(); })) return false;
    *line = std::move(lines.front());
    lines.pop_front();
    return true;
  }

  void ReadOutput(ChildProcess& child, size_t index) {
    std::string pending;
    char buffer[4096];
    for (;;) {
      const size_t n = child.Read(buffer, sizeof buffer);
      if (n == 0) break;
      pending.append(buffer, n);
      size_t end;
      while ((end = pending.find('\n')) != std::string::npos) {
        Push({index, false, pending.substr(0, end)});
        pending.erase(0, end + 1);
      }
    }
    if (!pending.empty()) Push({index, false, pending});
    Push({index, true, std::string()});
  }
};

WorkerPool::WorkerPool() : state_(new State) {}

WorkerPool::~WorkerPool() {
  for (std::thread& reader : state_->readers) reader.join();
}

bool WorkerPool::Start(size_t index, const std::vector<std::string>& arguments, const std::string& input,
                       std::string* error) {
  std::unique_ptr<ChildProcess> child(new ChildProcess);
  if (!child->Start(arguments, input, error)) return false;
  ChildProcess& started = *child;
  state_->children[index] = std::move(child);
  ++state_->running;
  state_->readers.emplace_back([this, &started, index] { state_->ReadOutput(started, index); });
  return true;
}

void WorkerPool::Run(const LineHandler& onLine, const EndHandler& onEnd, const std::function<void()>& tick) {
  while (state_->running > 0) {
    WorkerLine line;
    if (!state_->Pop(&line, std::chrono::milliseconds(100))) {
      if (tick) tick();
      continue;
    }
    if (!line.ended) {
      onLine(line.index, line.line);
      continue;
    }
    --state_->running;
    onEnd(line.index, state_->children[line.index]->Wait());
  }
}

void WorkerPool::Stop(size_t index) {
  auto it = state_->children.find(index);
  if (it != state_->children.end()) it->second->Stop();
}

}  // namespace cli
