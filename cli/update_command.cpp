#include "cli/update_command.h"

#include <memory>

#include "cli/exit_codes.h"
#include "cli/json.h"
#include "cli/terminal/progress_view.h"
#include "cli/terminal/terminal.h"
#include "cli/workers/update_runner.h"
#include "platform/platform.h"

namespace cli {

namespace {

int64_t Now() { return static_cast<int64_t>(platform::TickCount()); }

// One unit in this process: its events as JSON lines or in the progress
// view, and the exit code of its outcome.
class UpdatePresenter {
 public:
  UpdatePresenter(bool json, const UnitTarget& target) : json_(json) {
    if (!json_) {
      const bool bars = StdoutIsTerminal() && EnableCursorControl();
      view_.reset(new ProgressView(bars ? ProgressView::kBars : ProgressView::kPlain, {target.label}, TerminalColumns(),
                                   [](const std::string& text) { WriteOut(text); }));
    }
  }

  void Event(const UpdateEvent& event) {
    if (event.kind == UpdateEvent::kOutcome) result_ = ExitCodeOf(event.result);
    if (json_)
      WriteOut(ToJson(event) + "\n");
    else
      view_->Handle(0, event, Now());
  }

  int Finish() {
    if (view_) view_->Finish();
    return result_;
  }

 private:
  bool json_;
  std::unique_ptr<ProgressView> view_;
  int result_ = kExitFailed;  // until an outcome says otherwise
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
  UpdatePresenter presenter(request.json, request.targets[0]);
  RunUnitUpdate(request.targets[0], request.choices, [&](const UpdateEvent& event) { presenter.Event(event); });
  return presenter.Finish();
}

// Several units, each in a worker process of its own, through the runner
// that every parallel run shares (bound, Ctrl-C, progress view).
int RunInWorkers(const UpdateRequest& request) {
  const size_t count = request.targets.size();
  std::vector<std::string> labels;
  for (const UnitTarget& target : request.targets) labels.push_back(target.label);
  UpdateRunner runner(request.json, labels, request.jobs);
  std::vector<int> codes(count, -1);
  std::vector<UpdateEvent> outcomes(count);
  const int64_t start = Now();
  for (size_t i = 0; i < count; ++i) {
    std::vector<std::string> arguments = request.workerArguments;
    arguments.insert(arguments.end(), request.targetArguments[i].begin(), request.targetArguments[i].end());
    runner.Add(i, arguments, std::string());
  }
  runner.Run(
      [&](size_t index, const UpdateEvent& event) {
        if (event.kind != UpdateEvent::kOutcome) return;
        codes[index] = ExitCodeOf(event.result);
        outcomes[index] = event;
      },
      [&](size_t index, UpdateRunner::Ending ending, int exitCode, const std::string& problem) {
        if (codes[index] >= 0 && ending != UpdateRunner::Ending::kAbandonedWhileWriting) return;
        std::string why = problem;
        if (ending == UpdateRunner::Ending::kAbandonedWhileWriting)
          why = "abandoned by the user while being written: left part-written in bootload mode";
        else if (ending == UpdateRunner::Ending::kStoppedBeforeWriting)
          why = "stopped by the user before anything was written";
        else if (ending == UpdateRunner::Ending::kEnded)
          why = "the worker process ended without an outcome (exit code " + std::to_string(exitCode) + ")";
        UpdateEvent lost = LostWorkerOutcome(request.targets[index], why);
        lost.elapsedMs = Now() - start;
        codes[index] = kExitFailed;
        outcomes[index] = lost;
        // Shown like any outcome, so that every unit has one.
        runner.Show(index, lost);
      });
  runner.Finish();
  const int exitCode = CombinedExitCode(codes);
  if (request.json) {
    Json units = Json::array();
    for (size_t i = 0; i < count; ++i)
      units.push_back(Json{{"unit", labels[i]},
                           {"result", ResultName(outcomes[i].result)},
                           {"exit_code", codes[i]},
                           {"elapsed_ms", outcomes[i].elapsedMs}});
    WriteOut(JsonLine(Json{{"event", "summary"}, {"exit_code", exitCode}, {"units", units}}) + "\n");
  } else {
    WriteOut("\n" + runner.SummaryTable());
  }
  FinishedAfterStop();
  return exitCode;
}

}  // namespace

int CombinedExitCode(const std::vector<int>& codes) {
  // A failure's own code only when every unit failed that way: 49 units
  // updated and one silent is a failed run, not "no response".
  int shared = kExitSuccess;
  bool anySuccess = false;
  for (int code : codes) {
    if (code == kExitSuccess) {
      anySuccess = true;
      continue;
    }
    if (shared == kExitSuccess)
      shared = code;
    else if (shared != code)
      return kExitFailed;
  }
  return anySuccess && shared != kExitSuccess ? kExitFailed : shared;
}

int RunUpdateCommand(const UpdateRequest& request) {
  if (request.targets.empty()) return kExitUsage;
  if (request.worker) {
    // A worker writes to its unit from the start: it finishes it whatever
    // happens to the process that started it.
    ShieldWorker();
    WritingBegins();
    // A worker's events go to the process that started it, as JSON lines.
    UpdateRequest single = request;
    single.json = true;
    return RunInProcess(single);
  }
  return request.targets.size() == 1 ? RunInProcess(request) : RunInWorkers(request);
}

}  // namespace cli
