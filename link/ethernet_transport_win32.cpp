// The network links on Windows, over Winsock 2 (started once by the program
// at start-up).
#include <winsock2.h>
// After winsock2.h, which it builds on.
#include <mswsock.h>

#include "link/ethernet_transport.h"
#include "resources/resource.h"

namespace {

// Winsock takes the receive time-out as a DWORD of milliseconds.
bool SetReceiveTimeout(SOCKET s, DWORD milliseconds) {
  return setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&milliseconds), sizeof milliseconds) !=
         SOCKET_ERROR;
}

sockaddr_in Destination(uint32_t address, int port) {
  sockaddr_in destination{};
  destination.sin_family = AF_INET;
  destination.sin_port = htons(static_cast<u_short>(port));
  destination.sin_addr.s_addr = address;
  return destination;
}

int ReadSize(int capacity) { return capacity > 0xFFFF ? 0xFFFF : capacity > 0 ? capacity : 0; }

// Whether a receive would return at once: data waiting, or (on TCP) a
// closed connection. select with a zero time-out only looks.
bool HasBytesWaiting(SOCKET s) {
  if (s == INVALID_SOCKET) return false;
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(s, &readable);
  timeval now{0, 0};
  return select(0, &readable, nullptr, nullptr, &now) == 1;
}

// Whether a datagram waits. The socket's count of bytes received is a local
// question to the system, where a zero-time select is a whole wait set up
// and torn down (under Wine a round trip to its server); it comes before
// every command of a plain-mode update.
bool HasDatagramWaiting(SOCKET s) {
  u_long waiting = 0;
  return s != INVALID_SOCKET && ioctlsocket(s, FIONREAD, &waiting) == 0 && waiting > 0;
}

// Whether bytes arrive within the wait (select takes microseconds; how
// finely the system keeps to them depends on its timer).
bool WaitReadableUs(SOCKET s, uint32_t microseconds) {
  if (s == INVALID_SOCKET) return false;
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(s, &readable);
  timeval wait{static_cast<long>(microseconds / 1000000), static_cast<long>(microseconds % 1000000)};
  return select(0, &readable, nullptr, nullptr, &wait) == 1;
}

// Windows hands the "port unreachable" answer to an earlier send to the
// next receive on the socket as WSAECONNRESET, on a socket that is not
// connected too. It says nothing about the datagrams queued behind it, and
// taking it as an empty read would make a read that should wait return at
// once, or pass over a reply that is there. Open turns these reports off;
// where that is refused, a receive looks again past them, this many times.
constexpr int kResetsPassed = 8;

// Stops unreachable-port reports from reaching receives on the socket.
// Nothing depends on it succeeding: receives pass over the reports anyway.
void IgnoreUnreachablePorts(SOCKET s) {
  BOOL report = FALSE;
  DWORD returned = 0;
  WSAIoctl(s, SIO_UDP_CONNRESET, &report, sizeof report, nullptr, 0, &returned, nullptr, nullptr);
}

// One datagram, or 0 once the receive time-out has passed without one. With
// onlyWaiting, 0 at once when no datagram has arrived.
uint16_t ReceiveDatagram(SOCKET s, uint8_t* buffer, int capacity, bool onlyWaiting) {
  const int size = ReadSize(capacity);
  for (int attempt = 0; attempt <= kResetsPassed; ++attempt) {
    if (onlyWaiting && !HasDatagramWaiting(s)) return 0;
    const int n = recvfrom(s, reinterpret_cast<char*>(buffer), size, 0, nullptr, nullptr);
    if (n != SOCKET_ERROR) return n < 0 ? 0 : static_cast<uint16_t>(n);
    const int error = WSAGetLastError();
    if (error == WSAECONNRESET) continue;
    // A datagram longer than the buffer has still filled it: hand over what
    // was placed, as on every other system, rather than lose it. Anything
    // else, the receive time-out included, is an empty read.
    return error == WSAEMSGSIZE ? static_cast<uint16_t>(size) : 0;
  }
  return 0;
}

uint16_t ReceiveStream(SOCKET s, uint8_t* buffer, int capacity) {
  const int n = recv(s, reinterpret_cast<char*>(buffer), ReadSize(capacity), 0);
  if (n == SOCKET_ERROR) {
    WSAGetLastError();  // the receive time-out lands here too
    return 0;
  }
  return n < 0 ? 0 : static_cast<uint16_t>(n);
}

}  // namespace

