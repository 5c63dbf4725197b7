// The frame engine end to end: real links (UDP on loopback, a serial link on
// the simulated unit's pseudo-terminal) to the simulated unit, which decodes
// what arrives into its memory. What reached the unit is compared with the
// package byte for byte.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "boot/bootloader_session.h"
#include "link/com_transport.h"
#include "link/ethernet_transport.h"
#include "package/bin_manager.h"
#include "package/hex_manager.h"
#include "platform/platform.h"
#include "sim/hex_records.h"
#include "sim/package_images.h"
#include "sim/simulated_unit.h"
#include "sim/unit_dump.h"

namespace {

using Bytes = std::vector<uint8_t>;

// The packaged images, loaded the way the program loads them.
struct Package {
  Package() : flash(0x40000) {
    loaded = hex.LoadFromResource(L"P32_APPLICATION") && flash.LoadFromResource(L"P32_FLASH");
  }
  CHexManager hex;
  CBinManager flash;
  bool loaded = false;
};

Package& ThePackage() {
  static Package package;
  return package;
}

// Packs up to eight records into a programming frame, as the update does.
int NextFrame(CHexManager& hex, uint8_t* frame) {
  int used = 0;
  for (int i = 0; i < 8; ++i) {
    const uint16_t n = hex.NextRecord(frame + used, static_cast<uint32_t>(BootloaderSession::kFrameSize - used));
    if (n == 0) break;
    used += n;
  }
  return used;
}

// Sends `frames` programming frames (all when negative) and returns how
// many were accepted with status 1; the records sent are decoded into
// *expected, independently of the unit.
int SendRecords(BootloaderSession& session, bool numbered, int frames, uint16_t tries, uint16_t timeoutMs,
                sim::SparseMemory* expected) {
  CHexManager& hex = ThePackage().hex;
  hex.Rewind();
  sim::HexAddressState state;
  uint8_t frame[BootloaderSession::kFrameSize];
  int accepted = 0;
  for (int i = 0; frames < 0 || i < frames; ++i) {
    const int used = NextFrame(hex, frame);
    if (used == 0) break;
    if (expected) sim::DecodeHexRecords(frame, static_cast<size_t>(used), &state, expected);
    const uint8_t code = ApplicationRecords | (numbered ? kSequenceFlag : 0);
    if (session.SendCommand(code, frame, used, tries, timeoutMs) && session.ReplyLength() == 4 &&
        session.ReplyData()[1] == 1)
      ++accepted;
  }
  return accepted;
}

int SendFlash(BootloaderSession& session, bool numbered, int blocks, uint16_t tries, uint16_t timeoutMs) {
  CBinManager& flash = ThePackage().flash;
  flash.Rewind();
  int accepted = 0;
  for (int i = 0; blocks < 0 || i < blocks; ++i) {
    uint8_t block[72] = {};
    uint32_t address = 0;
    const uint16_t count = flash.NextBlock(block + 8, 64, &address);
    if (count == 0) break;
    for (int b = 0; b < 4; ++b) {
      block[b] = static_cast<uint8_t>(address >> (8 * b));
      block[4 + b] = static_cast<uint8_t>(count >> (8 * b));
    }
    const uint8_t code = FlashImageBlock | (numbered ? kSequenceFlag : 0);
    if (session.SendCommand(code, block, 72, tries, timeoutMs) && session.ReplyData()[1] == 1) ++accepted;
  }
  return accepted;
}

bool WaitFor(const std::function<bool()>& condition, uint32_t ms = 5000) {
  const uint32_t start = platform::TickCount();
  while (!condition()) {
    if (platform::TickCount() - start > ms) return false;
    platform::SleepMs(2);
  }
  return true;
}

// ------------------------------------------------------------------ UDP ----

class UdpSessionTest : public ::testing::Test {
 protected:
  void StartUnit(const sim::UnitOptions& options) {
    unit = std::make_unique<sim::SimulatedUnit>(options);
    std::string error;
    ASSERT_TRUE(unit->Start(&error)) << error;
    session.SetTransport(new EthernetTransport(htonl(INADDR_LOOPBACK), unit->UdpPort()));
    ASSERT_TRUE(session.Open());
  }
  static sim::UnitOptions Options() {
    sim::UnitOptions o;
    o.udpPort = 0;
    o.serial = false;
    return o;
  }
  void TearDown() override {
    session.SetTransport(nullptr);
    if (unit) unit->Stop();
  }

