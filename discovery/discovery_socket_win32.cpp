// The discovery socket on Windows (Winsock 2; the program calls WSAStartup
// at start-up).
#include <winsock2.h>
#include <ws2tcpip.h>

#include <atomic>

#include "discovery/ip_discover.h"

namespace {
std::atomic<int> g_setupFault{UdpDiscoverySocket::kReady};

SOCKET AsSocket(intptr_t value) { return static_cast<SOCKET>(value); }
}  // namespace

void SetDiscoverySocketFaultForTesting(UdpDiscoverySocket::SetupResult step) { g_setupFault = step; }

UdpDiscoverySocket::~UdpDiscoverySocket() { Close(); }

UdpDiscoverySocket::SetupResult UdpDiscoverySocket::Open(uint32_t receiveTimeoutMs) {
  Close();
  const int fault = g_setupFault.load();
  const SOCKET s = fault == kSocketFailed ? INVALID_SOCKET : ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (s == INVALID_SOCKET) return kSocketFailed;
  socket_ = static_cast<intptr_t>(s);
  const DWORD timeout = receiveTimeoutMs;  // Winsock takes milliseconds
  if (fault == kReceiveTimeoutFailed ||
      ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout) != 0)
    return kReceiveTimeoutFailed;
  const BOOL on = TRUE;
  if (fault == kBroadcastFailed ||
      ::setsockopt(s, SOL_SOCKET, SO_BROADCAST, reinterpret_cast<const char*>(&on), sizeof on) != 0)
    return kBroadcastFailed;
  return kReady;
}

void UdpDiscoverySocket::Close() {
  if (socket_ != -1) ::closesocket(AsSocket(socket_));
  socket_ = -1;
}

void UdpDiscoverySocket::SetReceiveBuffer(int bytes) {
  if (socket_ != -1)
    ::setsockopt(AsSocket(socket_), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&bytes), sizeof bytes);
}

void UdpDiscoverySocket::SendTo(uint32_t address, uint16_t port, const uint8_t* data, size_t length) {
  if (socket_ == -1) return;
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = address;
  ::sendto(AsSocket(socket_), reinterpret_cast<const char*>(data), static_cast<int>(length), MSG_DONTROUTE,
           reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

int UdpDiscoverySocket::ReceiveFrom(uint8_t* buffer, size_t capacity, uint32_t* sender) {
  if (socket_ == -1) return -1;
  sockaddr_in from{};
  int fromLength = sizeof from;
  // An answer longer than the buffer fails with WSAEMSGSIZE, like the
  // time-out.
  const int received = ::recvfrom(AsSocket(socket_), reinterpret_cast<char*>(buffer), static_cast<int>(capacity), 0,
                                  reinterpret_cast<sockaddr*>(&from), &fromLength);
  if (received == SOCKET_ERROR || received < 0) return -1;
  if (sender) *sender = from.sin_addr.s_addr;
  return received;
}