// ------------------------------------------------------------------ UDP ----

int EthernetTransport::Open() {
  Close();  // a second Open makes a new socket; the old one must not leak
  socket_ = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (socket_ == INVALID_SOCKET) {
    ShowLinkSocketError(IDS_SOCKET_CREATION_FAILED);
    return 0;
  }
  if (!SetReceiveTimeout(socket_, 10)) {
    ShowLinkSocketError(IDS_RECEIVE_TIMEOUT_FAILED);
    return 0;
  }
  IgnoreUnreachablePorts(socket_);
  destination_ = Destination(address_, port_);
  return 1;
}

int EthernetTransport::Close() {
  if (socket_ != INVALID_SOCKET) closesocket(socket_);
  socket_ = INVALID_SOCKET;
  return 1;
}

int EthernetTransport::Write(const uint8_t* data, int length) {
  sendto(socket_, reinterpret_cast<const char*>(data), length > 0 ? length : 0, 0,
         reinterpret_cast<const sockaddr*>(&destination_), sizeof destination_);
  return 1;
}

uint16_t EthernetTransport::Read(uint8_t* buffer, int capacity) {
  if (buffer == nullptr) return 0;
  return ReceiveDatagram(socket_, buffer, capacity, false);
}

uint16_t EthernetTransport::ReadPending(uint8_t* buffer, int capacity) {
  if (buffer == nullptr) return 0;
  return ReceiveDatagram(socket_, buffer, capacity, true);
}

// A select shorter than the system's timer tick waits a whole tick or more
// (here, and under Wine a millisecond at least): a short watch looks at the
// socket's byte count instead, giving the processor away between looks, and
// only a long one sleeps in select.
constexpr uint32_t kShortestSelectUs = 2000;

uint16_t EthernetTransport::ReadWithin(uint8_t* buffer, int capacity, uint32_t waitUs) {
  if (buffer == nullptr) return 0;
  if (waitUs < kShortestSelectUs) return Transport::ReadWithin(buffer, capacity, waitUs);
  if (!WaitReadableUs(socket_, waitUs - kShortestSelectUs / 2))
    return Transport::ReadWithin(buffer, capacity, kShortestSelectUs / 2);
  return ReceiveDatagram(socket_, buffer, capacity, true);
}

// ------------------------------------------------------------------ TCP ----

int EthernetTransportTCP::Open() {
  Close();
  socket_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (socket_ == INVALID_SOCKET) {
    ShowLinkSocketError(IDS_SOCKET_CREATION_FAILED);
    return 0;
  }
  linger noLinger{};
  noLinger.l_onoff = 0;
  if (!SetReceiveTimeout(socket_, 100) ||
      setsockopt(socket_, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&noLinger), sizeof noLinger) ==
          SOCKET_ERROR) {
    ShowLinkSocketError(IDS_RECEIVE_TIMEOUT_FAILED);
    return 0;
  }
  destination_ = Destination(address_, port_);
  // Blocking, with the system's own connect time-out. A refused or
  // unreachable unit is silent: callers take it as a unit that does not answer.
  if (connect(socket_, reinterpret_cast<const sockaddr*>(&destination_), sizeof destination_) == SOCKET_ERROR) {
    WSAGetLastError();
    return 0;
  }
  return 1;
}

int EthernetTransportTCP::Close() {
  if (socket_ != INVALID_SOCKET) closesocket(socket_);
  socket_ = INVALID_SOCKET;
  return 1;
}

int EthernetTransportTCP::Write(const uint8_t* data, int length) {
  if (send(socket_, reinterpret_cast<const char*>(data), length > 0 ? length : 0, 0) == SOCKET_ERROR) {
    WSAGetLastError();
    return 0;
  }
  return 1;
}

uint16_t EthernetTransportTCP::Read(uint8_t* buffer, int capacity) {
  if (buffer == nullptr) return 0;
  return ReceiveStream(socket_, buffer, capacity);
}

uint16_t EthernetTransportTCP::ReadPending(uint8_t* buffer, int capacity) {
  if (buffer == nullptr || !HasBytesWaiting(socket_)) return 0;
  return ReceiveStream(socket_, buffer, capacity);
}
