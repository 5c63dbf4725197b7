#include "cli/update_command.h"

#include <memory>

#include "cli/exit_codes.h"
#include "cli/json.h"
#include "cli/progress_view.h"
#include "cli/terminal.h"
#include "cli/worker_pool.h"
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
    Json units = Json::array();
    for (size_t i = 0; i < results_.size(); ++i) {
      Json unit;
      for (const Outcome& outcome : outcomes_) {
        if (outcome.index != i) continue;
        unit["unit"] = outcome.event.unit;
        unit["result"] = ResultName(outcome.event.result);
        unit["exit_code"] = ExitCodeOf(outcome.event.result);
        unit["elapsed_ms"] = outcome.event.elapsedMs;
      }
      if (unit.empty()) unit = Json{{"unit", ""}, {"result", "failed"}, {"exit_code", int(kExitFailed)}};
      units.push_back(unit);
    }
    return JsonLine(Json{{"event", "summary"}, {"exit_code", exitCode}, {"units", units}});
  }

  bool json_;
  std::unique_ptr<ProgressView> view_;
  std::vector<int> results_;
  std::vector<Outcome> outcomes_;
};

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
  WorkerPool workers;
  const int64_t start = Now();
  // The workers run in process groups of their own: Ctrl-C reaches only
  // this process, which lets every unit being written finish or fail on its
  // own rather than leave it cut off mid-frame.
  CatchInterrupt();
  bool noted = false;

  for (size_t i = 0; i < count; ++i) {
    std::vector<std::string> arguments = request.workerArguments;
    arguments.insert(arguments.end(), request.targetArguments[i].begin(), request.targetArguments[i].end());
    std::string error;
    if (!workers.Start(i, arguments, std::string(), &error))
      presenter.Event(i, LostWorkerOutcome(request.targets[i], error));
  }

  workers.Run(
      [&](size_t index, const std::string& line) {
        UpdateEvent event;
        // Only the worker's own unit: a line that names another is not believed.
        if (!FromJson(line, &event)) return;
        event.unit = request.targets[index].label;
        presenter.Event(index, event);
      },
      [&](size_t index, int code) {
        if (presenter.HasOutcome(index)) return;
        UpdateEvent lost = LostWorkerOutcome(
            request.targets[index],
            "the worker process ended without an outcome (exit code " + std::to_string(code) + ")");
        lost.elapsedMs = Now() - start;
        presenter.Event(index, lost);
      },
      [&] {
        if (noted || !Interrupted()) return;
        noted = true;
        WriteErr("tq35b: stopping: the units being written finish on their own\n");
      });
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
