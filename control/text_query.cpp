// Recognising query replies, and asking a unit over a serial port or its
// TCP text port whether it is there.
#include <cstring>
#include <memory>

#include "control/text_commands.h"
#include "link/com_transport.h"
#include "link/ethernet_transport.h"

const int ProbeBaudRates[7] = {4800, 9600, 19200, 38400, 57600, 115200, 0};

namespace {

constexpr char kSpacedPrefix[] = "<sy,bq = ";
constexpr char kCompactPrefix[] = "<sy,bq=";
constexpr size_t kSpacedLength = sizeof kSpacedPrefix - 1;    // 9
constexpr size_t kCompactLength = sizeof kCompactPrefix - 1;  // 7

bool StartsWith(const char* text, const char* prefix, size_t length) {
  return text != nullptr && std::strncmp(text, prefix, length) == 0;
}

}  // namespace

bool IsSpacedQueryReply(const char* reply) { return StartsWith(reply, kSpacedPrefix, kSpacedLength); }

bool IsQueryReply(const char* reply) {
  return IsSpacedQueryReply(reply) || StartsWith(reply, kCompactPrefix, kCompactLength);
}

char QueryReplyLetter(const char* reply) {
  // The value follows the prefix: its first letter, then the one that
  // matters. A reply cut short ("<sy,bq=u") has no such letter, and reading
  // a fixed offset past its end would look at whatever the buffer held.
  size_t at;
  if (IsSpacedQueryReply(reply))
    at = kSpacedLength + 1;  // byte 10
  else if (StartsWith(reply, kCompactPrefix, kCompactLength))
    at = kCompactLength + 1;  // byte 8
  else
    return '\0';
  return std::strlen(reply) > at ? reply[at] : '\0';
}

int ProbeSerialUnit(const wchar_t* portName, unsigned timeoutMs, QueryReplyTest test, const ProbeAnswered& answered) {
  for (const int* rate = ProbeBaudRates; *rate != 0; ++rate) {
    // A fresh link for every rate: each Open applies its line settings anew,
    // and the port is held by at most one link at a time.
    std::unique_ptr<COMTransport> link(new COMTransport(portName, *rate));
    if (!link->Open()) continue;
    char reply[kQueryReplySize];
    const bool heard = link->Exchange(kQueryCommand, reply, sizeof reply, timeoutMs) != 0 &&
                       (test ? test : IsQueryReply)(reply);
    if (heard && answered) answered(*link, reply);
    link->Close();
    if (heard) return *rate;
  }
  return 0;
}

bool QueryNetworkUnit(uint32_t address, unsigned port, unsigned timeoutMs, const ProbeAnswered& answered) {
  std::unique_ptr<EthernetTransportTCP> link(new EthernetTransportTCP(address, static_cast<int>(port)));
  if (!link->Open()) return false;  // refused or unreachable: a unit that does not answer
  char reply[kQueryReplySize];
  const bool heard = link->Exchange(kQueryCommand, reply, sizeof reply, timeoutMs) != 0 && IsQueryReply(reply);
  if (heard && answered) answered(*link, reply);
  link->Close();
  return heard;
}
