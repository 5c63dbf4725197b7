// Figures for a full update of the packaged images against the simulated
// unit, in plain mode (a unit that does not number its frames) next to
// sequence mode, each next to the floor the line itself sets:
//
//  - over UDP loopback, next to the same number and sizes of request and
//    reply datagrams ping-ponged between two plain sockets, with a unit
//    that answers at once and with one that takes 1 ms over each frame;
//  - over a pseudo-terminal with the unit pacing the line at 115200 bit/s,
//    next to the wire time of every byte sent both ways (10 bits a byte);
//  - over UDP loopback with 1% of round trips lost (each frame and each
//    reply lost with the same chance, the same seed in both modes), where
//    every loss costs a one-second time-out, and in plain mode a quiet
//    second more before the next frame of the same kind.
//
// Prints the times and the ratios; asserts nothing. The update time runs
// from the start of the worker to the arrival of its outcome message (the
// worker's pause before it ends is not counted; its three 10 ms pauses
// between the steps are). Over UDP it also prints the median time of one
// exchange on each side, which a stray pause of the machine does not move.
//
// Where the scheduler puts the two ends matters more than anything either
// does: on a virtual machine, waking a thread on another, idle processor
// can take tens of microseconds, against a few on the same one. --cpu N
// keeps every thread on processor N, so that runs compare like with like.
//
// Worse, a virtual processor that has gone idle is halted by the host, and
// waking it again can take milliseconds: on the paced line that happened in
// one exchange of twenty, and cost more than the updater and the unit
// together. So while the paced updates run, one spinning thread per
// processor at the idle scheduling class (it yields at once to any other
// thread) keeps the processors from halting. --let-cores-idle measures
// without them.
//
//   update_bench [--udp-runs N] [--no-serial] [--no-loss] [--cpu N] [--let-cores-idle]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/app_state.h"
#include "app/messages.h"
#include "app/status.h"
#include "boot/bootload_thread.h"
#include "link/com_transport.h"
#include "link/ethernet_transport.h"
#include "package/bin_manager.h"
#include "package/hex_manager.h"
#include "package/properties_container.h"
#include "sim/package_images.h"
#include "sim/simulated_unit.h"

namespace {

using Clock = std::chrono::steady_clock;

// The update pauses this long before each of its three steps (and before
// the end command), whatever was chosen.
constexpr double kStepPause = 0.010;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::nth_element(values.begin(), values.begin() + long(values.size() / 2), values.end());
  return values[values.size() / 2];
}

// Passes everything through to the real link and notes the size of every
// write and of every read that brought bytes, in order.
class CountingTransport : public Transport {
 public:
  explicit CountingTransport(Transport* inner) : inner_(inner) {}
  ~CountingTransport() override { delete inner_; }
  int Open() override { return inner_->Open(); }
  int IsOpen() override { return inner_->IsOpen(); }
  int Close() override { return inner_->Close(); }
  int Write(const uint8_t* data, int length) override {
    exchanges.push_back({length, {}});
    bytesOut += uint64_t(length);
    sentAt_ = Clock::now();
    return inner_->Write(data, length);
  }
  uint16_t Read(uint8_t* buffer, int capacity) override {
    uint16_t n = inner_->Read(buffer, capacity);
    if (n > 0) {
      if (!exchanges.empty()) {
        if (exchanges.back().replies.empty()) roundTrips.push_back(Seconds(Clock::now() - sentAt_));
        exchanges.back().replies.push_back(n);
      }
      bytesIn += n;
    }
    return n;
  }
  const wchar_t* Kind() override { return inner_->Kind(); }
  uint16_t ReadPending(uint8_t* buffer, int capacity) override {
    uint16_t n = inner_->ReadPending(buffer, capacity);
    if (n > 0) bytesIn += n;  // stale replies, dropped before a command
    return n;
  }
  uint16_t ReadText(uint8_t* buffer, int capacity) override { return inner_->ReadText(buffer, capacity); }
  uint16_t ReadWithin(uint8_t* buffer, int capacity, uint32_t waitUs) override {
    const uint16_t n = inner_->ReadWithin(buffer, capacity, waitUs);
    if (n > 0) bytesIn += n;  // replies dropped in a quiet window
    return n;
  }
  uint32_t WireTimeUs(int bytes) override { return inner_->WireTimeUs(bytes); }

  struct Exchange {
    int request;
    std::vector<int> replies;
  };
  std::vector<Exchange> exchanges;
  std::vector<double> roundTrips;  // from each write to its first reply
  uint64_t bytesOut = 0, bytesIn = 0;

 private:
  Transport* inner_;
  Clock::time_point sentAt_{};
};