  std::unique_ptr<sim::SimulatedUnit> unit;
  BootloaderSession session;
};

TEST_F(UdpSessionTest, VersionRepliesInBothModes) {
  sim::UnitOptions o = Options();
  o.bootloader.versionMinor = 2;
  StartUnit(o);
  ASSERT_TRUE(session.SendCommand(ReadBootloaderVersion, nullptr, 0, 5, 500));
  ASSERT_EQ(6, session.ReplyLength());  // the third byte: numbers understood
  EXPECT_EQ(1, session.ReplyData()[0]);
  EXPECT_EQ(0x0302, session.ReplyData()[1] * 256 + session.ReplyData()[2]);
  ASSERT_TRUE(session.SendCommand(ReadBootloaderVersion | kSequenceFlag, nullptr, 0, 5, 500));
  EXPECT_EQ(6, session.ReplyLength());
  EXPECT_EQ(1, session.ReplyData()[0]);

  o.bootloader.sequenceSupport = false;
  unit->SetBootloaderOptions(o.bootloader);
  ASSERT_TRUE(session.SendCommand(ReadBootloaderVersion, nullptr, 0, 5, 500));
  EXPECT_EQ(5, session.ReplyLength());
  // Numbered frames are not understood by such a unit: no answer at all.
  EXPECT_FALSE(session.SendCommand(ReadApplicationVersion | kSequenceFlag, nullptr, 0, 2, 50));
}

TEST_F(UdpSessionTest, SilentUnitGetsEveryTry) {
  sim::UnitOptions o = Options();
  o.bootloader.silentFrom = 0;
  StartUnit(o);
  EXPECT_FALSE(session.SendCommand(ReadBootloaderVersion, nullptr, 0, 5, 40));
  ASSERT_TRUE(WaitFor([&] { return unit->Counters().framesReceived >= 5; }));
  platform::SleepMs(50);
  EXPECT_EQ(5u, unit->Counters().framesReceived);
  EXPECT_EQ(5u, unit->Counters().framesSilenced);
  // End commands go out once whatever the tries.
  EXPECT_FALSE(session.SendCommand(EndUpdate, nullptr, 0, 5, 40));
  EXPECT_FALSE(session.SendCommand(ExitBootloader, nullptr, 0, 5, 40));
  ASSERT_TRUE(WaitFor([&] { return unit->Counters().framesReceived >= 7; }));
  platform::SleepMs(50);
  EXPECT_EQ(7u, unit->Counters().framesReceived);
}

// Lost replies make the host resend; the unit answers a numbered resend
// again without carrying it out twice, so every block is written once.
TEST_F(UdpSessionTest, ResentNumberedFramesAreNotExecutedTwice) {
  sim::UnitOptions o = Options();
  o.seed = 7;
  o.outgoing.drop = 0.3;
  StartUnit(o);
  ASSERT_TRUE(ThePackage().loaded);
  ASSERT_TRUE(session.SendCommand(BeginFlashImage | kSequenceFlag, nullptr, 0, 12, 30));
  EXPECT_EQ(60, SendFlash(session, true, 60, 12, 30));
  const auto c = unit->Counters();
  EXPECT_EQ(60u, c.perCode[0x86].executed);
  EXPECT_GT(c.perCode[0x86].received, 60u);
  EXPECT_EQ(c.perCode[0x86].received + c.perCode[0x85].received - 61, c.framesRepeated);
  EXPECT_EQ(60u * 64, unit->Flash().Size());
}

// Seeded faults both ways: drops, one-byte corruption and late replies.
// Every command still completes, by resends that the unit's frame count
// shows, and the unit's memory holds exactly what was sent.
TEST_F(UdpSessionTest, CommandsCompleteThroughLineFaults) {
  sim::UnitOptions o = Options();
  o.seed = 2026;
  for (sim::FaultRates* f : {&o.incoming, &o.outgoing}) {
    f->drop = 0.05;
    f->corrupt = 0.05;
  }
  o.outgoing.delay = 0.03;
  o.outgoing.delayMs = 100;  // beyond the time-out: arrives as a stale reply
  StartUnit(o);
  ASSERT_TRUE(ThePackage().loaded);
  ASSERT_TRUE(session.SendCommand(BeginApplication | kSequenceFlag, nullptr, 0, 12, 30));
  sim::SparseMemory expected;
  EXPECT_EQ(300, SendRecords(session, true, 300, 12, 30, &expected));
  const auto c = unit->Counters();
  const auto line = unit->Line();
  EXPECT_GT(c.framesReceived, 301u);
  EXPECT_EQ(300u, c.perCode[0x83].executed);
  EXPECT_GT(line.droppedIn + line.corruptedIn, 0u);
  EXPECT_GT(line.droppedOut + line.corruptedOut + line.delayedOut, 0u);
  EXPECT_TRUE(unit->Program() == expected) << sim::FirstDifference(unit->Program(), expected);
  std::printf(
      "[ figures  ] 301 commands: %u frames reached the unit, %u in dropped, %u in corrupted, %u replies "
      "dropped, %u corrupted, %u late\n",
      c.framesReceived, line.droppedIn, line.corruptedIn, line.droppedOut, line.corruptedOut, line.delayedOut);
}

// In plain mode the unit cannot tell a resend from a new frame; resent
// programming frames (including those that change the extended address)
// must still leave memory as the records say.
TEST_F(UdpSessionTest, PlainModeResendsLeaveMemoryRight) {
  sim::UnitOptions o = Options();
  o.seed = 11;
  o.outgoing.drop = 0.2;
  StartUnit(o);
  ASSERT_TRUE(session.SendCommand(BeginApplication, nullptr, 0, 12, 40));
  sim::SparseMemory expected;
  EXPECT_EQ(200, SendRecords(session, false, 200, 12, 40, &expected));
  EXPECT_GT(unit->Counters().perCode[3].executed, 200u);  // resends ran again
  EXPECT_TRUE(unit->Program() == expected) << sim::FirstDifference(unit->Program(), expected);
}

// The whole package, as an update sends it, reaches the unit's memory
// unchanged; the dump says so too.
TEST_F(UdpSessionTest, WholePackageReachesTheUnit) {
  StartUnit(Options());
  ASSERT_TRUE(ThePackage().loaded);
  ASSERT_TRUE(session.SendCommand(BeginApplication | kSequenceFlag, nullptr, 0, 5, 1000));
  EXPECT_EQ(2471, SendRecords(session, true, -1, 5, 1000, nullptr));
  ASSERT_TRUE(session.SendCommand(BeginFlashImage | kSequenceFlag, nullptr, 0, 2, 1000));
  EXPECT_EQ(3852, SendFlash(session, true, -1, 5, 1000));
  ASSERT_TRUE(session.SendCommand(EndFlashImage | kSequenceFlag, nullptr, 0, 5, 1000));

  sim::PackageImages package;
  std::string error;
  ASSERT_TRUE(sim::LoadPackageImages("", &package, &error)) << error;
  EXPECT_TRUE(unit->Program() == package.program) << sim::FirstDifference(unit->Program(), package.program);
  EXPECT_TRUE(unit->Flash() == package.flash) << sim::FirstDifference(unit->Flash(), package.flash);

  char dir[] = "/tmp/tq-boot-dumpXXXXXX";
  ASSERT_NE(nullptr, mkdtemp(dir));
  const std::string dump = std::string(dir) + "/unit.json";
  ASSERT_TRUE(sim::WriteDump(*unit, dump, &error)) << error;
  std::string message;
  EXPECT_EQ(0, sim::VerifyDump(dump, "", sim::VerifyScope::Both, &message));
  EXPECT_EQ("memory equals package", message);
  std::system((std::string("rm -rf ") + dir).c_str());
}

// ---------------------------------------------------------- serial line ----

class SerialSessionTest : public ::testing::Test {
 protected:
  void StartUnit(sim::UnitOptions options) {
    options.udpPort = -1;
    // Serial port names hold 11 characters; the link keeps the path short.
    char link[16];
    std::snprintf(link, sizeof link, "/tmp/b%05d", static_cast<int>(getpid() % 100000));
    options.ptyLink = link;
    unit = std::make_unique<sim::SimulatedUnit>(options);
    std::string error;
    ASSERT_TRUE(unit->Start(&error)) << error;
    path = std::wstring(options.ptyLink.begin(), options.ptyLink.end());
  }
  void Connect(int bitRate = 115200) {
    session.SetTransport(new COMTransport(path.c_str(), bitRate));
    ASSERT_TRUE(session.Open());
  }
  void TearDown() override {
    session.SetTransport(nullptr);
    if (unit) unit->Stop();
  }

