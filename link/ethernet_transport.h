// The network links: UDP datagrams to a unit's bootloader port, and a TCP
// connection to its text command port.
#pragma once

#include <cstdint>

#include "link/transport.h"

#ifdef _WIN32
#include <winsock2.h>
using LinkSocket = SOCKET;
constexpr LinkSocket kNoLinkSocket = INVALID_SOCKET;
#else
#include <netinet/in.h>
using LinkSocket = int;
constexpr LinkSocket kNoLinkSocket = -1;
#endif

constexpr uint16_t kBootloaderUdpPort = 6234;
constexpr uint16_t kDefaultParserPort = 4999;

// Bootloader link. Never binds: the system picks the local port at the first
// send, and replies from any sender are taken.
class EthernetTransport : public Transport {
 public:
  // address: IPv4, network byte order. The port is the unit's bootloader
  // port; only tests talk to another one.
  explicit EthernetTransport(uint32_t address, uint16_t port = kBootloaderUdpPort);
  ~EthernetTransport() override;
  EthernetTransport(const EthernetTransport&) = delete;
  EthernetTransport& operator=(const EthernetTransport&) = delete;

  int Open() override;
  int IsOpen() override;
  int Close() override;
  // One datagram; always 1.
  int Write(const uint8_t* data, int length) override;
  // One datagram, or 0 after about 10 ms without one.
  uint16_t Read(uint8_t* buffer, int capacity) override;
  const wchar_t* Kind() override;
  // One datagram that has already arrived, or 0 at once.
  uint16_t ReadPending(uint8_t* buffer, int capacity) override;
  // One datagram as soon as it arrives, or 0 after `waitUs` microseconds.
  uint16_t ReadWithin(uint8_t* buffer, int capacity, uint32_t waitUs) override;
  // The unit address, network byte order.
  virtual uint32_t Address();

 private:
  LinkSocket socket_ = kNoLinkSocket;
  sockaddr_in destination_{};
  uint32_t address_;
  uint16_t port_;
};

// Text command link.
class EthernetTransportTCP : public Transport {
 public:
  // address: IPv4, network byte order; port in host order, 0 meaning 4999.
  EthernetTransportTCP(uint32_t address, int port);
  ~EthernetTransportTCP() override;
  EthernetTransportTCP(const EthernetTransportTCP&) = delete;
  EthernetTransportTCP& operator=(const EthernetTransportTCP&) = delete;

  // Connects, waiting as long as the system lets a connect wait.
  int Open() override;
  int IsOpen() override;
  int Close() override;
  // 0 on a socket error, else 1 (also when fewer bytes were taken).
  int Write(const uint8_t* data, int length) override;
  // Bytes received, or 0 after about 100 ms without any, on an error, or at
  // once when the unit has closed the connection.
  uint16_t Read(uint8_t* buffer, int capacity) override;
  const wchar_t* Kind() override;
  // The bytes that have already arrived, or 0 at once.
  uint16_t ReadPending(uint8_t* buffer, int capacity) override;
  virtual uint32_t Address();
  int Port() const { return port_; }

 private:
  uint32_t address_;
  int port_;
  LinkSocket socket_ = kNoLinkSocket;
  sockaddr_in destination_{};
};

// Both kinds tell the user about socket set-up failures the same way.
void ShowLinkSocketError(unsigned textId);
