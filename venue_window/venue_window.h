// The venue window: the windowed program's way to update every unit of a
// venue at once (tq35b_venue.exe).
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

#include "cli/workers/update_runner.h"

namespace venue {

// The window class, for the person's tools and the test driver.
constexpr const wchar_t* kVenueWindowClass = L"TQVENUE";

struct VenueOptions {
  uint32_t seconds = 6;             // the search's least time
  size_t jobs = cli::kDefaultJobs;  // units written at once
};

// Shows the window, searches at once, and runs until it is closed. The
// workers must have been set (cli::SetWorkerProgram).
int RunVenueWindow(HINSTANCE instance, const VenueOptions& options, int show);

}  // namespace venue
