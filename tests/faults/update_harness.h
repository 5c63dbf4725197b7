// Full updates against a simulated unit, as the main window runs them: the
// update worker on a thread of its own, reporting to a window that records
// the outcome. Shared by the fault matrix, the soak and the hostile-peer
// tests.
#pragma once

#include <cstdint>
#include <string>

#include "platform/platform.h"
#include "sim/package_images.h"
#include "sim/simulated_unit.h"

class Transport;

namespace faults {

// The package into the program's globals (once), all three steps chosen.
void LoadPackage();
// The package as a unit holds it after a full update.
const sim::PackageImages& Package();

// Whether the unit's program and flash memory are the package's, byte for byte.
bool MemoryEqualsPackage(const sim::SimulatedUnit& unit);

struct UpdateOutcome {
  uint32_t message = 0;  // UWM_UPDATE_SUCCEEDED, UWM_UPDATE_FAILED, UWM_NO_RESPONSE, ...; 0: none came
  int outcomes = 0;      // how many outcome messages came (exactly one is right)
  double seconds = 0;    // from the worker's start to its outcome
  uint32_t writes = 0;   // frames put on the link, resends included
  uint32_t resends = 0;  // writes that repeated the frame before them
  uint32_t progressRange = 0;
  uint32_t lastProgress = 0;
  bool memoryExact = false;  // read after the worker ended
};

// What to do to the host's link while the update runs.
struct LinkFault {
  // Close the host's link underneath the worker once this many frames have
  // gone out (0: never), as when a serial adapter is pulled.
  uint32_t closeAfterWrites = 0;
};

// Runs one update through `link` (taken over) and waits for the worker;
// then compares the unit's memory with the package (when a unit is given:
// a unit in another process is compared through its dump instead).
UpdateOutcome RunUpdate(const sim::SimulatedUnit* unit, Transport* link, const LinkFault& fault = {});

// New host links to the unit.
Transport* UdpLink(const sim::SimulatedUnit& unit);
Transport* SerialLink(const sim::SimulatedUnit& unit);

const char* MessageName(uint32_t message);

// Open descriptors and resident memory of this process, for the soak.
int OpenDescriptors();
long ResidentKilobytes();

}  // namespace faults
