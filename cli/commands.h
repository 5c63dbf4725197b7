// The sub-commands other than update. Each returns the program's exit code
// and writes its findings to standard output: lines for a person, or JSON
// lines with --json.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cli/unit_target.h"

namespace cli {

int RunInfoCommand(bool json);

struct DiscoverRequest {
  bool serial = false;
  uint32_t seconds = 6;
  std::vector<std::string> ports;  // serial ports to search (Linux: required)
  bool json = false;
};
int RunDiscoverCommand(const DiscoverRequest& request);

int RunQueryCommand(const UnitTarget& target, bool json);
// Reads the installer PIN itself, from the terminal or standard input.
int RunEnterBootloadCommand(const UnitTarget& target, bool json);
int RunExitBootloadCommand(const UnitTarget& target, bool json);

}  // namespace cli
