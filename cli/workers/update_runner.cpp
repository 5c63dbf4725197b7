#include "cli/workers/update_runner.h"

#include <algorithm>

#include "cli/terminal/progress_view.h"
#include "cli/terminal/terminal.h"
#include "platform/platform.h"

namespace cli {

namespace {

int64_t Now() { return static_cast<int64_t>(platform::TickCount()); }

class TerminalRunnerView : public RunnerView {
 public:
  TerminalRunnerView(bool json, const std::vector<std::string>& labels) : json_(json) {
    CatchInterrupt();
    if (!json_) {
      const bool bars = StdoutIsTerminal() && EnableCursorControl();
      progress_.reset(new ProgressView(bars ? ProgressView::kBars : ProgressView::kPlain, labels, TerminalColumns(),
                                       [](const std::string& text) { WriteOut(text); }));
      // New steps wait for the next tick rather than redraw every bar at once.
      progress_->UseTicks();
    }
  }
  void Show(size_t index, const UpdateEvent& event) override {
    if (json_)
      WriteOut(ToJson(event) + "\n");
    else
      progress_->Handle(index, event, Now());
  }
  void Notice(const std::string& text) override { WriteErr("tq35b: " + text + "\n"); }
  int StopRequests() const override { return Interrupted() ? std::max(1, InterruptCount()) : 0; }
  bool WentAway() const override { return HungUp(); }
  void Tick() override {
    if (progress_) progress_->Tick(Now());
  }
  void Finish() override {
    if (progress_) progress_->Finish();
  }
  std::string SummaryTable() const override { return progress_ ? progress_->SummaryTable() : std::string(); }

 private:
  bool json_;
  std::unique_ptr<ProgressView> progress_;
};

}  // namespace

std::unique_ptr<RunnerView> MakeTerminalRunnerView(bool json, const std::vector<std::string>& labels) {
  return std::unique_ptr<RunnerView>(new TerminalRunnerView(json, labels));
}

UpdateRunner::UpdateRunner(bool json, const std::vector<std::string>& labels, size_t jobs)
    : UpdateRunner(*MakeTerminalRunnerView(json, labels).release(), labels, jobs) {
  ownView_.reset(&view_);
}

UpdateRunner::UpdateRunner(RunnerView& view, const std::vector<std::string>& labels, size_t jobs)
    : view_(view),
      labels_(labels),
      pool_(jobs),
      writing_(labels.size(), false),
      abandoned_(labels.size(), false),
      stopped_(labels.size(), false) {}

UpdateRunner::~UpdateRunner() = default;

void UpdateRunner::Add(size_t index, const std::vector<std::string>& arguments, const std::string& input) {
  if (level_ > 0) {
    // Nothing new starts once a stop was asked for.
    pool_.Add(index, arguments, std::string());
    pool_.Cancel(index);
    stopped_[index] = true;
    return;
  }
  pool_.Add(index, arguments, input);
}

void UpdateRunner::AddBetween(size_t index, const std::vector<std::string>& arguments, const std::string& input) {
  if (level_ > 0) {
    Add(index, arguments, input);  // cancelled at once, as Add does after a stop
    return;
  }
  pool_.AddBetween(index, arguments, input);
}

bool UpdateRunner::Writing(size_t index) const { return writing_[index]; }

void UpdateRunner::LookAtStop() {
  const int requests = view_.StopRequests();
  if (requests == 0) return;
  const size_t count = labels_.size();
  if (level_ < 1) {
    level_ = 1;
    view_.Notice(std::string("stopping") + (view_.WentAway() ? " (the terminal went away)" : "") +
                 ": units being written finish on their own; the others are left alone");
    for (size_t i = 0; i < count; ++i) {
      if (pool_.IsWaiting(i)) {
        stopped_[i] = true;
        pool_.Cancel(i);
      } else if (pool_.IsRunning(i) && !writing_[i]) {
        stopped_[i] = true;
        pool_.Stop(i);
      }
    }
  }
  std::string busy;
  for (size_t i = 0; i < count; ++i)
    if (pool_.IsRunning(i) && writing_[i]) busy += (busy.empty() ? "" : ", ") + labels_[i];
  if (level_ < 2 && requests >= 2) {
    level_ = 2;
    if (!busy.empty())
      view_.Notice("still being written: " + busy +
                   ". They will finish; Ctrl-C once more abandons them part-written in bootload mode");
  }
  if (level_ < 3 && requests >= 3) {
    level_ = 3;
    if (!busy.empty()) view_.Notice("abandoning " + busy + ": left part-written in bootload mode");
    for (size_t i = 0; i < count; ++i)
      if (pool_.IsRunning(i)) {
        abandoned_[i] = writing_[i];
        stopped_[i] = !writing_[i];
        pool_.Kill(i);
      }
  }
}

void UpdateRunner::Run(const EventHandler& onEvent, const EndHandler& onEnd) {
  pool_.Run(
      [&](size_t index, const std::string& line) {
        UpdateEvent event;
        if (!FromJson(line, &event)) return;
        // Only the worker's own unit: a line that names another is not believed.
        event.unit = labels_[index];
        if (event.kind == UpdateEvent::kStart) writing_[index] = true;
        view_.Show(index, event);
        onEvent(index, event);
      },
      nullptr,
      [&](size_t index, const WorkerPool::End& end) {
        Ending ending = Ending::kEnded;
        if (abandoned_[index])
          ending = Ending::kAbandonedWhileWriting;
        else if (end.cancelled || (stopped_[index] && !writing_[index]))
          ending = Ending::kStoppedBeforeWriting;
        else if (!end.started)
          ending = Ending::kNotStarted;
        onEnd(index, ending, end.exitCode, end.problem);
      },
      [&] {
        LookAtStop();
        view_.Tick();
      });
}

void UpdateRunner::Show(size_t index, const UpdateEvent& event) { view_.Show(index, event); }

std::string UpdateRunner::SummaryTable() const { return view_.SummaryTable(); }

void UpdateRunner::Finish() { view_.Finish(); }

}  // namespace cli
