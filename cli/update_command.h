// The update sub-command: one unit in this process, several units in
// parallel with one worker process each.
#pragma once

#include <string>
#include <vector>

#include "cli/unit_target.h"
#include "cli/unit_update.h"

namespace cli {

struct UpdateRequest {
  std::vector<UnitTarget> targets;
  UpdateChoices choices;
  bool json = false;
  // This process is a worker of a parallel update: one unit, JSON events
  // on standard output, nothing else.
  bool worker = false;
  size_t jobs = 64;  // workers at once
  // The arguments that make a worker for target i: everything but the
  // targets, which the parallel runner adds.
  std::vector<std::string> workerArguments;
  // The arguments that name each target, as the user gave them.
  std::vector<std::vector<std::string>> targetArguments;
};

int RunUpdateCommand(const UpdateRequest& request);

// The exit code of a run of several units: 0 when all succeeded, the
// shared code when every unit failed the same way, else 1 (failed).
int CombinedExitCode(const std::vector<int>& codes);

}  // namespace cli