  std::unique_ptr<sim::SimulatedUnit> unit;
  std::wstring path;
  BootloaderSession session;
};

TEST_F(SerialSessionTest, BootloaderAnswersAt115200Only) {
  StartUnit(sim::UnitOptions());
  Connect(9600);
  EXPECT_FALSE(session.SendCommand(ReadIdentity, nullptr, 0, 3, 50));
  EXPECT_GT(unit->Line().serialBytesWrongRate, 0u);
  EXPECT_EQ(0u, unit->Counters().framesReceived);

  Connect(115200);
  ASSERT_TRUE(session.SendCommand(ReadIdentity, nullptr, 0, 5, 500));
  const std::string identity(reinterpret_cast<const char*>(session.ReplyData()) + 1, session.ReplyLength() - 3);
  // The third line: the model name and " - Bootload", as discovery reads it.
  EXPECT_EQ("TQ35B Bootloader\r\nV3.1\r\nVarno TQ35B - Bootload\r\n", identity);
}

TEST_F(SerialSessionTest, LinkCanBeOpenedAgainAndAgain) {
  StartUnit(sim::UnitOptions());
  for (int i = 0; i < 12; ++i) {
    BootloaderSession local;
    local.SetTransport(new COMTransport(path.c_str(), 115200));
    ASSERT_TRUE(local.Open()) << i;
    ASSERT_TRUE(local.SendCommand(ReadBootloaderVersion, nullptr, 0, 5, 500)) << i;
    EXPECT_EQ(6, local.ReplyLength());
    local.Close();
    if (i % 4 == 0) platform::SleepMs(50);  // long enough for the unit to see the hang-up
  }
  EXPECT_EQ(12u, unit->Counters().framesReceived);
  EXPECT_GE(unit->Line().serialHangups, 1u);  // and the unit lived through them
}

// On a byte stream, resends, stale replies and corrupted bytes arrive mixed
// with good frames, split anyhow across reads.
TEST_F(SerialSessionTest, CommandsCompleteThroughLineFaults) {
  sim::UnitOptions o;
  o.seed = 99;
  for (sim::FaultRates* f : {&o.incoming, &o.outgoing}) {
    f->drop = 0.05;
    f->corrupt = 0.05;
  }
  o.outgoing.duplicate = 0.05;
  o.outgoing.delay = 0.03;
  o.outgoing.delayMs = 100;
  StartUnit(o);
  Connect();
  ASSERT_TRUE(ThePackage().loaded);
  ASSERT_TRUE(session.SendCommand(BeginApplication | kSequenceFlag, nullptr, 0, 12, 30));
  sim::SparseMemory expected;
  EXPECT_EQ(200, SendRecords(session, true, 200, 12, 30, &expected));
  EXPECT_GT(unit->Counters().framesReceived, 201u);
  EXPECT_TRUE(unit->Program() == expected) << sim::FirstDifference(unit->Program(), expected);
}

TEST_F(SerialSessionTest, PacedLineCarriesProgrammingFrames) {
  sim::UnitOptions o;
  o.pace = true;
  StartUnit(o);
  Connect();
  ASSERT_TRUE(ThePackage().loaded);
  ASSERT_TRUE(session.SendCommand(BeginApplication, nullptr, 0, 5, 1000));
  sim::SparseMemory expected;
  EXPECT_EQ(40, SendRecords(session, false, 40, 5, 1000, &expected));
  EXPECT_TRUE(unit->Program() == expected) << sim::FirstDifference(unit->Program(), expected);
}

}  // namespace
