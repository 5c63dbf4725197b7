// The fault matrix: full updates of the packaged images against the
// simulated unit, over UDP and over a pseudo-terminal, in plain and in
// sequence mode, under one line or unit fault each (and late replies with
// lost frames, which together fool a host that does not wait them out in
// plain mode). One row per case:
//
//   case  link  mode  outcome  seconds  frames  resent  memory  second-update  verdict
//
// A case passes when the outcome is the one the fault allows (a success
// only with the unit's memory equal to the package; a failure with the
// message that names it), exactly one outcome message came, and after a
// failure a second update on the same unit with the fault removed ends in
// success with exact memory.
//
// Loss p drops each frame and each reply with probability 1 - sqrt(1 - p),
// so that one command's round trip is lost with probability p.
//
//   fault_matrix [--case NAME] [--link udp|serial] [--mode plain|sequence] [--seed N]
//   fault_matrix --list          the case names, one a line
//   fault_matrix --header        the table's header line
// Exit status: 0 when every case run passed, 1 otherwise.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/messages.h"
#include "tests/faults/update_harness.h"

namespace {

enum class Expect { Success, Failure };

struct Case {
  const char* name;
  const char* what;
  Expect expect;
  bool serialOnly;
};

const Case kCases[] = {
    {"clean", "no fault", Expect::Success, false},
    {"loss-1%", "1% of round trips lost", Expect::Success, false},
    {"loss-10%", "10% of round trips lost", Expect::Success, false},
    {"loss-30%", "30% of round trips lost", Expect::Failure, false},
    {"corrupt", "2% of frames and replies with one byte changed", Expect::Success, false},
    {"duplicate", "5% of frames and replies arrive twice", Expect::Success, false},
    {"stale-replies", "2% of replies arrive 1500 ms late, past the host's time-out", Expect::Success, false},
    {"late+loss", "2% of replies 1500 ms late and 2% of frames lost", Expect::Success, false},
    {"dup-frames", "2% of frames arrive twice at a unit taking 1 ms over each", Expect::Success, false},
    {"dup+loss", "2% of frames arrive twice and 2% are lost, at a unit taking 1 ms over each", Expect::Success, false},
    {"status0", "status 0 answered at a random frame", Expect::Failure, false},
    {"power-loss", "the unit falls silent at a random frame", Expect::Failure, false},
    {"line-closed", "the host's serial line closes at a random frame", Expect::Failure, true},
};

// Frames of a clean full update: the version queries, 2,471 programming
// frames, the stamp, 3,852 flash blocks and the step commands.
constexpr uint32_t kFramesOfUpdate = 6331;

uint32_t RandomFrame(uint64_t seed) {
  // Somewhere past the version queries and before the last step command.
  return 10 + static_cast<uint32_t>((seed * 2654435761u + 12345) % (kFramesOfUpdate - 20));
}

double PerDirection(double roundTrip) { return 1 - std::sqrt(1 - roundTrip); }

struct Setup {
  sim::UnitOptions unit;
  faults::LinkFault link;
  std::string detail;
};

Setup SetupFor(const Case& c, bool serial, bool sequence, uint64_t seed) {
  Setup s;
  s.unit.bindAddress = "127.0.0.1";
  s.unit.udpPort = serial ? -1 : 0;
  s.unit.serial = serial;
  s.unit.seed = seed;
  s.unit.bootloader.sequenceSupport = sequence;
  const std::string name = c.name;
  auto loss = [&](double p) { s.unit.incoming.drop = s.unit.outgoing.drop = PerDirection(p); };
  if (name == "loss-1%") loss(0.01);
  if (name == "loss-10%") loss(0.10);
  if (name == "loss-30%") loss(0.30);
  if (name == "corrupt") s.unit.incoming.corrupt = s.unit.outgoing.corrupt = 0.02;
  if (name == "duplicate") s.unit.incoming.duplicate = s.unit.outgoing.duplicate = 0.05;
  if (name == "stale-replies") {
    s.unit.outgoing.delay = 0.02;
    s.unit.outgoing.delayMs = 1500;
  }
  if (name == "late+loss") {
    s.unit.outgoing.delay = 0.02;
    s.unit.outgoing.delayMs = 1500;
    s.unit.incoming.drop = 0.02;
  }
  if (name == "dup-frames" || name == "dup+loss") {
    // Each copy is answered, one handling time after the other.
    s.unit.handling = std::chrono::milliseconds(1);
    s.unit.incoming.duplicate = 0.02;
    if (name == "dup+loss") s.unit.incoming.drop = 0.02;
  }
  if (name == "status0") {
    s.unit.bootloader.status0At = RandomFrame(seed);
    s.detail = "at frame " + std::to_string(s.unit.bootloader.status0At);
  }
  if (name == "power-loss") {
    s.unit.bootloader.silentFrom = RandomFrame(seed);
    s.detail = "from frame " + std::to_string(s.unit.bootloader.silentFrom);
  }
  if (name == "line-closed") {
    s.link.closeAfterWrites = RandomFrame(seed);
    s.detail = "after frame " + std::to_string(s.link.closeAfterWrites);
  }
  return s;
}

bool IsFailureMessage(uint32_t m) { return m == UWM_UPDATE_FAILED || m == UWM_NO_RESPONSE; }

void Header() {
  std::printf("%-14s %-6s %-8s %-21s %8s %7s %7s %-7s %-28s %s\n", "case", "link", "mode", "outcome", "seconds",
              "frames", "resent", "memory", "second update", "verdict");
}

bool RunCase(const Case& c, bool serial, bool sequence, uint64_t seed) {
  const Setup setup = SetupFor(c, serial, sequence, seed);
  sim::SimulatedUnit unit(setup.unit);
  std::string error;
  if (!unit.Start(&error)) {
    std::printf("%-14s %-6s %-8s cannot start the unit: %s\n", c.name, serial ? "serial" : "udp",
                sequence ? "sequence" : "plain", error.c_str());
    return false;
  }
  auto link = [&] { return serial ? faults::SerialLink(unit) : faults::UdpLink(unit); };
  const faults::UpdateOutcome first = faults::RunUpdate(&unit, link(), setup.link);

  bool pass = first.outcomes == 1;
  // Never a success with memory that differs from the package.
  if (first.message == UWM_UPDATE_SUCCEEDED)
    pass = pass && first.memoryExact && first.lastProgress == first.progressRange;
  if (c.expect == Expect::Success) pass = pass && first.message == UWM_UPDATE_SUCCEEDED;
  if (c.expect == Expect::Failure) pass = pass && IsFailureMessage(first.message);

  std::string second = "-";
  if (first.message != UWM_UPDATE_SUCCEEDED) {
    // The fault goes away (the line heals, power returns); the same unit,
    // with whatever the failed update left in it, must take a whole update.
    unit.SetLineFaults(sim::FaultRates(), sim::FaultRates());
    sim::BootloaderOptions options = unit.Options();
    options.status0At = -1;
    options.silentFrom = -1;
    unit.SetBootloaderOptions(options);
    const faults::UpdateOutcome again = faults::RunUpdate(&unit, link());
    const bool ok = again.outcomes == 1 && again.message == UWM_UPDATE_SUCCEEDED && again.memoryExact;
    char text[64];
    std::snprintf(text, sizeof text, "%s %.1fs %s", ok ? "ok" : faults::MessageName(again.message), again.seconds,
                  again.memoryExact ? "exact" : "DIFFERS");
    second = text;
    pass = pass && ok;
  }
  unit.Stop();

  std::printf("%-14s %-6s %-8s %-21s %8.1f %7u %7u %-7s %-28s %s%s%s\n", c.name, serial ? "serial" : "udp",
              sequence ? "sequence" : "plain", faults::MessageName(first.message), first.seconds, first.writes,
              first.resends, first.memoryExact ? "exact" : "differs", second.c_str(), pass ? "PASS" : "FAIL",
              setup.detail.empty() ? "" : "  ", setup.detail.c_str());
  std::fflush(stdout);
  return pass;
}

}  // namespace

