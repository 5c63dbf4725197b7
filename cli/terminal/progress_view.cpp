#include "cli/terminal/progress_view.h"

#include <algorithm>
#include <cstdio>

#include "cli/text.h"

namespace cli {

namespace {

constexpr int64_t kRedrawIntervalMs = 100;
constexpr size_t kStepWidth = 18;
constexpr size_t kMaxLabelWidth = 24;
constexpr int kMinBarWidth = 10;
constexpr int kMaxBarWidth = 40;
constexpr const char* kEraseLine = "\r\x1b[2K";

// Columns a UTF-8 text takes, near enough: one per character.
size_t DisplayWidth(const std::string& text) {
  size_t width = 0;
  for (unsigned char c : text)
    if ((c & 0xC0) != 0x80) ++width;
  return width;
}

std::string Pad(const std::string& text, size_t width) {
  const size_t shown = DisplayWidth(text);
  return shown >= width ? text : text + std::string(width - shown, ' ');
}

// Cuts at a character boundary so that a line never wraps (a wrapped line
// would throw the redraw of the block out of step).
std::string Cut(const std::string& text, size_t width) {
  size_t shown = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
      if (shown == width) return text.substr(0, i);
      ++shown;
    }
  }
  return text;
}

std::string OneLine(const std::string& text) {
  std::string line;
  for (char c : text) line += (c == '\n' || c == '\r') ? ' ' : c;
  while (!line.empty() && line.back() == ' ') line.pop_back();
  return line;
}

std::string Percent(double percent) {
  char text[16];
  std::snprintf(text, sizeof text, "%5.1f%%", percent);
  return text;
}

// "517.2/610.1 kB": both in the unit of the total, so they read at a glance.
std::string BytesOfTotal(uint64_t bytes, uint64_t total) {
  char text[48];
  if (total < 1000)
    std::snprintf(text, sizeof text, "%u/%u B", unsigned(bytes), unsigned(total));
  else if (total < 1000 * 1000)
    std::snprintf(text, sizeof text, "%.1f/%.1f kB", bytes / 1e3, total / 1e3);
  else
    std::snprintf(text, sizeof text, "%.2f/%.2f MB", bytes / 1e6, total / 1e6);
  return text;
}

std::string Rate(double bytesPerSecond) { return ByteCountText(static_cast<uint64_t>(bytesPerSecond)) + "/s"; }

}  // namespace

const char* ResultWord(UpdateResult result) {
  switch (result) {
    case UpdateResult::kSucceeded:
      return "succeeded";
    case UpdateResult::kFailed:
      return "FAILED";
    case UpdateResult::kNoResponse:
      return "no response";
    case UpdateResult::kWrongResponse:
      return "wrong response";
  }
  return "FAILED";
}

ProgressView::ProgressView(Style style, std::vector<std::string> labels, int columns, Writer writer)
    : style_(style), columns_(std::max(columns, 40)), write_(std::move(writer)) {
  for (std::string& label : labels) {
    UnitState unit;
    unit.label = std::move(label);
    labelWidth_ = std::max(labelWidth_, std::min(DisplayWidth(unit.label), kMaxLabelWidth));
    units_.push_back(std::move(unit));
  }
}

std::string ProgressView::BarLine(const UnitState& unit) const {
  const std::string state = unit.finished ? ResultWord(unit.result) : unit.step.empty() ? "waiting" : unit.step;
  const std::string label = Pad(Cut(unit.label, labelWidth_), labelWidth_) + " ";
  const std::string step = Pad(Cut(state, kStepWidth), kStepWidth) + " ";

  const ProgressReading& r = unit.reading;
  std::string figures;
  if (unit.haveRange) {
    figures = " " + Percent(r.percent) + " " + BytesOfTotal(r.bytes, r.totalBytes) + " " + Rate(r.bytesPerSecond) + " ";
    if (unit.finished)
      figures += "in " + DurationText(unit.elapsedMs);
    else
      figures += (r.remainingMs < 0 ? std::string("-:--") : DurationText(r.remainingMs)) + " left";
  } else if (unit.finished) {
    figures = " in " + DurationText(unit.elapsedMs);
  }

  // The figures are what the bar is for; on a narrow terminal the step
  // column goes first (the state still shows once the unit is done).
  const int usable = columns_ - 1;
  const int fixed = static_cast<int>(DisplayWidth(label) + DisplayWidth(figures)) + 2;
  const bool withStep = usable - fixed - static_cast<int>(DisplayWidth(step)) >= kMinBarWidth;
  const int room = usable - fixed - (withStep ? static_cast<int>(DisplayWidth(step)) : 0);
  const int width = std::max(kMinBarWidth, std::min(kMaxBarWidth, room));
  const double share = unit.haveRange ? std::min(1.0, std::max(0.0, r.percent / 100.0)) : 0.0;
  const int filled = static_cast<int>(share * width + 1e-9);
  const std::string bar = "[" + std::string(filled, '#') + std::string(width - filled, '-') + "]";
  std::string head = label;
  if (withStep)
    head += step;
  else if (unit.finished)
    head += state + " ";
  return Cut(head + bar + figures, static_cast<size_t>(usable));
}

void ProgressView::Note(const std::string& text) {
  if (style_ != kBars) {
    write_(text + "\n");
    return;
  }
  std::string out;
  if (drawn_) out += "\x1b[" + std::to_string(units_.size()) + "A";
  out += kEraseLine + text + "\n";
  write_(out);
  drawn_ = false;  // the block goes below the note now
  Redraw(0, true);
}

