#include "venue_window/venue_table.h"

#ifdef _WIN32
#include <winsock2.h>
#else
#include <arpa/inet.h>
#endif

#include <cmath>
#include <cstdio>

namespace venue {

namespace {

std::string OrDash(const std::string& text) { return text.empty() ? "-" : text; }

bool Writes(const cli::PlanEntry& entry) {
  return entry.action == cli::PlanAction::kUpdate || entry.action == cli::PlanAction::kEnterThenUpdate;
}

// What the report says of a unit that no round touched.
void LeftAlone(VenueRow* row) {
  if (row->plan.action == cli::PlanAction::kCannot) return;
  cli::RoundReport& round = row->round;
  round.result = cli::RoundResult::kSkipped;
  round.exitCode = 0;
  round.failedStep.clear();
  round.text = "not checked: left alone";
  round.modeAfter = row->plan.mode;
  round.applicationAfter = round.applicationBefore;
}

// A cell of the copied table: a tab or a line end inside would move the
// cells of a spreadsheet.
std::string Flat(const std::string& text) {
  std::string out;
  for (char c : text) out += (c == '\t' || c == '\n' || c == '\r') ? ' ' : c;
  return out;
}

}  // namespace

const char* ColumnTitle(Column column) {
  static const char* const kTitles[kColumnCount] = {"Address",       "MAC",         "Mode",     "Bootloader",
                                                    "Application",   "Action",      "Progress", "%",
                                                    "Step / result", "Version now", "Now in"};
  return column >= 0 && column < kColumnCount ? kTitles[column] : "";
}

void VenueTable::SetPlan(const std::vector<cli::PlanEntry>& plan, bool skipCurrent) {
  std::lock_guard<std::mutex> guard(lock_);
  skipCurrent_ = skipCurrent;
  rows_.clear();
  const std::vector<cli::RoundReport> rounds = cli::RoundsAsPlanned(plan, std::string());
  for (size_t i = 0; i < plan.size(); ++i) {
    VenueRow row;
    row.plan = plan[i];
    row.checked = Writes(plan[i]);
    row.round = rounds[i];
    LeftAlone(&row);
    rows_.push_back(row);
  }
}

void VenueTable::SetSkipCurrent(bool skipCurrent, const std::string& current) {
  std::lock_guard<std::mutex> guard(lock_);
  skipCurrent_ = skipCurrent;
  for (VenueRow& row : rows_) {
    cli::PlanEntry& plan = row.plan;
    const bool isCurrent = plan.mode == "bootload" && !current.empty() && plan.applicationVersion == current;
    if (!isCurrent || row.running) continue;
    if (skipCurrent && plan.action == cli::PlanAction::kUpdate) {
      plan.action = cli::PlanAction::kSkip;
      row.checked = false;
    } else if (!skipCurrent && plan.action == cli::PlanAction::kSkip) {
      plan.action = cli::PlanAction::kUpdate;
      row.checked = true;
    }
  }
}

size_t VenueTable::Size() const {
  std::lock_guard<std::mutex> guard(lock_);
  return rows_.size();
}

bool VenueTable::Checkable(size_t row) const {
  std::lock_guard<std::mutex> guard(lock_);
  return row < rows_.size() && rows_[row].plan.action != cli::PlanAction::kCannot;
}

bool VenueTable::Checked(size_t row) const {
  std::lock_guard<std::mutex> guard(lock_);
  return row < rows_.size() && rows_[row].checked;
}

void VenueTable::SetChecked(size_t row, bool checked) {
  std::lock_guard<std::mutex> guard(lock_);
  if (row < rows_.size() && rows_[row].plan.action != cli::PlanAction::kCannot) rows_[row].checked = checked;
}

std::vector<bool> VenueTable::CheckedRows() const {
  std::lock_guard<std::mutex> guard(lock_);
  std::vector<bool> chosen;
  for (const VenueRow& row : rows_) chosen.push_back(row.checked);
  return chosen;
}

size_t VenueTable::CheckedCount() const {
  std::lock_guard<std::mutex> guard(lock_);
  size_t count = 0;
  for (const VenueRow& row : rows_) count += row.checked ? 1 : 0;
  return count;
}

bool VenueTable::CheckedNeedPin() const {
  std::lock_guard<std::mutex> guard(lock_);
  for (const VenueRow& row : rows_)
    if (row.checked && row.plan.action == cli::PlanAction::kEnterThenUpdate) return true;
  return false;
}

void VenueTable::BeginRounds(const std::vector<bool>& chosen) {
  std::lock_guard<std::mutex> guard(lock_);
  for (size_t i = 0; i < rows_.size() && i < chosen.size(); ++i) {
    VenueRow& row = rows_[i];
    row.inVisit = chosen[i];
    if (!chosen[i]) continue;
    row.running = true;
    row.writing = false;
    row.ended = false;
    row.step = "waiting";
    row.percent = -1;
    row.round = cli::RoundsAsPlanned({row.plan}, "not reached: the visit ended before this unit's turn")[0];
  }
}

void VenueTable::SetPlanEntry(size_t index, const cli::PlanEntry& entry) {
  std::lock_guard<std::mutex> guard(lock_);
  if (index >= rows_.size()) return;
  VenueRow& row = rows_[index];
  row.plan = entry;
  // The unit's new answer stands in for the earlier one in the report too.
  const cli::RoundReport planned = cli::RoundsAsPlanned({entry}, row.round.text)[0];
  row.round.bootloaderVersion = planned.bootloaderVersion;
  row.round.applicationBefore = planned.applicationBefore;
}

bool VenueTable::Apply(size_t index, const cli::UpdateEvent& event) {
  std::lock_guard<std::mutex> guard(lock_);
  if (index >= rows_.size()) return false;
  VenueRow& row = rows_[index];
  switch (event.kind) {
    case cli::UpdateEvent::kStage:
    case cli::UpdateEvent::kStatus:
      if (event.step.empty() || event.step == row.step) return false;
      row.step = event.step;
      return true;
    case cli::UpdateEvent::kProgress: {
      // Whole percents: a finer change is not worth a redraw.
      const double percent = std::floor(event.progress.percent);
      if (percent == row.percent) return false;
      row.percent = percent;
      return true;
    }
    case cli::UpdateEvent::kStart:
      row.writing = true;
      return false;
    case cli::UpdateEvent::kRound:
      row.running = false;
      row.writing = false;
      row.ended = true;
      row.round = event.round;
      return true;
    default:
      return false;
  }
}

void VenueTable::EndRound(size_t index, const cli::RoundReport& round) {
  std::lock_guard<std::mutex> guard(lock_);
  if (index >= rows_.size()) return;
  VenueRow& row = rows_[index];
  row.running = false;
  row.writing = false;
  row.ended = true;
  row.round = round;
  if (round.result == cli::RoundResult::kUpdated) row.percent = 100;
}

bool VenueTable::Retryable(size_t index) const {
  std::lock_guard<std::mutex> guard(lock_);
  if (index >= rows_.size()) return false;
  const VenueRow& row = rows_[index];
  return row.ended &&
         (row.round.result == cli::RoundResult::kFailed || row.round.result == cli::RoundResult::kNotReached);
}

bool VenueTable::Writing(size_t row) const {
  std::lock_guard<std::mutex> guard(lock_);
  return row < rows_.size() && rows_[row].writing;
}

void VenueTable::RoundCounts(size_t* ended, size_t* chosen) const {
  std::lock_guard<std::mutex> guard(lock_);
  *ended = *chosen = 0;
  for (const VenueRow& row : rows_) {
    if (!row.inVisit) continue;
    ++*chosen;
    *ended += row.ended ? 1 : 0;
  }
}

bool VenueTable::Greyed(size_t row) const {
  std::lock_guard<std::mutex> guard(lock_);
  return row < rows_.size() && rows_[row].plan.action == cli::PlanAction::kCannot;
}

double VenueTable::Percent(size_t row) const {
  std::lock_guard<std::mutex> guard(lock_);
  return row < rows_.size() ? rows_[row].percent : -1;
}

std::string VenueTable::Cell(size_t index, Column column) const {
  std::lock_guard<std::mutex> guard(lock_);
  if (index >= rows_.size()) return std::string();
  const VenueRow& row = rows_[index];
  const cli::PlanEntry& plan = row.plan;
  switch (column) {
    case kAddress:
      return plan.target.label;
    case kMac:
      return OrDash(plan.mac);
    case kMode:
      return plan.mode;
    case kBootloader:
      return OrDash(plan.bootloaderVersion);
    case kApplication:
      // A unit running its application does not tell its version over the
      // text port.
      return plan.mode == "application" ? "(not told)" : OrDash(plan.applicationVersion);
    case kAction:
      return cli::PlanActionText(plan, skipCurrent_);
    case kProgress:
      return std::string();
    case kPercent: {
      if (row.percent < 0) return std::string();
      char text[16];
      std::snprintf(text, sizeof text, "%d%%", static_cast<int>(row.percent));
      return text;
    }
    case kStep:
      if (row.ended) {
        const std::string result = cli::RoundResultText(row.round);
        return row.round.result == cli::RoundResult::kUpdated || row.round.text.empty()
                   ? result
                   : result + ": " + Flat(row.round.text);
      }
      return row.running ? row.step : std::string();
    case kVersionNow:
      return row.ended ? row.round.applicationAfter : std::string();
    case kNowIn:
      return row.ended ? row.round.modeAfter : std::string();
    case kColumnCount:
      break;
  }
  return std::string();
}

int VenueTable::Compare(size_t a, size_t b, Column column) const {
  if (column == kAddress) {
    std::lock_guard<std::mutex> guard(lock_);
    if (a >= rows_.size() || b >= rows_.size()) return 0;
    const uint32_t x = ntohl(rows_[a].plan.target.address), y = ntohl(rows_[b].plan.target.address);
    if (x != y) return x < y ? -1 : 1;
    return rows_[a].plan.target.label.compare(rows_[b].plan.target.label);
  }
  if (column == kProgress || column == kPercent) {
    const double x = Percent(a), y = Percent(b);
    return x < y ? -1 : (x > y ? 1 : 0);
  }
  return Cell(a, column).compare(Cell(b, column));
}

std::string VenueTable::TabSeparated(const std::vector<size_t>& order) const {
  std::string out;
  for (int c = 0; c < kColumnCount; ++c) {
    if (c == kProgress) continue;  // a bar; the percentage follows it
    out += std::string(out.empty() ? "" : "\t") + ColumnTitle(static_cast<Column>(c));
  }
  out += "\r\n";
  for (size_t row : order) {
    std::string line;
    for (int c = 0; c < kColumnCount; ++c) {
      if (c == kProgress) continue;
      line += std::string(c == 0 ? "" : "\t") + Flat(Cell(row, static_cast<Column>(c)));
    }
    out += line + "\r\n";
  }
  return out;
}

std::vector<cli::PlanEntry> VenueTable::Plan() const {
  std::lock_guard<std::mutex> guard(lock_);
  std::vector<cli::PlanEntry> plan;
  for (const VenueRow& row : rows_) plan.push_back(row.plan);
  return plan;
}

std::vector<cli::RoundReport> VenueTable::Rounds() const {
  std::lock_guard<std::mutex> guard(lock_);
  std::vector<cli::RoundReport> rounds;
  for (const VenueRow& row : rows_) rounds.push_back(row.round);
  return rounds;
}

}  // namespace venue