int main(int argc, char** argv) {
  std::string only, onlyLink, onlyMode;
  uint64_t seed = 7;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "%s needs a value\n", a.c_str());
        std::exit(2);
      }
      return argv[++i];
    };
    if (a == "--list") {
      for (const Case& c : kCases) std::printf("%s\n", c.name);
      return 0;
    } else if (a == "--header") {
      Header();
      return 0;
    } else if (a == "--case")
      only = value();
    else if (a == "--link")
      onlyLink = value();
    else if (a == "--mode")
      onlyMode = value();
    else if (a == "--seed")
      seed = std::strtoull(value().c_str(), nullptr, 10);
    else {
      std::fprintf(stderr,
                   "usage: fault_matrix [--case NAME] [--link udp|serial] [--mode plain|sequence] [--seed N] "
                   "[--list] [--header]\n");
      return 2;
    }
  }
  faults::LoadPackage();
  faults::Package();
  if (only.empty()) Header();
  bool all = true;
  int ran = 0;
  for (const Case& c : kCases) {
    if (!only.empty() && only != c.name) continue;
    for (const char* link : {"udp", "serial"}) {
      if (!onlyLink.empty() && onlyLink != link) continue;
      if (c.serialOnly && std::strcmp(link, "serial") != 0) continue;
      for (const char* mode : {"plain", "sequence"}) {
        if (!onlyMode.empty() && onlyMode != mode) continue;
        all = RunCase(c, std::strcmp(link, "serial") == 0, std::strcmp(mode, "sequence") == 0, seed) && all;
        ++ran;
      }
    }
  }
  if (ran == 0) {
    std::fprintf(stderr, "no such case\n");
    return 2;
  }
  return all ? 0 : 1;
}