void ProgressView::Redraw(int64_t nowMs, bool force) {
  if (style_ != kBars) return;
  if (!force && nowMs - lastDrawMs_ < kRedrawIntervalMs) {
    pending_ = true;
    return;
  }
  pending_ = false;
  if (nowMs > 0) lastDrawMs_ = nowMs;  // forced draws without a time do not move the throttle
  std::string out;
  if (drawn_) out += "\x1b[" + std::to_string(units_.size()) + "A";
  for (const UnitState& unit : units_) out += kEraseLine + BarLine(unit) + "\n";
  write_(out);
  drawn_ = true;
}

void ProgressView::PlainEvent(UnitState& unit, const UpdateEvent& event) {
  const std::string prefix = unit.label + ": ";
  switch (event.kind) {
    case UpdateEvent::kStart: {
      std::string parts;
      if (event.serverFirmware) parts += "server firmware";
      if (event.serverUi) parts += std::string(parts.empty() ? "" : ", ") + "server UI";
      if (event.factoryDefaults) parts += std::string(parts.empty() ? "" : ", ") + "factory defaults";
      write_(prefix + "update of " + (parts.empty() ? std::string("nothing (every part left out)") : parts) + "\n");
      break;
    }
    case UpdateEvent::kStatus:
    case UpdateEvent::kStage:
      write_(prefix + OneLine(event.text) + "\n");
      break;
    case UpdateEvent::kProgress: {
      const ProgressReading& r = event.progress;
      const int decile = r.position >= r.total ? 10 : std::min(9, static_cast<int>(r.percent / 10.0));
      if (decile <= unit.plainDecile) break;
      unit.plainDecile = decile;
      std::string line = prefix + std::to_string(decile * 10) + "% " + ByteCountText(r.bytes) + " of " +
                         ByteCountText(r.totalBytes) + ", " + Rate(r.bytesPerSecond);
      if (decile < 10) line += ", " + (r.remainingMs < 0 ? std::string("-:--") : DurationText(r.remainingMs)) + " left";
      write_(line + "\n");
      break;
    }
    default:
      break;
  }
}

void ProgressView::Handle(size_t index, const UpdateEvent& event, int64_t nowMs) {
  if (index >= units_.size()) return;
  UnitState& unit = units_[index];
  const std::string prefix = unit.label + ": ";
  switch (event.kind) {
    case UpdateEvent::kStart:
      break;
    case UpdateEvent::kUnit:
      if (event.inBootloader)
        Note(prefix + "bootloader " + event.bootloaderVersion + ", application " +
             (event.applicationVersion.empty() ? std::string("not found") : event.applicationVersion));
      else
        Note(prefix + "the bootloader does not answer");
      break;
    case UpdateEvent::kStatus:
      unit.step = event.step;
      break;
    case UpdateEvent::kProgress:
      unit.haveRange = true;
      unit.reading = event.progress;
      break;
    case UpdateEvent::kMessage:
      Note(prefix + "[" + event.caption + "] " + OneLine(event.text));
      break;
    case UpdateEvent::kStage:
      unit.step = event.step;
      break;
    case UpdateEvent::kRound:
      // The bar's last word is the round's, which may differ from the
      // update's (a unit updated but not confirmed afterwards).
      if (event.round.result != RoundResult::kUpdated) {
        unit.finished = false;
        unit.haveRange = false;
        unit.step = RoundResultName(event.round.result);
      }
      Note(prefix + RoundResultName(event.round.result) +
           (event.round.failedStep.empty() ? std::string() : " at " + event.round.failedStep) + ": " +
           OneLine(event.round.text) + " (" + DurationText(event.round.elapsedMs) + ")");
      return;
    case UpdateEvent::kOutcome:
      unit.finished = true;
      unit.result = event.result;
      unit.outcomeText = event.text;
      unit.elapsedMs = event.elapsedMs;
      if (style_ == kBars) {
        Redraw(nowMs, true);
        Note(prefix + OneLine(event.text));
      } else {
        write_(prefix + ResultWord(event.result) + ": " + OneLine(event.text) + " (" + DurationText(event.elapsedMs) +
               ")\n");
      }
      return;
  }
  // With ticks a new step redraws the block no sooner than new figures do:
  // with a fleet on the screen every unit's steps would otherwise redraw
  // every unit's line many times a second.
  if (style_ == kPlain)
    PlainEvent(unit, event);
  else
    Redraw(nowMs, !ticked_ && event.kind != UpdateEvent::kProgress);
}

void ProgressView::Tick(int64_t nowMs) {
  if (pending_) Redraw(nowMs, false);
}

void ProgressView::Finish() { Redraw(0, true); }

std::string ProgressView::SummaryTable() const {
  size_t width = 4;
  for (const UnitState& unit : units_) width = std::max(width, DisplayWidth(unit.label));
  std::string table = Pad("UNIT", width) + "  " + Pad("RESULT", 14) + "  " + Pad("TIME", 7) + "  DETAIL\n";
  for (const UnitState& unit : units_) {
    const std::string result = unit.finished ? ResultWord(unit.result) : "FAILED";
    std::string detail = unit.finished ? OneLine(unit.outcomeText) : "no outcome reported";
    if (unit.finished && unit.result == UpdateResult::kFailed && unit.haveRange && !unit.step.empty()) {
      char at[16];
      std::snprintf(at, sizeof at, "%.0f%%", unit.reading.percent);
      detail += " (stopped in " + unit.step + " at " + at + ")";
    }
    table += Pad(unit.label, width) + "  " + Pad(result, 14) + "  " + Pad(DurationText(unit.elapsedMs), 7) + "  " +
             detail + "\n";
  }
  return table;
}

}  // namespace cli