// Notes when the outcome arrives and what it was.
class OutcomeWindow : public platform::MessageReceiver {
 public:
  void Post(uint32_t message, platform::MessageWParam, platform::MessageLParam lParam) override {
    if (message == UWM_SET_STATUS) ReleaseStatusText(lParam);
    if (message == UWM_UPDATE_SUCCEEDED || message == UWM_UPDATE_FAILED || message == UWM_NO_RESPONSE ||
        message == UWM_WRONG_RESPONSE) {
      std::lock_guard<std::mutex> lock(mutex_);
      outcome_ = message;
      at_ = Clock::now();
    }
  }
  platform::MessageResult Send(uint32_t message, platform::MessageWParam, platform::MessageLParam lParam) override {
    if (message == UWM_SET_STATUS) ReleaseStatusText(lParam);
    return 0;
  }
  uint32_t outcome() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return outcome_;
  }
  Clock::time_point at() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return at_;
  }

 private:
  mutable std::mutex mutex_;
  uint32_t outcome_ = 0;
  Clock::time_point at_{};
};

struct UpdateRun {
  bool ok = false;
  double seconds = 0;
  std::vector<CountingTransport::Exchange> exchanges;
  std::vector<double> roundTrips;
  uint64_t bytesOut = 0, bytesIn = 0;
  bool memoryExact = false;
};

UpdateRun RunUpdate(sim::SimulatedUnit& unit, Transport* link) {
  auto* counting = new CountingTransport(link);
  OutcomeWindow window;
  WorkerRequest request{&window, counting};
  const auto start = Clock::now();
  platform::Thread thread = platform::StartThread(bootload_thread, &request);
  if (!thread) return {};
  platform::WaitThread(thread);
  platform::CloseThread(thread);

  UpdateRun run;
  run.ok = window.outcome() == UWM_UPDATE_SUCCEEDED;
  run.seconds = Seconds(window.at() - start);
  // The session still holds the link; read the counts before the next
  // update replaces it.
  run.exchanges = counting->exchanges;
  run.roundTrips = counting->roundTrips;
  run.bytesOut = counting->bytesOut;
  run.bytesIn = counting->bytesIn;
  static sim::PackageImages package;
  static bool loaded = false;
  std::string error;
  if (!loaded) loaded = sim::LoadPackageImages("", &package, &error);
  run.memoryExact = loaded && unit.Program() == package.program && unit.Flash() == package.flash;
  return run;
}

int UdpSocket(sockaddr_in* bound) {
  int s = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof a;
  if (s < 0 || bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      getsockname(s, reinterpret_cast<sockaddr*>(&a), &size) != 0) {
    std::perror("udp socket");
    std::exit(1);
  }
  *bound = a;
  return s;
}

struct FloorRun {
  double seconds = 0;
  std::vector<double> roundTrips;
};

// The same datagrams, the same sizes, the same order, between two plain
// sockets on loopback: what the line and the system cost without any
// protocol work on either side. Each exchange is timed as the update's are.
FloorRun UdpFloor(const std::vector<CountingTransport::Exchange>& exchanges) {
  sockaddr_in hostAddress{}, unitAddress{};
  int host = UdpSocket(&hostAddress);
  int unit = UdpSocket(&unitAddress);
  std::thread responder([&] {
    std::vector<uint8_t> buffer(4096, 0x55);
    for (const auto& exchange : exchanges) {
      if (recv(unit, buffer.data(), buffer.size(), 0) < 0) return;
      for (int size : exchange.replies)
        sendto(unit, buffer.data(), size_t(size), 0, reinterpret_cast<sockaddr*>(&hostAddress), sizeof hostAddress);
    }
  });
  std::vector<uint8_t> buffer(4096, 0xAA);
  FloorRun run;
  run.roundTrips.reserve(exchanges.size());
  const auto start = Clock::now();
  for (const auto& exchange : exchanges) {
    const auto sent = Clock::now();
    sendto(host, buffer.data(), size_t(exchange.request), 0, reinterpret_cast<sockaddr*>(&unitAddress),
           sizeof unitAddress);
    for (size_t i = 0; i < exchange.replies.size(); ++i) {
      recv(host, buffer.data(), buffer.size(), 0);
      if (i == 0) run.roundTrips.push_back(Seconds(Clock::now() - sent));
    }
  }
  run.seconds = Seconds(Clock::now() - start);
  responder.join();
  close(host);
  close(unit);
  return run;
}

void LoadPackage() {
  LoadUiStrings(nullptr);
  unitProperties.LoadFromResource(L"UNIT");
  applicationImage.LoadFromResource(L"P32_APPLICATION");
  flashImage.LoadFromResource(L"P32_FLASH");
  appState.writeApplication = appState.writeFlash = appState.writeFactoryDefaults = true;
}

