// Network discovery: a request broadcast on every local network, the
// answers of the units, and the reports to the Discover dialog.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "app/app_state.h"
#include "app/messages.h"
#include "discovery/discovery_workers.h"
#include "discovery/ip_discover.h"
#include "package/properties_container.h"
#include "resources/resource.h"

namespace {

constexpr wchar_t kMakerPrefix[] = L"Varno ";
constexpr char kBootloadSuffix[] = " - Bootload\r\n";
constexpr size_t kBootloadSuffixLength = sizeof kBootloadSuffix - 1;  // 13

uint8_t Octet(uint32_t address, int index) {
  uint8_t bytes[4];
  std::memcpy(bytes, &address, sizeof bytes);
  return bytes[index];
}

bool RowHolds(const platform::InterfaceAddress& row, uint32_t address) {
  return (address & row.mask) == (row.address & row.mask);
}

// Every row gets one request; the loopback row is never searched.
void SendPhase(DiscoverySocket& socket, const std::vector<platform::InterfaceAddress>& table) {
  for (const platform::InterfaceAddress& row : table) {
    if (IsLoopbackRow(row)) continue;
    socket.SendTo(DirectedBroadcast(row), kDiscoveryPort, reinterpret_cast<const uint8_t*>(kDiscoveryRequest),
                  kDiscoveryRequestLength);
  }
}

void ReportAnswer(const uint8_t* answer, size_t length, uint32_t sender,
                  const std::vector<platform::InterfaceAddress>& table, const MatchString& match,
                  platform::WindowRef window) {
  bool bootload = false;
  if (!ParseDiscoveryAnswer(answer, length, match, &bootload)) return;
  uint32_t flags = ClassifySender(sender, table);
  if (bootload) flags |= kUnitInBootload;
  platform::PostWindowMessage(window, UWM_NETWORK_UNIT_FOUND, flags, static_cast<platform::MessageLParam>(sender));
}

// Ends at the first failed receive: the time-out when nobody answers, or an
// answer that did not fit. Answers still queued wait for the next cycle.
void ReceivePhase(DiscoverySocket& socket, const std::vector<platform::InterfaceAddress>& table,
                  const MatchString& match, platform::WindowRef window, const std::atomic<int>& stop) {
  uint8_t buffer[kDiscoveryBufferSize];
  bool failed = false;
  for (int attempt = 0; attempt < kReceiveAttemptsPerCycle; ++attempt) {
    if (stop.load() != 0 || failed) break;
    uint32_t sender = 0;
    const int received = socket.ReceiveFrom(buffer, sizeof buffer, &sender);
    if (received < 0) {
      failed = true;
    } else if (received > 0) {
      ReportAnswer(buffer, static_cast<size_t>(received), sender, table, match, window);
    }
  }
}

void ShowSocketError(unsigned textId) {
  platform::ShowMessageBox(nullptr, UiText(textId), UiText(IDS_SOCKET_ERROR), MB_ICONERROR);
}

// Opens the socket as both searches need it, or says why not.
bool OpenSearchSocket(UdpDiscoverySocket& socket) {
  switch (socket.Open(kDiscoveryReceiveTimeoutMs)) {
    case UdpDiscoverySocket::kReady:
      return true;
    case UdpDiscoverySocket::kSocketFailed:
      ShowSocketError(IDS_SOCKET_CREATION_FAILED);
      return false;
    case UdpDiscoverySocket::kReceiveTimeoutFailed:
      ShowSocketError(IDS_RECEIVE_TIMEOUT_FAILED);
      return false;
    case UdpDiscoverySocket::kBroadcastFailed:
      ShowSocketError(IDS_BROADCAST_FAILED);
      return false;
  }
  return false;
}

bool IsHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f'); }

}  // namespace

