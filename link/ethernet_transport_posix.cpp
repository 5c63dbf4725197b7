// The network links on Linux, over BSD sockets.
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "link/ethernet_transport.h"
#include "resources/resource.h"

namespace {

constexpr int kUdpReadMs = 10;
constexpr int kTcpReadMs = 100;

bool SetReceiveTimeout(int fd, int milliseconds) {
  timeval timeout{};
  timeout.tv_sec = milliseconds / 1000;
  timeout.tv_usec = (milliseconds % 1000) * 1000;
  return setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) == 0;
}

sockaddr_in Destination(uint32_t address, int port) {
  sockaddr_in destination{};
  destination.sin_family = AF_INET;
  destination.sin_port = htons(static_cast<uint16_t>(port));
  destination.sin_addr.s_addr = address;
  return destination;
}

// The receive time-out option counts in scheduler ticks here and comes back
// late by several milliseconds; poll keeps the wait close to the time asked
// for. The option stays set all the same, as the bound of last resort.
bool WaitReadable(int fd, int milliseconds) {
  pollfd ready{fd, POLLIN, 0};
  return poll(&ready, 1, milliseconds) > 0;
}

// The same to the microsecond, for waits shorter than a millisecond.
bool WaitReadableUs(int fd, uint32_t microseconds) {
  const timespec timeout{static_cast<time_t>(microseconds / 1000000), static_cast<long>(microseconds % 1000000) * 1000};
  pollfd ready{fd, POLLIN, 0};
  return ppoll(&ready, 1, &timeout, nullptr) > 0;
}

size_t ReadSize(int capacity) { return capacity > 0xFFFF ? 0xFFFF : capacity > 0 ? static_cast<size_t>(capacity) : 0; }

}  // namespace

// ------------------------------------------------------------------ UDP ----

int EthernetTransport::Open() {
  Close();  // a second Open makes a new socket; the old one must not leak
  socket_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
  if (socket_ < 0) {
    socket_ = kNoLinkSocket;
    ShowLinkSocketError(IDS_SOCKET_CREATION_FAILED);
    return 0;
  }
  if (!SetReceiveTimeout(socket_, kUdpReadMs)) {
    ShowLinkSocketError(IDS_RECEIVE_TIMEOUT_FAILED);
    return 0;
  }
  destination_ = Destination(address_, port_);
  return 1;
}

int EthernetTransport::Close() {
  if (socket_ != kNoLinkSocket) close(socket_);
  socket_ = kNoLinkSocket;
  return 1;
}

int EthernetTransport::Write(const uint8_t* data, int length) {
  if (socket_ != kNoLinkSocket)
    sendto(socket_, data, length > 0 ? static_cast<size_t>(length) : 0, MSG_NOSIGNAL,
           reinterpret_cast<const sockaddr*>(&destination_), sizeof destination_);
  return 1;
}

uint16_t EthernetTransport::Read(uint8_t* buffer, int capacity) {
  if (socket_ == kNoLinkSocket || buffer == nullptr) return 0;
  if (!WaitReadable(socket_, kUdpReadMs)) return 0;
  return ReadPending(buffer, capacity);
}

uint16_t EthernetTransport::ReadPending(uint8_t* buffer, int capacity) {
  if (socket_ == kNoLinkSocket || buffer == nullptr) return 0;
  // A datagram longer than the buffer is cut to it; the count is what was
  // placed, never more.
  const ssize_t n = recvfrom(socket_, buffer, ReadSize(capacity), MSG_DONTWAIT, nullptr, nullptr);
  return n > 0 ? static_cast<uint16_t>(n) : 0;
}

uint16_t EthernetTransport::ReadWithin(uint8_t* buffer, int capacity, uint32_t waitUs) {
  if (socket_ == kNoLinkSocket || buffer == nullptr) return 0;
  if (!WaitReadableUs(socket_, waitUs)) return 0;
  return ReadPending(buffer, capacity);
}

// ------------------------------------------------------------------ TCP ----

int EthernetTransportTCP::Open() {
  Close();
  socket_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (socket_ < 0) {
    socket_ = kNoLinkSocket;
    ShowLinkSocketError(IDS_SOCKET_CREATION_FAILED);
    return 0;
  }
  linger noLinger{};
  noLinger.l_onoff = 0;
  if (!SetReceiveTimeout(socket_, kTcpReadMs) ||
      setsockopt(socket_, SOL_SOCKET, SO_LINGER, &noLinger, sizeof noLinger) != 0) {
    ShowLinkSocketError(IDS_RECEIVE_TIMEOUT_FAILED);
    return 0;
  }
  destination_ = Destination(address_, port_);
  // Blocking, with the system's own connect time-out. A refused or
  // unreachable unit is silent: callers take it as a unit that does not answer.
  if (connect(socket_, reinterpret_cast<const sockaddr*>(&destination_), sizeof destination_) != 0) return 0;
  return 1;
}

int EthernetTransportTCP::Close() {
  if (socket_ != kNoLinkSocket) close(socket_);
  socket_ = kNoLinkSocket;
  return 1;
}

int EthernetTransportTCP::Write(const uint8_t* data, int length) {
  // A unit that has gone away must give a failed write, not end the program
  // with SIGPIPE.
  const ssize_t n = send(socket_, data, length > 0 ? static_cast<size_t>(length) : 0, MSG_NOSIGNAL);
  return n < 0 ? 0 : 1;
}

uint16_t EthernetTransportTCP::Read(uint8_t* buffer, int capacity) {
  if (socket_ == kNoLinkSocket || buffer == nullptr) return 0;
  // The receive time-out is an ordinary empty read. A closed connection is
  // readable at once, and recv then gives 0.
  if (!WaitReadable(socket_, kTcpReadMs)) return 0;
  return ReadPending(buffer, capacity);
}

uint16_t EthernetTransportTCP::ReadPending(uint8_t* buffer, int capacity) {
  if (socket_ == kNoLinkSocket || buffer == nullptr) return 0;
  const ssize_t n = recv(socket_, buffer, ReadSize(capacity), MSG_DONTWAIT);
  return n > 0 ? static_cast<uint16_t>(n) : 0;
}