size_t Replies(const std::vector<CountingTransport::Exchange>& exchanges) {
  size_t n = 0;
  for (const auto& e : exchanges) n += e.replies.size();
  return n;
}

const char* ModeName(bool sequence) { return sequence ? "sequence" : "plain   "; }

sim::UnitOptions UdpUnit(bool sequence, std::chrono::microseconds handling = {}) {
  sim::UnitOptions options;
  options.handling = handling;
  options.udpPort = 0;
  options.serial = false;
  options.bootloader.sequenceSupport = sequence;
  return options;
}

// One update through a new link to `unit`; false (and says why) unless it
// succeeded with the package in the unit's memory.
bool UpdateExactly(sim::SimulatedUnit& unit, Transport* link, UpdateRun* run, const char* what) {
  *run = RunUpdate(unit, link);
  if (run->ok && run->memoryExact) return true;
  std::printf("  %s: update %s, memory %s\n", what, run->ok ? "succeeded" : "FAILED",
              run->memoryExact ? "exact" : "DIFFERS");
  return false;
}

struct UdpFigures {
  double update = 1e9, floor = 1e9, trip = 1e9, floorTrip = 1e9;
};

bool BenchUdpMode(int runs, bool sequence, std::chrono::microseconds handling, UdpFigures* best) {
  UpdateRun last;
  for (int i = 0; i < runs; ++i) {
    sim::SimulatedUnit unit(UdpUnit(sequence, handling));
    std::string error;
    if (!unit.Start(&error)) {
      std::printf("  cannot start the unit: %s\n", error.c_str());
      return false;
    }
    const bool ok = UpdateExactly(unit, new EthernetTransport(htonl(INADDR_LOOPBACK), unit.UdpPort()), &last,
                                  ModeName(sequence));
    unit.Stop();
    if (!ok) return false;
    const FloorRun floor = UdpFloor(last.exchanges);
    best->update = std::min(best->update, last.seconds);
    best->floor = std::min(best->floor, floor.seconds);
    best->trip = std::min(best->trip, Median(last.roundTrips));
    best->floorTrip = std::min(best->floorTrip, Median(floor.roundTrips));
    std::printf("  %s run %d: update %.3f s, floor %.3f s\n", ModeName(sequence), i + 1, last.seconds, floor.seconds);
  }
  std::printf("  %s datagrams: %zu requests (%llu bytes), %zu replies (%llu bytes)\n", ModeName(sequence),
              last.exchanges.size(), (unsigned long long)last.bytesOut, Replies(last.exchanges),
              (unsigned long long)last.bytesIn);
  return true;
}

void PrintUdpFigures(bool sequence, const UdpFigures& f) {
  std::printf("  %s update %.3f s, ping-pong floor %.3f s, ratio %.2f (%.2f without the pauses between steps)\n",
              ModeName(sequence), f.update, f.floor, f.update / f.floor, (f.update - 3 * kStepPause) / f.floor);
  std::printf("           median exchange: update %.2f us, floor %.2f us (write to reply, best run)\n", f.trip * 1e6,
              f.floorTrip * 1e6);
}

// Plain mode watches the line for a window a little longer than the unit's
// replies take before every frame of a run, so it is measured both against
// a unit that answers at once and one that takes 1 ms over each frame, as a
// unit writing its memory does.
bool BenchUdp(int runs) {
  for (int handlingMs : {0, 1}) {
    const int n = handlingMs == 0 ? runs : std::max(1, runs / 2);
    std::printf("UDP loopback, full update, the unit taking %d ms over each frame (%d runs of each mode, best taken)\n",
                handlingMs, n);
    const std::chrono::microseconds handling(handlingMs * 1000);
    UdpFigures sequence, plain;
    if (!BenchUdpMode(n, true, handling, &sequence) || !BenchUdpMode(n, false, handling, &plain)) return false;
    PrintUdpFigures(true, sequence);
    PrintUdpFigures(false, plain);
    std::printf("  plain / sequence %.2f (goal <= 2.50)\n", plain.update / sequence.update);
  }
  return true;
}

bool BenchSerialMode(bool sequence, double* ratio) {
  sim::UnitOptions options;
  options.udpPort = -1;
  options.serial = true;
  options.pace = true;
  options.bootloader.sequenceSupport = sequence;
  char alias[32];
  std::snprintf(alias, sizeof alias, "/tmp/tb%04d", int(getpid() % 10000));
  options.ptyLink = alias;  // port names hold 11 characters
  sim::SimulatedUnit unit(options);
  std::string error;
  if (!unit.Start(&error)) {
    std::printf("  cannot start the unit: %s\n", error.c_str());
    return false;
  }
  const std::string path = unit.SerialPath();
  UpdateRun run;
  const bool ok = UpdateExactly(unit, new COMTransport(std::wstring(path.begin(), path.end()).c_str(), 115200), &run,
                                ModeName(sequence));
  unit.Stop();
  if (!ok) return false;
  const double wire = double(run.bytesOut + run.bytesIn) * 10.0 / 115200.0;
  *ratio = run.seconds / wire;
  std::printf("  %s bytes: %llu to the unit, %llu back, in %zu exchanges\n", ModeName(sequence),
              (unsigned long long)run.bytesOut, (unsigned long long)run.bytesIn, run.exchanges.size());
  std::printf("  %s update %.3f s, wire time %.3f s, ratio %.3f (goal <= %s)\n", ModeName(sequence), run.seconds, wire,
              *ratio, sequence ? "1.10" : "1.05");
  return true;
}

