// The Windows build's frame engine (run under Wine by run_win_boot_test.sh)
// against native simulated units: one that answers, one that has fallen
// silent and one behind a line that loses and corrupts frames. Each unit is
// reached over Winsock UDP on loopback and over a COM port that leads to its
// pseudo-terminal. Each unit writes every frame that reaches it, exactly as
// it came off the line, to a log that this program reads back: the checks
// look at the bytes that really went out, not at what the engine believes
// it sent.
//
//   win_boot_test.exe NAME UDP_PORT COM LOG [NAME UDP_PORT COM LOG ...]
//
// NAME is answering, silent or lossy; COM a port such as \\.\COM5; LOG the
// unit's frame log as a Windows path. Prints "N passed, N failed" and exits
// 0 when nothing failed, 2 on bad usage.
#include <winsock2.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "boot/bootloader_session.h"
#include "link/com_transport.h"
#include "link/ethernet_transport.h"

namespace {

int passed = 0, failed = 0;

void Check(bool ok, const std::string& what) {
  if (ok) {
    ++passed;
  } else {
    ++failed;
    std::printf("FAILED: %s\n", what.c_str());
  }
}

// One unit as the script started it.
struct Unit {
  std::string name;
  int udpPort = 0;
  std::wstring com;
  std::string log;
};

// One way of reaching a unit: the link and the channel name its log uses.
struct Line {
  const char* name;     // "udp" or "com", for the messages
  const char* channel;  // "udp" or "serial", as the log writes it
};
constexpr Line kUdp{"udp", "udp"};
constexpr Line kCom{"com", "serial"};

// The frames the unit logged for one channel, as "01 10 01 ..." texts.
std::vector<std::string> LoggedFrames(const std::string& log, const Line& line) {
  std::vector<std::string> frames;
  std::FILE* f = std::fopen(log.c_str(), "rb");
  if (!f) return frames;
  const std::string prefix = std::string(line.channel) + " ";
  char text[16384];
  while (std::fgets(text, sizeof text, f)) {
    std::string entry(text);
    while (!entry.empty() && (entry.back() == '\n' || entry.back() == '\r')) entry.pop_back();
    if (entry.compare(0, prefix.size(), prefix) == 0) frames.push_back(entry.substr(prefix.size()));
  }
  std::fclose(f);
  return frames;
}

// The frames logged after the first `before`, once at least `count` of them
// are there (or two seconds have passed). With `settle`, waits a little
// longer so that a frame sent in excess would show too.
std::vector<std::string> FramesAfter(const std::string& log, const Line& line, size_t before, size_t count,
                                     bool settle = false) {
  std::vector<std::string> all;
  for (int i = 0; i < 200; ++i) {
    all = LoggedFrames(log, line);
    if (all.size() >= before + count) break;
    Sleep(10);
  }
  if (settle) {
    Sleep(150);
    all = LoggedFrames(log, line);
  }
  if (all.size() <= before) return {};
  return std::vector<std::string>(all.begin() + static_cast<long>(before), all.end());
}

std::string Hex(const uint8_t* bytes, size_t n) {
  std::string text;
  char two[4];
  for (size_t i = 0; i < n; ++i) {
    std::snprintf(two, sizeof two, i ? " %02X" : "%02X", bytes[i]);
    text += two;
  }
  return text;
}

std::string ReplyHex(const BootloaderSession& session) { return Hex(session.ReplyData(), session.ReplyLength()); }

bool OpenSession(BootloaderSession& session, const Unit& unit, const Line& line) {
  if (&line == &kUdp)
    session.SetTransport(new EthernetTransport(htonl(INADDR_LOOPBACK), static_cast<uint16_t>(unit.udpPort)));
  else
    session.SetTransport(new COMTransport(unit.com.c_str(), 115200));
  return session.Open() != 0;
}

std::string Label(const Unit& unit, const Line& line, const char* what) {
  return unit.name + " " + line.name + ": " + what;
}

// The version reply of a unit at 3.1 that takes sequence numbers, in the
// plain form callers get in both modes: code 1, 3, 1, 1 and its CRC.
const char kVersionReply[] = "01 03 01 01 F4 0C";
const char kPlainVersionQuery[] = "01 10 01 21 10 10 04";
const char kNumberedVersionQuery[] = "01 81 00 00 00 10 01 A0 98 04";

// Sends one command and checks the frame the unit logged for it.
bool SendAndLog(BootloaderSession& session, const Unit& unit, const Line& line, uint8_t command, const uint8_t* data,
                int length, const char* wire, const char* what) {
  const size_t before = LoggedFrames(unit.log, line).size();
  const bool ok = session.SendCommand(command, data, length, 5, 1000);
  Check(ok, Label(unit, line, what) + " is answered");
  const auto frames = FramesAfter(unit.log, line, before, 1);
  Check(frames.size() == 1 && frames[0] == wire, Label(unit, line, what) + " reaches the unit as " + wire + " (got " +
                                                     (frames.empty() ? "nothing" : frames[0]) +
                                                     (frames.size() > 1 ? " and more" : "") + ")");
  return ok;
}

// The wire bytes of plain and numbered commands as the unit receives them,
// and the replies the engine hands back.
void AnsweringUnitCases(const Unit& unit, const Line& line) {
  BootloaderSession session;
  Check(OpenSession(session, unit, line), Label(unit, line, "link opens"));

  if (SendAndLog(session, unit, line, ReadBootloaderVersion, nullptr, 0, kPlainVersionQuery, "plain version query"))
    Check(ReplyHex(session) == kVersionReply, Label(unit, line, "plain version reply is ") + ReplyHex(session));

  // Numbering starts again at 1 with every version query, whatever went before.
  if (SendAndLog(session, unit, line, ReadBootloaderVersion | kSequenceFlag, nullptr, 0, kNumberedVersionQuery,
                 "numbered version query"))
    Check(ReplyHex(session) == kVersionReply,
          Label(unit, line, "numbered version reply comes back in plain form, not ") + ReplyHex(session));

  if (SendAndLog(session, unit, line, ReadApplicationVersion | kSequenceFlag, nullptr, 0, "01 89 00 00 00 02 EE AA 04",
                 "numbered application version query carrying number 2"))
    Check(session.ReplyLength() == 7 && session.ReplyData()[0] == ReadApplicationVersion,
          Label(unit, line, "application version reply holds four bytes: ") + ReplyHex(session));

  // Given bytes 8 and 1 go out as 08 00 01 00; the 01 is escaped.
  const uint8_t stamp[2] = {8, 1};
  if (SendAndLog(session, unit, line, WriteApplicationVersion | kSequenceFlag, stamp, 2,
                 "01 88 00 00 00 03 08 00 10 01 00 6D CE 04", "version stamp 8, 1"))
    Check(session.ReplyLength() == 4 && session.ReplyData()[1] == 1, Label(unit, line, "version stamp status 1"));
  Check(session.SendCommand(ReadApplicationVersion | kSequenceFlag, nullptr, 0, 5, 1000) &&
            ReplyHex(session).compare(0, 14, "09 08 00 01 00") == 0,
        Label(unit, line, "the unit reports the stamp it was given as version 1.8: ") + ReplyHex(session));

  // Control bytes inside a payload are escaped and do not end the frame.
  uint8_t block[72] = {0x00, 0x00, 0x04, 0x00, 4, 0, 0, 0, 0x01, 0x04, 0x10, 0x55};
  std::string wire = "01 86 00 00 00 05 00 00 10 04 00 10 04 00 00 00 10 01 10 04 10 10 55";
  for (int i = 0; i < 60; ++i) wire += " 00";
  wire += " 0C 27 04";
  if (SendAndLog(session, unit, line, FlashImageBlock | kSequenceFlag, block, 72, wire.c_str(),
                 "flash block holding 01, 04 and 10"))
    Check(session.ReplyLength() == 4 && session.ReplyData()[1] == 1, Label(unit, line, "flash block status 1"));
  session.Close();
}

// Sends one command to the silent unit and returns the frames it logged,
// waiting long enough for any frame sent in excess to show.
std::vector<std::string> SilentTries(BootloaderSession& session, const Unit& unit, const Line& line, uint8_t command,
                                     uint16_t tries, uint16_t timeoutMs, size_t expected, DWORD* took) {
  const size_t before = LoggedFrames(unit.log, line).size();
  const DWORD start = GetTickCount();
  const bool ok = session.SendCommand(command, nullptr, 0, tries, timeoutMs);
  if (took) *took = GetTickCount() - start;
  char what[64];
  std::snprintf(what, sizeof what, "command %u to a silent unit fails", command);
  Check(!ok, Label(unit, line, what));
  return FramesAfter(unit.log, line, before, expected, true);
}

bool AllEqual(const std::vector<std::string>& frames, const char* wire) {
  for (const auto& f : frames)
    if (f != wire) return false;
  return true;
}

// A unit that has lost power gets every try, all of them the same bytes,
// each after the time-out; the end and exit commands go out once however
// many tries they are given.
void SilentUnitCases(const Unit& unit, const Line& line) {
  BootloaderSession session;
  Check(OpenSession(session, unit, line), Label(unit, line, "link opens"));
  DWORD took = 0;
  auto frames = SilentTries(session, unit, line, ReadBootloaderVersion, 5, 200, 5, &took);
  Check(frames.size() == 5 && AllEqual(frames, kPlainVersionQuery),
        Label(unit, line, "plain version query goes out five times, unchanged; frames: ") +
            std::to_string(frames.size()));
  Check(took >= 4 * 200 - 20, Label(unit, line, "each resend waits for the time-out"));

  frames = SilentTries(session, unit, line, ReadBootloaderVersion | kSequenceFlag, 5, 200, 5, nullptr);
  Check(frames.size() == 5 && AllEqual(frames, kNumberedVersionQuery),
        Label(unit, line, "numbered version query goes out five times, all with number 1; frames: ") +
            std::to_string(frames.size()));

  frames = SilentTries(session, unit, line, EndUpdate | kSequenceFlag, 5, 1000, 1, nullptr);
  Check(frames.size() == 1 && AllEqual(frames, "01 84 00 00 00 02 94 8B 04"),
        Label(unit, line, "numbered end command goes out once; frames: ") + std::to_string(frames.size()));
  frames = SilentTries(session, unit, line, ExitBootloader | kSequenceFlag, 5, 1000, 1, nullptr);
  Check(frames.size() == 1 && AllEqual(frames, "01 8B 00 00 00 03 4C FE 04"),
        Label(unit, line, "numbered exit command goes out once; frames: ") + std::to_string(frames.size()));
  frames = SilentTries(session, unit, line, EndUpdate, 5, 1000, 1, nullptr);
  Check(frames.size() == 1 && AllEqual(frames, "01 10 04 84 40 04"),
        Label(unit, line, "plain end command goes out once; frames: ") + std::to_string(frames.size()));
  frames = SilentTries(session, unit, line, ExitBootloader, 5, 1000, 1, nullptr);
  Check(frames.size() == 1 && AllEqual(frames, "01 0B 6B B1 04"),
        Label(unit, line, "plain exit command goes out once; frames: ") + std::to_string(frames.size()));
  session.Close();
}

// Through a line that drops and corrupts frames both ways, every command
// still completes, each read-back finds the value just written, and the
// unit's log shows the resends it took.
void LossyUnitCases(const Unit& unit, const Line& line, bool numbered, int rounds) {
  BootloaderSession session;
  Check(OpenSession(session, unit, line), Label(unit, line, "link opens"));
  const uint8_t flag = numbered ? kSequenceFlag : 0;
  const size_t before = LoggedFrames(unit.log, line).size();
  int commands = 1, unanswered = 0, wrongValues = 0;
  if (!session.SendCommand(ReadBootloaderVersion | flag, nullptr, 0, 5, 100)) ++unanswered;
  for (int i = 0; i < rounds; ++i) {
    const uint8_t stamp[2] = {static_cast<uint8_t>(i), static_cast<uint8_t>(255 - i)};
    commands += 2;
    if (!session.SendCommand(WriteApplicationVersion | flag, stamp, 2, 5, 100) || session.ReplyLength() != 4 ||
        session.ReplyData()[1] != 1) {
      ++unanswered;
      continue;
    }
    if (!session.SendCommand(ReadApplicationVersion | flag, nullptr, 0, 5, 100)) {
      ++unanswered;
      continue;
    }
    const uint8_t* r = session.ReplyData();
    if (session.ReplyLength() != 7 || r[1] != stamp[0] || r[2] != 0 || r[3] != stamp[1] || r[4] != 0) ++wrongValues;
  }
  session.Close();
  const size_t frames = FramesAfter(unit.log, line, before, static_cast<size_t>(commands)).size();
  std::printf("%s %s: %d %s commands, %zu frames reached the unit\n", unit.name.c_str(), line.name, commands,
              numbered ? "numbered" : "plain", frames);
  Check(unanswered == 0, Label(unit, line, "every command completes; unanswered: ") + std::to_string(unanswered));
  Check(wrongValues == 0,
        Label(unit, line, "every read-back is the value just written; wrong: ") + std::to_string(wrongValues));
  Check(frames > static_cast<size_t>(commands), Label(unit, line, "the unit's log shows resends"));
}

std::wstring Widen(const char* text) {
  std::wstring wide;
  for (; *text; ++text) wide.push_back(static_cast<wchar_t>(static_cast<unsigned char>(*text)));
  return wide;
}

bool ParseUnits(int argc, char** argv, std::vector<Unit>* units) {
  if (argc < 5 || (argc - 1) % 4 != 0) return false;
  for (int i = 1; i + 3 < argc; i += 4) {
    Unit unit;
    unit.name = argv[i];
    unit.udpPort = std::atoi(argv[i + 1]);
    unit.com = Widen(argv[i + 2]);
    unit.log = argv[i + 3];
    if (unit.udpPort <= 0 || unit.udpPort > 65535) return false;
    if (unit.name != "answering" && unit.name != "silent" && unit.name != "lossy") return false;
    units->push_back(unit);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<Unit> units;
  if (!ParseUnits(argc, argv, &units)) {
    std::fprintf(stderr, "usage: win_boot_test.exe answering|silent|lossy UDP_PORT COM LOG ...\n");
    return 2;
  }
  WSADATA sockets;
  if (WSAStartup(MAKEWORD(2, 2), &sockets) != 0) {
    std::printf("0 passed, 1 failed\n");
    return 1;
  }
  for (const Unit& unit : units) {
    for (const Line* line : {&kUdp, &kCom}) {
      if (unit.name == "answering")
        AnsweringUnitCases(unit, *line);
      else if (unit.name == "silent")
        SilentUnitCases(unit, *line);
      else
        LossyUnitCases(unit, *line, line == &kUdp, line == &kUdp ? 150 : 100);
    }
  }
  WSACleanup();
  std::printf("%d passed, %d failed\n", passed, failed);
  std::fflush(stdout);
  return failed == 0 ? 0 : 1;
}
