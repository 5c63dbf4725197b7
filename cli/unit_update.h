// One update, run in this process the way the main window runs it: the
// version query first, then the update worker with the program's shared
// session, reporting to a console window. Everything it learns goes to the
// sink as events, the outcome last.
#pragma once

#include <functional>

#include "cli/unit_target.h"
#include "cli/workers/update_events.h"

namespace cli {

struct UpdateChoices {
  bool serverFirmware = false;  // the application image
  bool serverUi = false;        // the flash image
  bool factoryDefaults = false;
};

using EventSink = std::function<void(const UpdateEvent&)>;

// The update worker keeps its session, sequence mode and progress in
// process-wide globals, so one process runs one update at a time.
UpdateResult RunUnitUpdate(const UnitTarget& target, const UpdateChoices& choices, const EventSink& sink);

// Passes progress events on at most every `intervalMs`, and always the first
// and the one that reaches the end; every other event passes at once.
class ProgressThrottle {
 public:
  explicit ProgressThrottle(int64_t intervalMs) : intervalMs_(intervalMs) {}
  bool Pass(const UpdateEvent& event, int64_t nowMs);

 private:
  int64_t intervalMs_;
  int64_t lastMs_ = 0;
  bool any_ = false;
};

}  // namespace cli
