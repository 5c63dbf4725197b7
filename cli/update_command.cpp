#include "cli/update_command.h"

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

#include "cli/child_process.h"
#include "cli/exit_codes.h"
#include "cli/json.h"
#include "cli/progress_view.h"
#include "cli/terminal.h"
#include "platform/platform.h"

namespace cli {

namespace {

int64_t Now() { return static_cast<int64_t>(platform::TickCount()); }

// Where the events of the units go: JSON lines, or the progress view.
class UpdatePresenter {
 public:
  UpdatePresenter(bool json, const std::vector<UnitTarget>& targets) : json_(json) {
    std::vector<std::string> labels;
    for (const UnitTarget& target : targets) labels.push_back(target.label);
    results_.assign(targets.size(), -1);
    if (!json_) {
      const bool bars = StdoutIsTerminal() && EnableCursorControl();
      view_.reset(new ProgressView(bars ? ProgressView::kBars : ProgressView::kPlain, labels, TerminalColumns(),
                                   [](const std::string& text) { WriteOut(text); }));
    }
  }

  void Event(size_t index, const UpdateEvent& event) {
    if (event.kind == UpdateEvent::kOutcome && index < results_.size()) {
      results_[index] = ExitCodeOf(event.result);
      outcomes_.push_back({index, event});
    }
    if (json_)
      WriteOut(ToJson(event) + "\n");
    else
      view_->Handle(index, event, Now());
  }

  bool HasOutcome(size_t index) const { return results_[index] >= 0; }

  // The summary of several units, and the exit code of the whole run.
  int Finish() {
    if (view_) view_->Finish();
    std::vector<int> codes;
    for (int code : results_) codes.push_back(code < 0 ? kExitFailed : code);
    const int exitCode = CombinedExitCode(codes);
    if (results_.size() > 1) {
      if (json_)
        WriteOut(SummaryJson(exitCode) + "\n");
      else
        WriteOut("\n" + view_->SummaryTable());
    }
    return exitCode;
  }

 private:
  struct Outcome {
    size_t index;
    UpdateEvent event;
  };

  std::string SummaryJson(int exitCode) const {
    std::string units = "[";
    for (size_t i = 0; i < results_.size(); ++i) {
      JsonObject unit;
      bool found = false;
      for (const Outcome& outcome : outcomes_) {
        if (outcome.index != i) continue;
        unit.Add("unit", outcome.event.unit)
            .Add("result", ResultName(outcome.event.result))
            .Add("exit_code", ExitCodeOf(outcome.event.result))
            .Add("elapsed_ms", outcome.event.elapsedMs);
        found = true;
      }
      if (!found) unit.Add("unit", std::string()).Add("result", "failed").Add("exit_code", int(kExitFailed));
      units += (i ? "," : "") + unit.Text();
    }
    units += "]";
    JsonObject summary;
    summary.Add("event", "summary").Add("exit_code", exitCode).AddRaw("units", units);
    return summary.Text();
  }

  bool json_;
  std::unique_ptr<ProgressView> view_;
  std::vector<int> results_;
  std::vector<Outcome> outcomes_;
};

// What the reader threads hand to the main thread: one line of a worker's
// output, or the end of it.
struct WorkerLine {
  size_t index;
  bool ended;
  std::string line;
};

class LineQueue {
 public:
  void Push(WorkerLine line) {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.push_back(std::move(line));
    ready_.notify_one();
  }
  WorkerLine Pop() {
    std::unique_lock<std::mutex> lock(mutex_);
    ready_.wait(lock, [&] { return !lines_.empty(); });
    WorkerLine line = std::move(lines_.front());
    lines_.pop_front();
    return line;
  }

 private:
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<WorkerLine> lines_;
};

void ReadWorkerOutput(ChildProcess& child, size_t index, LineQueue& queue) {
  std::string pending;
  char buffer[4096];
  for (;;) {
    const size_t n = child.Read(buffer, sizeof buffer);
    if (n == 0) break;
    pending.append(buffer, n);
    size_t end;
    while ((end = pending.find('\n')) != std::string::npos) {
      queue.Push({index, false, pending.substr(0, end)});
      pending.erase(0, end + 1);
    }
  }
  if (!pending.empty()) queue.Push({index, false, pending});
  queue.Push({index, true, std::string()});
}

UpdateEvent LostWorkerOutcome(const UnitTarget& target, const std::string& why) {
  UpdateEvent event;
  event.kind = UpdateEvent::kOutcome;
  event.unit = target.label;
  event.result = UpdateResult::kFailed;
  event.text = why;
  return event;
}

int RunInProcess(const UpdateRequest& request) {
  UpdatePresenter presenter(request.json, request.targets);
  RunUnitUpdate(request.targets[0], request.choices, [&](const UpdateEvent& event) { presenter.Event(0, event); });
  return presenter.Finish();
}

int RunInWorkers(const UpdateRequest& request) {
  const size_t count = request.targets.size();
  UpdatePresenter presenter(request.json, request.targets);
  std::vector<std::unique_ptr<ChildProcess>> children;
  std::vector<std::thread> readers;
  LineQueue queue;
  size_t running = 0;
  const int64_t start = Now();

  for (size_t i = 0; i < count; ++i) {
    std::vector<std::string> arguments = request.workerArguments;
    arguments.insert(arguments.end(), request.targetArguments[i].begin(), request.targetArguments[i].end());
    children.emplace_back(new ChildProcess);
    std::string error;
    if (!children[i]->Start(arguments, &error)) {
      UpdateEvent lost = LostWorkerOutcome(request.targets[i], error);
      presenter.Event(i, lost);
      continue;
    }
    ++running;
    readers.emplace_back(ReadWorkerOutput, std::ref(*children[i]), i, std::ref(queue));
  }

  while (running > 0) {
    WorkerLine line = queue.Pop();
    if (line.ended) {
      --running;
      const int code = children[line.index]->Wait();
      if (!presenter.HasOutcome(line.index)) {
        UpdateEvent lost = LostWorkerOutcome(
            request.targets[line.index], "the worker process ended without an outcome (exit code " +
                                             std::to_string(code) + ")");
        lost.elapsedMs = Now() - start;
        presenter.Event(line.index, lost);
      }
      continue;
    }
    UpdateEvent event;
    // Only the worker's own unit: a line that names another is not believed.
    if (!FromJson(line.line, &event)) continue;
    event.unit = request.targets[line.index].label;
    presenter.Event(line.index, event);
  }
  for (std::thread& reader : readers) reader.join();
  return presenter.Finish();
}

}  // namespace

int CombinedExitCode(const std::vector<int>& codes) {
  int shared = kExitSuccess;
  for (int code : codes) {
    if (code == kExitSuccess) continue;
    if (shared == kExitSuccess)
      shared = code;
    else if (shared != code)
      return kExitFailed;
  }
  return shared;
}

int RunUpdateCommand(const UpdateRequest& request) {
  if (request.targets.empty()) return kExitUsage;
  if (request.worker) {
    // A worker's events go to the process that started it, as JSON lines.
    UpdateRequest single = request;
    single.json = true;
    return RunInProcess(single);
  }
  return request.targets.size() == 1 ? RunInProcess(request) : RunInWorkers(request);
}

}  // namespace cli
