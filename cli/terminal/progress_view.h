// Shows the events of one or more updates to a person: a block of progress
// bars redrawn in place on a terminal (one line per unit), or plain lines
// when the output goes to a file or a pipe. Ends with a summary table when
// several units were updated.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "cli/workers/update_events.h"

namespace cli {

class ProgressView {
 public:
  enum Style {
    kBars,   // a terminal that can move its cursor
    kPlain,  // anything else
  };
  using Writer = std::function<void(const std::string&)>;

  struct UnitState {
    std::string label;
    std::string step;
    bool haveRange = false;
    ProgressReading reading;
    bool finished = false;
    UpdateResult result = UpdateResult::kFailed;
    std::string outcomeText;
    int64_t elapsedMs = 0;
    int plainDecile = -1;  // the last tenth a plain line was written for
  };

  ProgressView(Style style, std::vector<std::string> labels, int columns, Writer writer);

  // One event of unit `index`; `nowMs` throttles the redraws of the bars.
  void Handle(size_t index, const UpdateEvent& event, int64_t nowMs);
  // For an owner that calls Tick now and then (the runner does, between
  // lines too): a new step then waits for the redraw interval like new
  // figures do, and Tick draws what is left waiting. Without it a new step
  // is drawn at once.
  void UseTicks() { ticked_ = true; }
  // Draws what changed since the last draw if the redraw interval allows.
  void Tick(int64_t nowMs);
  // Draws the final state once more.
  void Finish();

  const UnitState& Unit(size_t index) const { return units_[index]; }
  size_t UnitCount() const { return units_.size(); }

  // UNIT / RESULT / TIME / DETAIL, one row per unit, in the order given.
  std::string SummaryTable() const;

  // One bar line, at most `columns` - 1 characters wide.
  std::string BarLine(const UnitState& unit) const;

 private:
  void Note(const std::string& text);
  void Redraw(int64_t nowMs, bool force);
  void PlainEvent(UnitState& unit, const UpdateEvent& event);

  Style style_;
  std::vector<UnitState> units_;
  int columns_;
  Writer write_;
  size_t labelWidth_ = 0;
  bool drawn_ = false;
  bool ticked_ = false;
  bool pending_ = false;  // a change not drawn yet
  int64_t lastDrawMs_ = -1000000;
};

// A result as a person reads it: "succeeded", "FAILED", "no response"...
const char* ResultWord(UpdateResult result);

}  // namespace cli
