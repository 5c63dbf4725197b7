// The exit codes of the command-line updater. Scripts rely on them, so they
// never change meaning; --help and the README list them.
#pragma once

namespace cli {

enum ExitCode : int {
  kExitSuccess = 0,        // the operation did what was asked
  kExitFailed = 1,         // the unit answered but the operation failed (update, entering bootload mode)
  kExitUsage = 2,          // bad command line or input; nothing was sent
  kExitNoResponse = 3,     // the unit did not answer (nothing found, for discover)
  kExitWrongResponse = 4,  // the unit answered, but not as a bootloader this updater accepts
};

// The table that every --help ends with.
const char* ExitCodeHelp();

}  // namespace cli
