// Serial discovery: every serial port of the table, first the bootloader's
// identity at 115200 bit/s, then the application's text interface at each
// probe rate.
#include <cstring>

#include "app/app_state.h"
#include "app/messages.h"
#include "boot/bootloader_session.h"
#include "control/text_commands.h"
#include "discovery/com_discover.h"
#include "discovery/discovery_workers.h"
#include "discovery/ip_discover.h"
#include "link/com_transport.h"

namespace {

constexpr char kBootloadLineEnd[] = " - Bootload";
constexpr size_t kBootloadLineEndLength = sizeof kBootloadLineEnd - 1;  // 11

// The end of the line that starts at `from`: the next CR, a zero byte (the
// identity is text), or the end of the bytes.
size_t LineEnd(const uint8_t* text, size_t from, size_t length) {
  size_t at = from;
  while (at < length && text[at] != '\r' && text[at] != '\0') ++at;
  return at;
}

// The start of the next line after the line end at `end`: past the CR and
// the byte after it (normally LF). False when the line did not end in a CR.
bool NextLine(const uint8_t* text, size_t end, size_t length, size_t* next) {
  if (end >= length || text[end] != '\r') return false;
  *next = end + 2 < length ? end + 2 : length;
  return true;
}

void Report(platform::WindowRef window, int index, bool bootload) {
  platform::PostWindowMessage(window, UWM_SERIAL_UNIT_FOUND, bootload ? 1 : 0,
                              static_cast<platform::MessageLParam>(index));
}

bool ProbeBootloader(platform::WindowRef window, int index, const wchar_t* port, size_t skip) {
  BootloaderSession session;
  session.SetTransport(new COMTransport(port, kBootloaderProbeRate));
  session.Open();  // a port that does not open makes the command fail
  bool found = false;
  if (session.SendCommand(ReadIdentity, nullptr, 0, kIdentityTries, kIdentityTimeoutMs)) {
    // The reply is the command byte, the text and two CRC bytes; a reply too
    // short to hold them holds no text.
    const int length = static_cast<int>(session.ReplyLength()) - 3;
    if (length > 0 && IdentityNamesBootloader(session.ReplyData() + 1, static_cast<size_t>(length), skip)) {
      found = true;
      Report(window, index, true);
    }
  }
  session.Close();
  return found;  // the session deletes the link as it goes
}

void ProbeTextInterface(platform::WindowRef window, int index, const wchar_t* port) {
  // Only the spaced reply form counts here: the compact one is not taken as
  // a unit, and the next rate is tried.
  ProbeSerialUnit(port, kTextProbeTimeoutMs, IsSpacedQueryReply, [window, index](Transport&, const char* reply) {
    Report(window, index, QueryReplyLetter(reply) == 'e');
  });
}

void ProbePort(platform::WindowRef window, int index, size_t skip) {
  // A copy, so that the probes see one name even if the table is rebuilt.
  wchar_t port[kSerialPortNameSize];
  std::memcpy(port, appState.SerialPortTable[index], sizeof port);
  port[kSerialPortNameSize - 1] = L'\0';
  if (!ProbeBootloader(window, index, port, skip)) ProbeTextInterface(window, index, port);
}

}  // namespace

bool IdentityNamesBootloader(const uint8_t* text, size_t length, size_t skip) {
  if (text == nullptr) return false;
  size_t line2 = 0, line3 = 0;
  if (!NextLine(text, LineEnd(text, 0, length), length, &line2)) return false;
  if (!NextLine(text, LineEnd(text, line2, length), length, &line3)) return false;
  const size_t end3 = LineEnd(text, line3, length);
  // A line shorter than the skipped part simply does not match.
  if (end3 - line3 < skip) return false;
  const size_t rest = line3 + skip;
  return end3 - rest == kBootloadLineEndLength &&
         std::memcmp(text + rest, kBootloadLineEnd, kBootloadLineEndLength) == 0;
}

size_t IdentityModelLength(const MatchString& match) { return match.length; }

unsigned TQ_THREAD_CALL com_discover_thread(void* argument) {
  platform::NameThread("com_discover_thread");
  const auto window = static_cast<platform::WindowRef>(argument);
  MatchString match;
  BuildMatchString(match);
  // Only the length of the match string is used here: the unit's own model
  // characters on the identity's third line are skipped, not compared.
  const size_t skip = IdentityModelLength(match);

  while (discoveryStopFlag.load() == 0) {
    int visited = 0;
    for (int i = 0; i < kSerialPortCount && discoveryStopFlag.load() == 0 && appState.SerialPortTable[i][0] != L'\0';
         ++i) {
      ++visited;
      ProbePort(window, i, skip);
    }
    if (visited == 0) platform::SleepMs(kEmptyPassPauseMs);
  }
  return 0;
}
