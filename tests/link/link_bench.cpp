// Prints how long the links' empty polls take, how long an exchange with a
// silent unit lasts, and exchange round trips against an answering far end
// on a pseudo-terminal and on loopback sockets. Figures only: nothing here
// passes or fails.
#include <cstdio>
#include <cstring>
#include <thread>

#include "link/com_transport.h"
#include "link/ethernet_transport.h"
#include "link_test_support.h"

namespace {

double MeanEmptyReadMs(Transport& link, int rounds) {
  uint8_t buffer[2038];
  const uint32_t start = platform::TickCount();
  for (int i = 0; i < rounds; ++i) link.Read(buffer, sizeof buffer);
  return static_cast<double>(platform::TickCount() - start) / rounds;
}

uint32_t SilentExchangeMs(Transport& link, unsigned budget) {
  char reply[16];
  const uint32_t start = platform::TickCount();
  link.Exchange("<SY,BQ/>", reply, sizeof reply, budget);
  return platform::TickCount() - start;
}

void Report(const char* what, double value, const char* unit) { std::printf("%-44s %9.2f %s\n", what, value, unit); }

// Answers every command it reads on `fd` (stream or terminal) with a reply.
void AnswerStream(int fd, int count) {
  char buffer[256];
  for (int i = 0; i < count; ++i) {
    if (!linktest::Readable(fd, 2000)) return;
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) return;
    // A line end that came on its own is no command.
    if (std::memchr(buffer, '>', static_cast<size_t>(n)) == nullptr) {
      --i;
      continue;
    }
    if (write(fd, "<sy,bq = ud/>", 13) != 13) return;
  }
}

}  // namespace

int main() {
  const int rounds = 40, exchanges = 100;

  linktest::PseudoTerminal pty;
  COMTransport com(pty.widePath().c_str(), 115200);
  if (pty.ok() && com.Open()) {
    Report("serial: empty Read", MeanEmptyReadMs(com, rounds), "ms");
    Report("serial: silent Exchange, 1000 ms budget", SilentExchangeMs(com, 1000), "ms");
    tcflush(pty.master(), TCIFLUSH);  // the silent exchange's command
    std::thread unit(AnswerStream, pty.master(), exchanges);
    char reply[16];
    int ok = 0;
    const uint32_t start = platform::TickCount();
    for (int i = 0; i < exchanges; ++i) ok += com.Exchange("<SY,BQ/>", reply, sizeof reply, 1000);
    const uint32_t spent = platform::TickCount() - start;
    unit.join();
    Report("serial: Exchange round trip", static_cast<double>(spent) / exchanges, "ms");
    std::printf("%-44s %6d/%d\n", "serial: exchanges answered", ok, exchanges);
  }

  uint16_t udpPort = 0;
  const int udpUnit = linktest::BoundSocket(SOCK_DGRAM, 0, &udpPort);
  EthernetTransport udp(linktest::Loopback(), udpPort);
  if (udpUnit >= 0 && udp.Open()) {
    Report("udp: empty Read", MeanEmptyReadMs(udp, rounds), "ms");
    Report("udp: silent Exchange, 1000 ms budget", SilentExchangeMs(udp, 1000), "ms");
  }
  if (udpUnit >= 0) close(udpUnit);

  uint16_t tcpPort = 0;
  const int listener = linktest::BoundSocket(SOCK_STREAM, 0, &tcpPort);
  EthernetTransportTCP tcp(linktest::Loopback(), tcpPort);
  if (listener >= 0 && tcp.Open()) {
    const int peer = accept(listener, nullptr, nullptr);
    Report("tcp: empty Read", MeanEmptyReadMs(tcp, 10), "ms");
    Report("tcp: silent Exchange, 1000 ms budget", SilentExchangeMs(tcp, 1000), "ms");
    char stale[256];
    while (recv(peer, stale, sizeof stale, MSG_DONTWAIT) > 0) {
    }
    std::thread unit(AnswerStream, peer, exchanges);
    char reply[16];
    int ok = 0;
    const uint32_t start = platform::TickCount();
    for (int i = 0; i < exchanges; ++i) ok += tcp.Exchange("<SY,BQ/>", reply, sizeof reply, 1000);
    const uint32_t spent = platform::TickCount() - start;
    unit.join();
    Report("tcp: Exchange round trip", static_cast<double>(spent) / exchanges, "ms");
    std::printf("%-44s %6d/%d\n", "tcp: exchanges answered", ok, exchanges);
    close(peer);
  }
  if (listener >= 0) close(listener);
  return 0;
}
