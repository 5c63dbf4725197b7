// The one way this program runs updates side by side: a parallel update of
// named units and the rounds of a venue update both go through it. It
// owns the pool of worker processes and its bound (--jobs), what Ctrl-C
// and hang-ups do to the workers, and the progress view (or the JSON lines)
// that shows their events.
//
// Stopping: the first Ctrl-C (or a hang-up, a closed console window,
// SIGTERM) starts no further worker and ends the ones that have not begun
// to write; a unit being written is always finished, and its worker leaves
// bootload mode as planned. The second Ctrl-C names the units still being
// written and says that they will finish. Only a third abandons them: their
// workers are ended at once and the units are left part-written, in
// bootload mode.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "cli/workers/update_events.h"
#include "cli/workers/worker_pool.h"

namespace cli {

// Enough for a 64-unit venue at once.
constexpr size_t kDefaultJobs = 64;

// What shows the runner's work and tells it when to stop: the terminal
// (progress view or JSON lines; Ctrl-C presses and hang-ups) or the venue
// window (its rows; Cancel and closing). Called on the runner's thread.
class RunnerView {
 public:
  virtual ~RunnerView() = default;
  // An event of unit `index`'s worker, or one made up for it.
  virtual void Show(size_t index, const UpdateEvent& event) = 0;
  // Something the person must be told at once (what a stop does).
  virtual void Notice(const std::string& text) = 0;
  // Times a stop was asked for so far; a hang-up counts as one.
  virtual int StopRequests() const = 0;
  // The person went away (a closed terminal or window): said in the notice.
  virtual bool WentAway() const { return false; }
  // Called about every 50 ms while the workers run, to draw what waits.
  virtual void Tick() {}
  // Draws the last state; the summary table where the view keeps one.
  virtual void Finish() {}
  virtual std::string SummaryTable() const { return std::string(); }
};

// The terminal's view: progress bars (or plain lines when standard output
// is not a terminal), or JSON lines. Stops are Ctrl-C (Ctrl-Break, SIGTERM)
// presses and hang-ups, caught from the moment it is made.
std::unique_ptr<RunnerView> MakeTerminalRunnerView(bool json, const std::vector<std::string>& labels);

class UpdateRunner {
 public:
  // What became of a worker.
  enum class Ending {
    kEnded,                  // it ran to its own end
    kNotStarted,             // it could not be started
    kStoppedBeforeWriting,   // stopped (or never started) after a stop request, before writing
    kAbandonedWhileWriting,  // ended by the third Ctrl-C while it wrote its unit
  };
  using EventHandler = std::function<void(size_t index, const UpdateEvent& event)>;
  using EndHandler = std::function<void(size_t index, Ending ending, int exitCode, const std::string& problem)>;

  // `labels` name the units by index; `json`: events as JSON lines on
  // standard output instead of the progress view.
  UpdateRunner(bool json, const std::vector<std::string>& labels, size_t jobs);
  // Shown by a view of the caller's, which outlives the runner.
  UpdateRunner(RunnerView& view, const std::vector<std::string>& labels, size_t jobs);
  ~UpdateRunner();

  // Queues a worker for unit `index`.
  void Add(size_t index, const std::vector<std::string>& arguments, const std::string& input);
  // Queues it among the workers still waiting (WorkerPool::AddBetween).
  void AddBetween(size_t index, const std::vector<std::string>& arguments, const std::string& input);
  // Runs the workers until all have ended. Every event of a worker is shown
  // (the unit named in it is replaced by the worker's own) and handed to
  // `onEvent`; every end to `onEnd`. Workers may be added from the
  // handlers.
  void Run(const EventHandler& onEvent, const EndHandler& onEnd);
  // Draws the progress view's last state.
  void Finish();
  // Shows an event that no worker sent (an outcome the runner's user made
  // up for a worker that ended without one).
  void Show(size_t index, const UpdateEvent& event);
  // The progress view's summary: UNIT / RESULT / TIME / DETAIL.
  std::string SummaryTable() const;

  // The unit's worker has begun to write to it.
  bool Writing(size_t index) const;
  // A stop was asked for.
  bool Stopping() const { return level_ > 0; }

 private:
  void LookAtStop();

  std::unique_ptr<RunnerView> ownView_;
  RunnerView& view_;
  std::vector<std::string> labels_;
  WorkerPool pool_;
  std::vector<bool> writing_, abandoned_, stopped_;
  int level_ = 0;
};

}  // namespace cli
