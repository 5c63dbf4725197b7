// The soak: consecutive full updates over UDP against one simulated unit
// that loses a share of the round trips, and this process's resident memory
// and open descriptors before the first update, after each and at the end.
//
// The unit runs as its own process (the tq35b_sim program), so the figures
// are the updater's alone; after each update the unit's dump is compared
// with the package. Passes when every update succeeded with exact memory,
// the descriptors at the end are those of the start, and resident memory
// grew by no more than --rss-slack kilobytes after the first update.
//
//   soak --sim PATH/tq35b_sim [--updates 25] [--loss 5] [--seed N] [--rss-slack 1024]
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "app/messages.h"
#include "link/ethernet_transport.h"
#include "sim/unit_dump.h"
#include "tests/faults/update_harness.h"

#include <arpa/inet.h>

namespace {

struct SimProcess {
  pid_t pid = -1;
  uint16_t port = 0;
};

// Starts the unit and waits for its ready line.
bool StartSim(const std::string& program, const std::vector<std::string>& args, SimProcess* sim) {
  int out[2];
  if (pipe(out) != 0) return false;
  const pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    dup2(out[1], 1);
    close(out[0]);
    close(out[1]);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  close(out[1]);
  std::string line;
  char c;
  while (read(out[0], &c, 1) == 1 && c != '\n') line += c;
  close(out[0]);
  sim->pid = pid;
  const size_t at = line.find("udp=127.0.0.1:");
  if (line.compare(0, 5, "ready") != 0 || at == std::string::npos) return false;
  sim->port = static_cast<uint16_t>(std::atoi(line.c_str() + at + 14));
  return sim->port != 0;
}

void StopSim(const SimProcess& sim) {
  if (sim.pid <= 0) return;
  kill(sim.pid, SIGTERM);
  int status = 0;
  waitpid(sim.pid, &status, 0);
}

// The dump's count of ended updates, or -1.
int UpdatesEnded(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  const std::string s = text.str();
  const size_t at = s.find("\"updates_ended\":");
  return at == std::string::npos ? -1 : std::atoi(s.c_str() + at + 16);
}

}  // namespace

int main(int argc, char** argv) {
  std::string simPath;
  int updates = 25;
  double lossPercent = 5;
  uint64_t seed = 11;
  long rssSlack = 1024;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
    if (a == "--sim")
      simPath = value();
    else if (a == "--updates")
      updates = std::atoi(value().c_str());
    else if (a == "--loss")
      lossPercent = std::atof(value().c_str());
    else if (a == "--seed")
      seed = std::strtoull(value().c_str(), nullptr, 10);
    else if (a == "--rss-slack")
      rssSlack = std::atol(value().c_str());
    else {
      std::fprintf(stderr, "usage: soak --sim PATH [--updates N] [--loss PERCENT] [--seed N] [--rss-slack KB]\n");
      return 2;
    }
  }
  if (simPath.empty() || updates < 1 || lossPercent < 0 || lossPercent >= 100) {
    std::fprintf(stderr, "soak: --sim is needed; updates >= 1; loss below 100\n");
    return 2;
  }

  char folder[] = "/tmp/tq-soak-XXXXXX";
  if (!mkdtemp(folder)) return 2;
  const std::string dump = std::string(folder) + "/dump.json";
  // A round trip is lost with the given probability: each way 1 - sqrt(1 - p).
  const double perWay = 1 - std::sqrt(1 - lossPercent / 100);
  char rate[32];
  std::snprintf(rate, sizeof rate, "%.6f", perWay);
  SimProcess sim;
  if (!StartSim(simPath,
                {"--udp-port", "0", "--no-pty", "--seed", std::to_string(seed), "--drop-in", rate, "--drop-out", rate,
                 "--dump", dump},
                &sim)) {
    std::fprintf(stderr, "soak: the simulated unit did not start\n");
    StopSim(sim);
    return 2;
  }

  faults::LoadPackage();
  const int fdStart = faults::OpenDescriptors();
  const long rssStart = faults::ResidentKilobytes();
  long rssAfterFirst = 0;
  std::printf("soak: %d updates over UDP, %.1f%% of round trips lost\n", updates, lossPercent);
  std::printf("%-7s %-21s %8s %7s %7s %-7s %9s %5s\n", "update", "outcome", "seconds", "frames", "resent", "memory",
              "rss KiB", "fds");
  std::printf("%-7s %-21s %8s %7s %7s %-7s %9ld %5d\n", "start", "", "", "", "", "", rssStart, fdStart);
  int exact = 0;
  double total = 0;
  for (int n = 1; n <= updates; ++n) {
    // The unit is another process: its dump says what it holds.
    const faults::UpdateOutcome outcome = faults::RunUpdate(nullptr,
                                                            new EthernetTransport(htonl(INADDR_LOOPBACK), sim.port));
    bool memory = false;
    if (outcome.message == UWM_UPDATE_SUCCEEDED) {
      for (int wait = 0; wait < 100 && UpdatesEnded(dump) < n; ++wait)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      std::string message;
      memory = UpdatesEnded(dump) == n && sim::VerifyDump(dump, "", sim::VerifyScope::Both, &message) == 0;
    }
    exact += memory;
    total += outcome.seconds;
    const long rss = faults::ResidentKilobytes();
    if (n == 1) rssAfterFirst = rss;
    std::printf("%-7d %-21s %8.1f %7u %7u %-7s %9ld %5d\n", n, faults::MessageName(outcome.message), outcome.seconds,
                outcome.writes, outcome.resends, memory ? "exact" : "DIFFERS", rss, faults::OpenDescriptors());
    std::fflush(stdout);
  }
  StopSim(sim);
  const int fdEnd = faults::OpenDescriptors();
  const long rssEnd = faults::ResidentKilobytes();
  const bool flat = fdEnd == fdStart && rssEnd - rssAfterFirst <= rssSlack;
  std::printf(
      "soak: %d of %d updates exact, %.0f s in all; descriptors %d -> %d; resident %ld KiB at the start, "
      "%ld after the first update, %ld at the end (%+ld)\n",
      exact, updates, total, fdStart, fdEnd, rssStart, rssAfterFirst, rssEnd, rssEnd - rssAfterFirst);
  std::printf("soak: %s\n", exact == updates && flat ? "PASS" : "FAIL");
  std::filesystem::remove_all(folder);
  return exact == updates && flat ? 0 : 1;
}
