#include "cli/workers/update_runner.h"

#include "cli/terminal/progress_view.h"
#include "cli/terminal/terminal.h"
#include "platform/platform.h"

namespace cli {

namespace {

int64_t Now() { return static_cast<int64_t>(platform::TickCount()); }

}  // namespace

UpdateRunner::UpdateRunner(bool json, const std::vector<std::string>& labels, size_t jobs)
    : json_(json),
      labels_(labels),
      pool_(jobs),
      writing_(labels.size(), false),
      abandoned_(labels.size(), false),
      stopped_(labels.size(), false) {
  CatchInterrupt();
  if (!json_) {
    const bool bars = StdoutIsTerminal() && EnableCursorControl();
    view_.reset(new ProgressView(bars ? ProgressView::kBars : ProgressView::kPlain, labels, TerminalColumns(),
                                 [](const std::string& text) { WriteOut(text); }));
    view_->UseTicks();
  }
}

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
  if (!Interrupted()) return;
  const size_t count = labels_.size();
  if (level_ < 1) {
    level_ = 1;
    WriteErr(std::string("tq35b: stopping") + (HungUp() ? " (the terminal went away)" : "") +
             ": units being written finish on their own; the others are left alone\n");
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
  if (level_ < 2 && InterruptCount() >= 2) {
    level_ = 2;
    if (!busy.empty())
      WriteErr("tq35b: still being written: " + busy +
               ". They will finish; Ctrl-C once more abandons them part-written in bootload mode\n");
  }
  if (level_ < 3 && InterruptCount() >= 3) {
    level_ = 3;
    if (!busy.empty()) WriteErr("tq35b: abandoning " + busy + ": left part-written in bootload mode\n");
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
        if (json_)
          WriteOut(ToJson(event) + "\n");
        else
          view_->Handle(index, event, Now());
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
        if (view_) view_->Tick(Now());
      });
}

void UpdateRunner::Show(size_t index, const UpdateEvent& event) {
  if (view_) view_->Handle(index, event, Now());
}

std::string UpdateRunner::SummaryTable() const { return view_ ? view_->SummaryTable() : std::string(); }

void UpdateRunner::Finish() {
  if (view_) view_->Finish();
}

}  // namespace cli