// Spins on every processor at the idle scheduling class while it lives, so
// that no processor halts (see the top of this file).
class CoresAwake {
 public:
  CoresAwake() {
    const unsigned count = std::max(1u, std::thread::hardware_concurrency());
    for (unsigned i = 0; i < count; ++i) {
      spinners_.emplace_back([this] {
        sched_param param{};
        if (sched_setscheduler(0, SCHED_IDLE, &param) != 0) return;  // never spin at a normal priority
        while (!stop_.load(std::memory_order_relaxed)) {
        }
      });
    }
  }
  ~CoresAwake() {
    stop_ = true;
    for (auto& t : spinners_) t.join();
  }

 private:
  std::atomic<bool> stop_{false};
  std::vector<std::thread> spinners_;
};

bool BenchSerial(bool letCoresIdle) {
  std::printf("Pseudo-terminal paced at 115200 bit/s, full update (%s)\n",
              letCoresIdle ? "idle processors may halt" : "idle processors kept awake");
  std::optional<CoresAwake> awake;
  if (!letCoresIdle) awake.emplace();
  double sequence = 0, plain = 0;
  return BenchSerialMode(true, &sequence) && BenchSerialMode(false, &plain);
}

// The chance for each direction that makes `roundTrip` of the round trips
// lose their frame or their reply.
double PerDirection(double roundTrip) { return 1 - std::sqrt(1 - roundTrip); }

bool BenchLoss() {
  std::printf("UDP loopback, 1%% of round trips lost (seed 7, the same losses in both modes), full update\n");
  double seconds[2] = {0, 0};
  for (bool sequence : {true, false}) {
    sim::UnitOptions options = UdpUnit(sequence);
    options.seed = 7;
    options.incoming.drop = options.outgoing.drop = PerDirection(0.01);
    sim::SimulatedUnit unit(options);
    std::string error;
    if (!unit.Start(&error)) {
      std::printf("  cannot start the unit: %s\n", error.c_str());
      return false;
    }
    UpdateRun run;
    const bool ok = UpdateExactly(unit, new EthernetTransport(htonl(INADDR_LOOPBACK), unit.UdpPort()), &run,
                                  ModeName(sequence));
    const sim::LineCounters line = unit.Line();
    unit.Stop();
    if (!ok) return false;
    seconds[sequence] = run.seconds;
    std::printf("  %s update %.1f s: %zu frames, %u frames and %u replies lost\n", ModeName(sequence), run.seconds,
                run.exchanges.size(), line.droppedIn, line.droppedOut);
  }
  std::printf("  plain / sequence %.2f (goal <= 2.00)\n", seconds[false] / seconds[true]);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  int udpRuns = 5;
  bool serial = true;
  bool loss = true;
  bool letCoresIdle = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--udp-runs") == 0 && i + 1 < argc) {
      udpRuns = std::max(1, std::atoi(argv[++i]));
    } else if (std::strcmp(argv[i], "--no-serial") == 0) {
      serial = false;
    } else if (std::strcmp(argv[i], "--no-loss") == 0) {
      loss = false;
    } else if (std::strcmp(argv[i], "--let-cores-idle") == 0) {
      letCoresIdle = true;
    } else if (std::strcmp(argv[i], "--cpu") == 0 && i + 1 < argc) {
      // Threads started later inherit the main thread's processor set.
      cpu_set_t set;
      CPU_ZERO(&set);
      CPU_SET(std::atoi(argv[++i]), &set);
      if (sched_setaffinity(0, sizeof set, &set) != 0) {
        std::perror("sched_setaffinity");
        return 2;
      }
    } else {
      std::fprintf(stderr, "usage: %s [--udp-runs N] [--no-serial] [--no-loss] [--cpu N] [--let-cores-idle]\n",
                   argv[0]);
      return 2;
    }
  }
  LoadPackage();
  bool ok = BenchUdp(udpRuns);
  if (serial) ok = BenchSerial(letCoresIdle) && ok;
  if (loss) ok = BenchLoss() && ok;
  return ok ? 0 : 1;
}
