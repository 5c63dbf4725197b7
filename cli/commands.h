// The sub-commands other than update. Each returns the program's exit code
// and writes its findings to standard output: lines for a person, or JSON
// lines with --json.
#pragma once

#include <cstdint>
#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "cli/unit_target.h"
#include "control/text_commands.h"

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

// A unit that a network search found: its address (network byte order),
// whether it said it was in bootload mode, and its hardware address when it
// told it. The search reads every answer and goes on while units still turn
// up; socket errors, and a search cut short while units still answered, go
// to `problem`.
struct FoundNetworkUnit {
  uint32_t address;
  bool bootload;
  std::string mac;
};
// `found`, when given, hears the count of units found so far as it grows;
// the search ends early once `stop` (when given) is non-zero.
std::vector<FoundNetworkUnit> FindNetworkUnits(uint32_t seconds, const std::function<void(const std::string&)>& problem,
                                               const std::function<void(size_t)>& found = nullptr,
                                               const std::atomic<int>* stop = nullptr);

// The installer PIN: four digits, read without echo from a terminal or as
// one line from standard input, never from the command line or the
// environment. The caller wipes the buffer.
constexpr size_t kInstallerPinDigits = 4;
// Room for a line longer than a PIN, so that one is refused rather than cut.
constexpr size_t kInstallerPinLineSize = 64;
bool ReadInstallerPinLine(char (&line)[kInstallerPinLineSize]);
bool ReadInstallerPin(wchar_t (&pin)[kInstallerPinDigits + 1]);
// Sends the enter-bootload sequence with the PIN; *outcomeText says what
// happened, for a person.
EnterBootloadResult EnterBootloadMode(const UnitTarget& target, const wchar_t* pin, std::string* outcomeText);
std::string TextInterfaceSilentText(const UnitTarget& target);
// Tells the unit's bootloader to start its application; the exit code of
// exit-bootload, and what happened in *outcomeText.
int ExitBootloaderMode(const UnitTarget& target, std::string* outcomeText);
// Reads the installer PIN itself, from the terminal or standard input.
int RunEnterBootloadCommand(const UnitTarget& target, bool json);
int RunExitBootloadCommand(const UnitTarget& target, bool json);

}  // namespace cli
