// The version query of one unit, through the program's version query worker:
// what the main window learns when a unit is picked.
#pragma once

#include <cstdint>

#include "cli/unit_target.h"

namespace cli {

struct QueryFindings {
  bool bootloaderAnswered = false;
  unsigned bootloaderVersion = 0;             // major in bits 8-15, minor in bits 0-7
  uint32_t applicationVersion = 0xFFFFFFFFu;  // 0xFFFFFFFF or 0: none read
  // The unit's text interface, asked when the bootloader was silent.
  bool textAnswered = false;
  bool canEnterBootload = false;  // it reported bootload mode off
  bool canExitBootload = false;   // it reported bootload mode on (or its bootloader answered)
};

// Starts the worker, queries the unit and waits for the end of the query.
// The worker is stopped again unless `keepWorker` is set, in which case the
// caller stops it (StopVersionQueries) when it suits: stopping waits for
// the worker's next wake-up, up to 250 ms, which an update can spend
// better. A serial port is only free again once the worker has stopped.
QueryFindings QueryUnitVersions(const UnitTarget& target, bool keepWorker = false);

// Versions 3.0 to 3.2 are the ones this updater can work with.
bool IsAcceptedBootloaderVersion(unsigned version);
bool HasApplicationVersion(uint32_t version);

}  // namespace cli
