// What the venue window's list shows: one row per unit of the visit, from
// its plan to the end of its round. The window keeps one table, fed by the
// visit's thread and read by the list view; the texts, the order of a
// sorted column and the copy for the clipboard come from here, so that they
// can be checked without a window.
#pragma once

#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

#include "cli/venue/venue_update.h"
#include "cli/workers/update_events.h"

namespace venue {

enum Column {
  kAddress,
  kMac,
  kMode,
  kBootloader,
  kApplication,
  kAction,
  kProgress,  // drawn as a bar; its text is empty
  kPercent,
  kStep,  // the step while the round runs, then its result
  kVersionNow,
  kNowIn,
  kColumnCount
};

// The column headings, as the list and the copied table show them.
const char* ColumnTitle(Column column);

struct VenueRow {
  cli::PlanEntry plan;
  bool checked = false;
  // The round: running while it has begun and not ended.
  bool inVisit = false;  // chosen for the rounds under way or last run
  bool running = false;
  bool writing = false;  // its worker has begun to write to the unit
  bool ended = false;
  std::string step;
  double percent = -1;  // -1: no bar
  cli::RoundReport round;
};

class VenueTable {
 public:
  // Rows for a new plan: units that need an update are checked, the ones
  // already current and the ones that cannot be updated are not.
  // A row left unchecked is reported as skipped, left alone.
  void SetPlan(const std::vector<cli::PlanEntry>& plan, bool skipCurrent);
  // Skipping units already current, or not: the units in bootload mode
  // that run `current` (the package's version) change between "update"
  // and "skip (current)", and their check boxes with it.
  void SetSkipCurrent(bool skipCurrent, const std::string& current);
  size_t Size() const;

  // A row that takes a check box (a unit this updater cannot update does not).
  bool Checkable(size_t row) const;
  bool Checked(size_t row) const;
  void SetChecked(size_t row, bool checked);
  // The rows checked now, by index.
  std::vector<bool> CheckedRows() const;
  size_t CheckedCount() const;
  // Checked rows whose unit runs its application (they need the PIN).
  bool CheckedNeedPin() const;

  // The rounds begin for the rows chosen: their earlier results go.
  void BeginRounds(const std::vector<bool>& chosen);
  // A row's unit asked again before a retry.
  void SetPlanEntry(size_t row, const cli::PlanEntry& entry);
  // An event of a row's worker. True when what the row shows changed.
  bool Apply(size_t row, const cli::UpdateEvent& event);
  // The round's report at the end, from the visit.
  void EndRound(size_t row, const cli::RoundReport& round);
  // A row whose round failed, or never began, and may be checked again.
  bool Retryable(size_t row) const;
  // The unit is being written now.
  bool Writing(size_t row) const;
  // Rows of the rounds under way, and how many of them have ended.
  void RoundCounts(size_t* ended, size_t* chosen) const;

  std::string Cell(size_t row, Column column) const;
  bool Greyed(size_t row) const;  // cannot be updated
  double Percent(size_t row) const;
  // <0, 0 or >0: row a against row b by a column (addresses by number,
  // percentages by value, texts as text).
  int Compare(size_t a, size_t b, Column column) const;
  // The whole table as tab-separated text with a heading line, in the given
  // order of rows (CRLF line ends, for the Windows clipboard).
  std::string TabSeparated(const std::vector<size_t>& order) const;

  // The plan and the rounds as they stand, for the report.
  std::vector<cli::PlanEntry> Plan() const;
  std::vector<cli::RoundReport> Rounds() const;

 private:
  mutable std::mutex lock_;
  std::vector<VenueRow> rows_;
  bool skipCurrent_ = false;
};

}  // namespace venue
