// What an update reports as it runs, for one unit: the same events drive the
// progress bar, the plain lines and the JSON lines, and travel as JSON lines
// from the worker processes of a parallel update to the one that shows them.
#pragma once

#include <cstdint>
#include <string>

#include "cli/progress_meter.h"

namespace cli {

enum class UpdateResult { kSucceeded, kFailed, kNoResponse, kWrongResponse };
const char* ResultName(UpdateResult result);  // "succeeded", "failed", "no-response", "wrong-response"
bool ResultFromName(const std::string& name, UpdateResult* result);
int ExitCodeOf(UpdateResult result);

struct UpdateEvent {
  enum Kind { kStart, kUnit, kStatus, kProgress, kMessage, kOutcome };
  Kind kind = kStart;
  std::string unit;  // the unit's label

  // kStart: the parts chosen.
  bool serverFirmware = false, serverUi = false, factoryDefaults = false;
  // kUnit: what the version query found.
  bool inBootloader = false;
  std::string bootloaderVersion;   // "3.1", empty when the bootloader did not answer
  std::string applicationVersion;  // empty when none was read
  // kStatus: the step; kMessage: caption and text; kOutcome: the outcome text.
  std::string step, caption, text;
  // kProgress.
  ProgressReading progress;
  // kOutcome.
  UpdateResult result = UpdateResult::kFailed;
  int64_t elapsedMs = 0;
};

std::string ToJson(const UpdateEvent& event);
// False for a line that is not one of these events.
bool FromJson(const std::string& line, UpdateEvent* event);

}  // namespace cli
