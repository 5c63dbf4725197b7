#include "cli/workers/worker_pool.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <list>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>

#include "cli/workers/child_process.h"
#include "cli/terminal/terminal.h"

namespace cli {

namespace {

// What the reader threads hand to the main thread: one line of a worker's
// output, or the end of it.
struct WorkerLine {
  size_t index;
  bool ended;
  std::string line;
};

// Never moved once queued (a list keeps its elements in place, wherever one
// is put), so that no stray copy of a secret input is left behind.
struct Waiting {
  size_t index = 0;
  std::vector<std::string> arguments;
  std::string input;
  bool gone = false;     // started or cancelled
  bool between = false;  // queued with AddBetween
};

void Wipe(std::string& text) {
  if (!text.empty()) WipeMemory(&text[0], text.size());
  text.clear();
}

}  // namespace

struct WorkerPool::State {
  size_t limit;
  std::mutex mutex;
  std::condition_variable ready;
  std::deque<WorkerLine> lines;
  std::list<Waiting> waiting;
  // The last worker queued with AddBetween while it still waits; the next
  // one goes after the plain worker behind it. waiting.end() when none.
  std::list<Waiting>::iterator lastBetween = waiting.end();
  std::map<size_t, std::unique_ptr<ChildProcess>> children;  // running ones
  std::map<size_t, std::thread> readers;
  std::vector<std::pair<size_t, End>> notStarted;  // ends to report that came from no process

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

  void DropGone() {
    while (!waiting.empty() && waiting.front().gone) {
      if (lastBetween == waiting.begin()) lastBetween = waiting.end();
      waiting.pop_front();
    }
  }

  // Starts the next waiting worker; false when it could not be started
  // (its end is then among notStarted).
  bool StartNext() {
    Waiting& next = waiting.front();
    next.gone = true;
    std::unique_ptr<ChildProcess> child(new ChildProcess);
    std::string error;
    const bool started = child->Start(next.arguments, next.input, &error);
    Wipe(next.input);
    if (!started) {
      End end;
      end.started = false;
      end.problem = error;
      notStarted.push_back({next.index, end});
      DropGone();
      return false;
    }
    ChildProcess& running = *child;
    const size_t index = next.index;
    DropGone();
    try {
      readers[index] = std::thread([this, &running, index] { ReadOutput(running, index); });
    } catch (const std::system_error& failure) {
      // Without a reader its output would fill the pipe and stall it: end it
      // now, before it reaches a unit.
      child->Kill();
      child->Wait();
      End end;
      end.started = false;
      end.problem = std::string("cannot start a thread to read a worker: ") + failure.what();
      notStarted.push_back({index, end});
      return false;
    }
    children[index] = std::move(child);
    return true;
  }
};

WorkerPool::WorkerPool(size_t limit) : state_(new State) { state_->limit = limit == 0 ? 1 : limit; }

WorkerPool::~WorkerPool() {
  for (auto& reader : state_->readers) reader.second.join();
  for (Waiting& waiting : state_->waiting) Wipe(waiting.input);
}

void WorkerPool::Add(size_t index, const std::vector<std::string>& arguments, const std::string& input) {
  state_->waiting.emplace_back();
  Waiting& added = state_->waiting.back();
  added.index = index;
  added.arguments = arguments;
  added.input = input;
}

void WorkerPool::AddBetween(size_t index, const std::vector<std::string>& arguments, const std::string& input) {
  State& s = *state_;
  auto at = s.lastBetween == s.waiting.end() ? s.waiting.begin() : std::next(s.lastBetween);
  // Past what has gone and what was put between before, then past one
  // plain worker still waiting; at the end when there is none.
  while (at != s.waiting.end() && (at->gone || at->between)) ++at;
  if (at != s.waiting.end()) ++at;
  at = s.waiting.emplace(at);
  at->index = index;
  at->arguments = arguments;
  at->input = input;
  at->between = true;
  s.lastBetween = at;
}

void WorkerPool::Run(const LineHandler& onLine, const StartHandler& onStart, const EndHandler& onEnd,
                     const std::function<void()>& tick) {
  State& s = *state_;
  for (;;) {
    s.DropGone();
    while (!s.waiting.empty() && s.children.size() < s.limit) {
      const size_t index = s.waiting.front().index;
      if (s.StartNext() && onStart) onStart(index);
    }
    while (!s.notStarted.empty()) {
      const std::pair<size_t, End> ended = s.notStarted.front();
      s.notStarted.erase(s.notStarted.begin());
      onEnd(ended.first, ended.second);
    }
    if (s.children.empty() && s.waiting.empty()) break;
    if (s.children.empty()) continue;
    WorkerLine line;
    const bool got = s.Pop(&line, std::chrono::milliseconds(50));
    if (got && !line.ended) onLine(line.index, line.line);
    if (got && line.ended) {
      auto child = s.children.find(line.index);
      End end;
      end.exitCode = child->second->Wait();
      s.children.erase(child);
      auto reader = s.readers.find(line.index);
      reader->second.join();
      s.readers.erase(reader);
      onEnd(line.index, end);
    }
    if (tick) tick();
  }
}

void WorkerPool::Cancel(size_t index) {
  for (Waiting& waiting : state_->waiting)
    if (waiting.index == index && !waiting.gone) {
      Wipe(waiting.input);
      waiting.gone = true;
      End end;
      end.started = false;
      end.cancelled = true;
      end.problem = "stopped before its turn";
      state_->notStarted.push_back({index, end});
      return;
    }
}

void WorkerPool::Stop(size_t index) {
  auto it = state_->children.find(index);
  if (it != state_->children.end()) it->second->Stop();
}

void WorkerPool::Kill(size_t index) {
  auto it = state_->children.find(index);
  if (it != state_->children.end()) it->second->Kill();
}

bool WorkerPool::IsRunning(size_t index) const { return state_->children.count(index) > 0; }

bool WorkerPool::IsWaiting(size_t index) const {
  for (const Waiting& waiting : state_->waiting)
    if (waiting.index == index && !waiting.gone) return true;
  return false;
}

}  // namespace cli
