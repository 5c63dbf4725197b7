// Figures for the frame engine against the simulated unit: round trips and
// programming throughput over UDP loopback, over the pseudo-terminal
// unpaced, and over the pseudo-terminal paced at 115200 bit/s. Prints;
// asserts nothing (the machine is shared, so figures vary).
#include <arpa/inet.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

#include "boot/bootloader_session.h"
#include "link/com_transport.h"
#include "link/ethernet_transport.h"
#include "package/hex_manager.h"
#include "sim/simulated_unit.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

void Measure(const char* name, BootloaderSession& session, CHexManager& hex, int frames) {
  const auto start = Clock::now();
  int ok = 0;
  for (int i = 0; i < 200; ++i) ok += session.SendCommand(ReadBootloaderVersion, nullptr, 0, 5, 1000);
  const double roundTrip = Seconds(start) / 200 * 1000;

  session.SendCommand(BeginApplication | kSequenceFlag, nullptr, 0, 5, 10000);
  hex.Rewind();
  uint8_t frame[BootloaderSession::kFrameSize];
  size_t bytes = 0;
  int sent = 0;
  const auto program = Clock::now();
  for (; sent < frames; ++sent) {
    int used = 0;
    for (int r = 0; r < 8; ++r) {
      const uint16_t n = hex.NextRecord(frame + used, static_cast<uint32_t>(sizeof frame - used));
      if (!n) break;
      used += n;
    }
    if (!used) break;
    ok += session.SendCommand(ApplicationRecords | kSequenceFlag, frame, used, 5, 1000);
    bytes += static_cast<size_t>(used);
  }
  const double t = Seconds(program);
  std::printf(
      "%-26s version round trip %.3f ms; %d programming frames (%zu record bytes) in %.2f s: %.0f frames/s, "
      "%.1f KiB/s; %d/%d commands answered\n",
      name, roundTrip, sent, bytes, t, sent / t, bytes / t / 1024, ok, 200 + sent);
}

}  // namespace

int main() {
  CHexManager hex;
  if (!hex.LoadFromResource(L"P32_APPLICATION")) {
    std::fprintf(stderr, "no application image\n");
    return 1;
  }
  {
    sim::UnitOptions o;
    o.udpPort = 0;
    o.serial = false;
    sim::SimulatedUnit unit(o);
    unit.Start();
    BootloaderSession session;
    session.SetTransport(new EthernetTransport(htonl(INADDR_LOOPBACK), unit.UdpPort()));
    session.Open();
    Measure("UDP loopback", session, hex, 2471);
  }
  for (bool pace : {false, true}) {
    sim::UnitOptions o;
    o.udpPort = -1;
    o.pace = pace;
    char link[16];
    std::snprintf(link, sizeof link, "/tmp/b%05d", static_cast<int>(getpid() % 100000));
    o.ptyLink = link;
    sim::SimulatedUnit unit(o);
    unit.Start();
    const std::wstring path(o.ptyLink.begin(), o.ptyLink.end());
    BootloaderSession session;
    session.SetTransport(new COMTransport(path.c_str(), 115200));
    session.Open();
    Measure(pace ? "serial, paced 115200" : "serial pty, unpaced", session, hex, pace ? 300 : 2471);
    if (pace)
      std::printf("%-26s a full frame of 8 records (~180 wire bytes) needs %.1f ms on the wire at 115200 bit/s\n", "",
                  180 * 10 / 115.2);
  }
  return 0;
}
