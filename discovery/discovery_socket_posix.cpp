// The discovery socket on Linux (BSD sockets).
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>

#include "discovery/ip_discover.h"

namespace {
std::atomic<int> g_setupFault{UdpDiscoverySocket::kReady};
}  // namespace

void SetDiscoverySocketFaultForTesting(UdpDiscoverySocket::SetupResult step) { g_setupFault = step; }

UdpDiscoverySocket::~UdpDiscoverySocket() { Close(); }

UdpDiscoverySocket::SetupResult UdpDiscoverySocket::Open(uint32_t receiveTimeoutMs) {
  Close();
  const int fault = g_setupFault.load();
  const int s = fault == kSocketFailed ? -1 : ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
  if (s < 0) return kSocketFailed;
  socket_ = s;
  timeval timeout{};
  timeout.tv_sec = static_cast<time_t>(receiveTimeoutMs / 1000);
  timeout.tv_usec = static_cast<suseconds_t>(receiveTimeoutMs % 1000) * 1000;
  if (fault == kReceiveTimeoutFailed || ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) != 0)
    return kReceiveTimeoutFailed;
  const int on = 1;
  if (fault == kBroadcastFailed || ::setsockopt(s, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0)
    return kBroadcastFailed;
  return kReady;
}

void UdpDiscoverySocket::Close() {
  if (socket_ >= 0) ::close(static_cast<int>(socket_));
  socket_ = -1;
}

void UdpDiscoverySocket::SetReceiveBuffer(int bytes) {
  if (socket_ >= 0) ::setsockopt(static_cast<int>(socket_), SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
}

void UdpDiscoverySocket::SendTo(uint32_t address, uint16_t port, const uint8_t* data, size_t length) {
  if (socket_ < 0) return;
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = address;
  ::sendto(static_cast<int>(socket_), data, length, MSG_DONTROUTE, reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

int UdpDiscoverySocket::ReceiveFrom(uint8_t* buffer, size_t capacity, uint32_t* sender) {
  if (socket_ < 0) return -1;
  sockaddr_in from{};
  socklen_t fromLength = sizeof from;
  // Linux cuts a datagram that does not fit and says nothing unless asked:
  // MSG_TRUNC makes it tell the full length, and a datagram that did not fit
  // fails the receive the way Winsock's WSAEMSGSIZE does.
  const ssize_t received = ::recvfrom(static_cast<int>(socket_), buffer, capacity, MSG_TRUNC,
                                      reinterpret_cast<sockaddr*>(&from), &fromLength);
  if (received < 0 || static_cast<size_t>(received) > capacity) return -1;
  if (sender) *sender = from.sin_addr.s_addr;
  return static_cast<int>(received);
}