void BuildMatchString(MatchString& match, const wchar_t* model) {
  match = MatchString();
  size_t n = 0;
  for (const wchar_t* p = kMakerPrefix; *p != L'\0' && n < MatchString::kSize - 1; ++p) match.wide[n++] = *p;
  for (const wchar_t* p = model ? model : L""; *p != L'\0' && n < MatchString::kSize - 1; ++p) match.wide[n++] = *p;
  match.wide[n] = L'\0';
  match.length = n;
  // The wire text is 8-bit: convert under the locale set at start-up. A
  // text that does not convert, or does not fit, cannot appear on the wire.
  const size_t bytes = std::wcstombs(match.narrow, match.wide, sizeof match.narrow);
  if (bytes == static_cast<size_t>(-1) || bytes >= sizeof match.narrow) {
    match.narrow[0] = '\0';
    return;
  }
  match.narrowLength = bytes;
  match.usable = true;
}

void BuildMatchString(MatchString& match) { BuildMatchString(match, unitProperties.Get(L"announce-model")); }

uint32_t Ipv4(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
  const uint8_t bytes[4] = {a, b, c, d};
  uint32_t address;
  std::memcpy(&address, bytes, sizeof address);
  return address;
}

bool IsLoopbackRow(const platform::InterfaceAddress& row) { return row.address == Ipv4(127, 0, 0, 1); }

uint32_t DirectedBroadcast(const platform::InterfaceAddress& row) { return (row.address & row.mask) | ~row.mask; }

bool IsLinkLocal(uint32_t address) {
  if (Octet(address, 0) != 169 || Octet(address, 1) != 254) return false;
  const unsigned host = Octet(address, 2) * 256u + Octet(address, 3);
  return host > 1 && host < 0xFFFE;
}

uint32_t ClassifySender(uint32_t sender, const std::vector<platform::InterfaceAddress>& table) {
  uint32_t flags = kUnitOtherSubnet;
  for (const platform::InterfaceAddress& row : table) {
    if (IsLoopbackRow(row)) continue;
    if (RowHolds(row, sender)) {
      flags &= ~kUnitOtherSubnet;
      break;
    }
  }
  if (IsLinkLocal(sender)) flags |= kUnitLinkLocal;
  return flags;
}

bool ParseDiscoveryAnswer(const uint8_t* answer, size_t length, const MatchString& match, bool* bootload) {
  if (bootload) *bootload = false;
  if (answer == nullptr || !match.usable) return false;
  // The first two lines (host name and hardware address on a real unit) are
  // skipped unread; only CR LF pairs count as line ends.
  size_t at = 0;
  int line = 1;
  while (line < 3 && at < length) {
    if (answer[at] == '\r' && at + 1 < length && answer[at + 1] == '\n') {
      ++line;
      at += 2;
    } else {
      ++at;
    }
  }
  if (line < 3) return false;
  const size_t n = match.narrowLength;
  if (length - at < n || std::memcmp(answer + at, match.narrow, n) != 0) return false;
  at += n;
  if (bootload)
    *bootload = length - at >= kBootloadSuffixLength &&
                std::memcmp(answer + at, kBootloadSuffix, kBootloadSuffixLength) == 0;
  return true;
}

void RunSearchCycles(DiscoverySocket& socket, const std::vector<platform::InterfaceAddress>& table,
                     const MatchString& match, platform::WindowRef window, const std::atomic<int>& stop,
                     uint32_t pauseMs) {
  while (stop.load() == 0) {
    SendPhase(socket, table);
    ReceivePhase(socket, table, match, window, stop);
    if (stop.load() == 0) platform::SleepMs(pauseMs);
  }
}

unsigned TQ_THREAD_CALL ip_discover_thread(void* window) {
  platform::NameThread("ip_discover_thread");
  MatchString match;
  BuildMatchString(match);

  UdpDiscoverySocket socket;
  if (!OpenSearchSocket(socket)) return 0;

  // Read once: addresses that change while the dialog searches are seen at
  // its next opening.
  std::vector<platform::InterfaceAddress> table;
  if (platform::ReadInterfaceTable(table))
    RunSearchCycles(socket, table, match, static_cast<platform::WindowRef>(window), discoveryStopFlag);
  socket.Close();
  return 0;
}

