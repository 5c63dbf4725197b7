// What an update reports as it runs, for one unit: the same events drive the
// progress bar, the plain lines and the JSON lines, and travel as JSON lines
// from the worker processes of a parallel update to the one that shows them.
#pragma once

#include <cstdint>
#include <string>

#include "cli/json.h"
#include "cli/terminal/progress_meter.h"

namespace cli {

enum class UpdateResult { kSucceeded, kFailed, kNoResponse, kWrongResponse };
const char* ResultName(UpdateResult result);  // "succeeded", "failed", "no-response", "wrong-response"
bool ResultFromName(const std::string& name, UpdateResult* result);
int ExitCodeOf(UpdateResult result);

// What became of one unit in a venue update (update --all).
enum class RoundResult { kUpdated, kSkipped, kFailed, kNotReached };
const char* RoundResultName(RoundResult result);  // "succeeded", "skipped", "failed", "not-reached"
bool RoundResultFromName(const std::string& name, RoundResult* result);

struct RoundReport {
  RoundResult result = RoundResult::kNotReached;
  std::string failedStep;  // the step that failed: "enter bootload", "update"...; empty otherwise
  int exitCode = 1;
  std::string text;               // what happened, for a person
  std::string bootloaderVersion;  // empty when not known
  std::string applicationBefore;  // empty when not known
  std::string applicationAfter;   // as read back from the unit; empty when not known
  std::string modeAfter;          // "application", "bootload" or "unknown"
  std::string movedTo;            // the address the unit came back at, when its restart moved it
  int64_t elapsedMs = 0;
};

struct UpdateEvent {
  enum Kind { kStart, kUnit, kStatus, kProgress, kMessage, kOutcome, kStage, kRound };
  Kind kind = kStart;
  std::string unit;  // the unit's label

  // kStart: the parts chosen.
  bool serverFirmware = false, serverUi = false, factoryDefaults = false;
  // kUnit: what the version query found.
  bool inBootloader = false;
  std::string bootloaderVersion;   // "3.1", empty when the bootloader did not answer
  std::string applicationVersion;  // empty when none was read
  // kStatus: the step; kMessage: caption and text; kOutcome: the outcome text;
  // kStage: the step of a venue round that begins ("enter bootload"...) and
  // what it does.
  std::string step, caption, text;
  // kProgress.
  ProgressReading progress;
  // kOutcome.
  UpdateResult result = UpdateResult::kFailed;
  int64_t elapsedMs = 0;
  // kRound: the end of one unit's round in a venue update.
  RoundReport round;
};

std::string ToJson(const UpdateEvent& event);
// One unit's round as the summary and the report give it.
Json RoundJson(const std::string& unit, const RoundReport& round);
// False for a line that is not one of these events.
bool FromJson(const std::string& line, UpdateEvent* event);

}  // namespace cli
