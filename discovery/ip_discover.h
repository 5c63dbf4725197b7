// The pieces of network discovery that do not touch a socket: the match
// string, the classification of a sender, the parsing of an answer and the
// search cycles themselves, written against a small socket interface so that
// they can be driven without a network.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/platform.h"

constexpr uint16_t kDiscoveryPort = 30303;
constexpr char kDiscoveryRequest[] = "Discovery: Who is out there ?";
constexpr size_t kDiscoveryRequestLength = sizeof kDiscoveryRequest - 1;  // 29
constexpr size_t kDiscoveryBufferSize = 256;
constexpr int kReceiveAttemptsPerCycle = 10;
constexpr uint32_t kDiscoveryReceiveTimeoutMs = 1000;
constexpr uint32_t kDiscoveryPauseMs = 1000;

// "Varno " and the unit's "announce-model" property, in wide text and in the
// 8-bit form that travels on the wire.
struct MatchString {
  static constexpr size_t kSize = 256;
  wchar_t wide[kSize] = {};
  char narrow[kSize] = {};
  size_t length = 0;        // characters of the wide text
  size_t narrowLength = 0;  // bytes of the 8-bit text, the ones compared
  // False when the text has no 8-bit form under the current locale: no
  // answer can carry it then, so nothing matches.
  bool usable = false;
};
// Builds the match string for `model` (null counts as empty).
void BuildMatchString(MatchString& match, const wchar_t* model);
// Builds it from the unit properties of the package.
void BuildMatchString(MatchString& match);

// An address from its four octets, in network byte order.
uint32_t Ipv4(uint8_t a, uint8_t b, uint8_t c, uint8_t d);
bool IsLoopbackRow(const platform::InterfaceAddress& row);
uint32_t DirectedBroadcast(const platform::InterfaceAddress& row);
// 169.254.0.2 to 169.254.255.253: the two ends of the range are not marks of
// a self-assigned address.
bool IsLinkLocal(uint32_t address);
// The report flags of a sender: kUnitOtherSubnet unless a row of the table
// (loopback row aside) holds it, kUnitLinkLocal for a link-local address.
uint32_t ClassifySender(uint32_t sender, const std::vector<platform::InterfaceAddress>& table);

// Parses one answer of `length` bytes. True when its third line begins with
// the match string; *bootload then tells whether " - Bootload" CR LF follows.
bool ParseDiscoveryAnswer(const uint8_t* answer, size_t length, const MatchString& match, bool* bootload);
// The unit's hardware address from the second line of an answer, as six
// upper-case hexadecimal pairs joined by '-' ("02-54-51-35-42-0A"); empty
// when that line does not hold exactly six pairs (joined by '-' or ':').
std::string DiscoveryAnswerMac(const uint8_t* answer, size_t length);

// What the search cycles need from a socket.
class DiscoverySocket {
 public:
  virtual ~DiscoverySocket() = default;
  // Sends one datagram; failures are not reported, the cycles ignore them.
  virtual void SendTo(uint32_t address, uint16_t port, const uint8_t* data, size_t length) = 0;
  // Receives one datagram with its sender (network byte order). The length,
  // 0 included; -1 for a failed receive: the time-out, any error, or a
  // datagram longer than the buffer.
  virtual int ReceiveFrom(uint8_t* buffer, size_t capacity, uint32_t* sender) = 0;
};

// The UDP socket of the platform, set up as discovery needs it.
class UdpDiscoverySocket : public DiscoverySocket {
 public:
  enum SetupResult { kReady, kSocketFailed, kReceiveTimeoutFailed, kBroadcastFailed };

  UdpDiscoverySocket() = default;
  ~UdpDiscoverySocket() override;
  UdpDiscoverySocket(const UdpDiscoverySocket&) = delete;
  UdpDiscoverySocket& operator=(const UdpDiscoverySocket&) = delete;

  // Creates the socket with the receive time-out and broadcasts allowed.
  SetupResult Open(uint32_t receiveTimeoutMs);
  // Asks the system to hold this many bytes of answers waiting to be read;
  // it may give less.
  void SetReceiveBuffer(int bytes);
  void Close();
  void SendTo(uint32_t address, uint16_t port, const uint8_t* data, size_t length) override;
  int ReceiveFrom(uint8_t* buffer, size_t capacity, uint32_t* sender) override;

 private:
  intptr_t socket_ = -1;  // a SOCKET on Windows, a descriptor on Linux
};

// Makes the next Open calls fail at the given setup step (kReady: no fault),
// so that the worker's error paths can be seen.
void SetDiscoverySocketFaultForTesting(UdpDiscoverySocket::SetupResult step);

// Runs search cycles until the stop flag is set: requests to every directed
// broadcast address of the table, up to ten answers, a pause.
void RunSearchCycles(DiscoverySocket& socket, const std::vector<platform::InterfaceAddress>& table,
                     const MatchString& match, platform::WindowRef window, const std::atomic<int>& stop,
                     uint32_t pauseMs = kDiscoveryPauseMs);

// ---- the complete search of the command-line tool ----

// A unit found by a complete search.
struct NetworkAnswer {
  uint32_t address = 0;  // network byte order
  uint32_t flags = 0;    // kUnitInBootload, kUnitOtherSubnet, kUnitLinkLocal
  std::string mac;       // empty when the answer did not tell it
};

struct CompleteSearchLimits {
  uint32_t leastMs = 6000;  // search at least this long
  uint32_t capMs = 18000;   // and never longer than this
  uint32_t pauseMs = kDiscoveryPauseMs;
};

struct CompleteSearchResult {
  std::vector<NetworkAnswer> units;  // in the order they were first heard
  bool cut = false;                  // the cap ended a search whose last cycle still found units
};

// A search that must find every unit that answers, where the Discover
// dialog only needs to show some of them soon: every answer waiting is read
// in each cycle, not ten, while the requests stay at one per interface per
// cycle; it goes on for at least leastMs and then until a cycle brings no
// unit not heard before, within capMs. Each unit is reported once, by
// address, to `found` as it is first heard. Stops early when `stop` is set.
CompleteSearchResult RunCompleteSearch(DiscoverySocket& socket, const std::vector<platform::InterfaceAddress>& table,
                                       const MatchString& match, const CompleteSearchLimits& limits,
                                       const std::function<void(const NetworkAnswer&)>& found,
                                       const std::atomic<int>* stop = nullptr);
// The same on a socket of its own over the computer's networks. Socket
// set-up errors are shown as message boxes, as the Discover dialog's are;
// false then.
bool SearchNetworksCompletely(const CompleteSearchLimits& limits,
                              const std::function<void(const NetworkAnswer&)>& found, CompleteSearchResult* result,
                              const std::atomic<int>* stop = nullptr);