bool IsUnitAddress(uint32_t address) {
  if (address == Ipv4(127, 0, 0, 1)) return false;
  std::vector<platform::InterfaceAddress> table;
  if (!platform::ReadInterfaceTable(table)) return true;  // nothing to compare with
  for (const platform::InterfaceAddress& row : table) {
    if (IsLoopbackRow(row)) continue;
    if (address == DirectedBroadcast(row)) return false;
  }
  return true;
}

std::string DiscoveryAnswerMac(const uint8_t* answer, size_t length) {
  if (answer == nullptr) return std::string();
  const char* text = reinterpret_cast<const char*>(answer);
  size_t at = 0;
  while (at + 1 < length && !(text[at] == '\r' && text[at + 1] == '\n')) ++at;
  if (at + 1 >= length) return std::string();
  const size_t begin = at + 2;
  size_t end = begin;
  while (end + 1 < length && !(text[end] == '\r' && text[end + 1] == '\n')) ++end;
  if (end + 1 >= length) return std::string();
  // Six pairs and five separators, nothing else on the line.
  if (end - begin != 17) return std::string();
  std::string mac;
  for (size_t i = 0; i < 17; ++i) {
    const char c = text[begin + i];
    if (i % 3 == 2) {
      if (c != '-' && c != ':') return std::string();
      mac += '-';
    } else {
      if (!IsHexDigit(c)) return std::string();
      mac += static_cast<char>(c >= 'a' && c <= 'f' ? c - 'a' + 'A' : c);
    }
  }
  return mac;
}

CompleteSearchResult RunCompleteSearch(DiscoverySocket& socket, const std::vector<platform::InterfaceAddress>& table,
                                       const MatchString& match, const CompleteSearchLimits& limits,
                                       const std::function<void(const NetworkAnswer&)>& found,
                                       const std::atomic<int>* stop) {
  CompleteSearchResult result;
  auto stopped = [stop] { return stop != nullptr && stop->load() != 0; };
  const uint32_t start = platform::TickCount();
  uint8_t buffer[kDiscoveryBufferSize];
  bool stillFinding = false;  // the last whole cycle brought a new unit
  for (;;) {
    SendPhase(socket, table);
    // Every answer waiting, up to the first receive that fails: the time-out
    // once the units have all answered, or an answer too long to be one.
    size_t newUnits = 0;
    while (!stopped() && platform::TickCount() - start < limits.capMs) {
      uint32_t sender = 0;
      const int received = socket.ReceiveFrom(buffer, sizeof buffer, &sender);
      if (received < 0) break;
      bool bootload = false;
      if (!ParseDiscoveryAnswer(buffer, static_cast<size_t>(received), match, &bootload)) continue;
      bool known = false;
      for (const NetworkAnswer& unit : result.units) known = known || unit.address == sender;
      if (known) continue;
      NetworkAnswer unit;
      unit.address = sender;
      unit.flags = ClassifySender(sender, table) | (bootload ? kUnitInBootload : 0);
      unit.mac = DiscoveryAnswerMac(buffer, static_cast<size_t>(received));
      result.units.push_back(unit);
      ++newUnits;
      if (found) found(unit);
    }
    const uint32_t elapsed = platform::TickCount() - start;
    if (stopped()) break;
    if (elapsed >= limits.capMs) {
      result.cut = stillFinding || newUnits != 0;
      break;
    }
    if (elapsed >= limits.leastMs && newUnits == 0) break;
    stillFinding = newUnits != 0;
    platform::SleepMs(std::min(limits.pauseMs, limits.capMs - elapsed));
  }
  return result;
}

bool SearchNetworksCompletely(const CompleteSearchLimits& limits,
                              const std::function<void(const NetworkAnswer&)>& found, CompleteSearchResult* result,
                              const std::atomic<int>* stop) {
  MatchString match;
  BuildMatchString(match);
  UdpDiscoverySocket socket;
  if (!OpenSearchSocket(socket)) return false;
  // A venue's units all answer each request at once: room for a few hundred
  // answers, where the system's default holds a few dozen on some systems.
  socket.SetReceiveBuffer(1 << 20);
  std::vector<platform::InterfaceAddress> table;
  if (platform::ReadInterfaceTable(table)) *result = RunCompleteSearch(socket, table, match, limits, found, stop);
  return true;
}
