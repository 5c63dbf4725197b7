// The update worker end to end against the simulated unit: what reaches the
// unit's memory, the commands it hears, and what the main window is told.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "app/messages.h"
#include "boot/bootload_thread.h"
#include "boot/bootloader_session.h"
#include "package/bin_manager.h"
#include "package/hex_manager.h"
#include "sim/hex_records.h"
#include "sim/package_images.h"
#include "tests/update/update_test_support.h"

namespace {

using updatetest::Choose;
using updatetest::Message;
using updatetest::RecordingWindow;
using updatetest::Runs;
using updatetest::TestUnit;

constexpr uint32_t kRecords = 19762;
constexpr uint32_t kFlashBytes = 246516;
constexpr uint32_t kFrames = 2471;
constexpr uint32_t kBlocks = 3852;

sim::BootloaderOptions PlainUnit() {
  sim::BootloaderOptions options;
  options.sequenceSupport = false;  // five-byte version reply
  return options;
}

sim::BootloaderOptions SequenceUnit() {
  sim::BootloaderOptions options;
  options.sequenceSupport = true;  // six-byte version reply
  return options;
}

// Message ids as offsets from WM_APP, so runs read "4 15 4 16x2471 ...".
std::vector<uint32_t> Ids(const RecordingWindow& window) {
  std::vector<uint32_t> ids;
  for (const Message& m : window.Messages()) ids.push_back(m.id - kWmApp);
  return ids;
}

std::vector<uint32_t> Positions(const RecordingWindow& window) {
  std::vector<uint32_t> positions;
  for (const Message& m : window.Only(UWM_PROGRESS_POSITION)) positions.push_back(uint32_t(m.wParam));
  return positions;
}

// The range the window was sent, -1 when none came.
long RangeOf(const RecordingWindow& window) {
  auto ranges = window.Only(UWM_PROGRESS_RANGE);
  return ranges.empty() ? -1 : long(ranges[0].lParam);
}

std::string Outcome(const RecordingWindow& window) { return updatetest::MessageName(window.Last().id); }

class UpdateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    updatetest::LoadPackage();
    Choose(true, true, true);
  }

  void ExpectPackageInMemory(TestUnit& unit) {
    const sim::PackageImages& package = updatetest::PackagedImages();
    EXPECT_EQ(sim::FirstDifference(unit->Program(), package.program), "");
    EXPECT_EQ(sim::FirstDifference(unit->Flash(), package.flash), "");
    EXPECT_EQ(unit->Flash().Size(), kFlashBytes);
    EXPECT_EQ(unit->VersionStamp(), (std::vector<uint8_t>{0x08, 0x00, 0x01, 0x00}));  // "V1.8"
    EXPECT_TRUE(unit->FactoryDefaultsRestored());
  }
};

// ------------------------------------------------------------ full update ----

TEST_F(UpdateTest, FullUpdateOverUdpInPlainModeWritesThePackageAndReportsEveryStep) {
  TestUnit unit(PlainUnit());
  ASSERT_TRUE(unit.started()) << unit.error();
  RecordingWindow window;
  updatetest::RunWorkerOn(bootload_thread, unit.UdpLink(), &window);

  ExpectPackageInMemory(unit);
  EXPECT_FALSE(sequenceMode);
  EXPECT_EQ(Runs(unit.Codes()), "1 9 2 3x2471 8 5 6x3852 7 12 4");
  for (const sim::FrameRecord& frame : unit->Log()) EXPECT_FALSE(frame.sequenced);

  // Statuses at the start and at each step; the range once, sent, before
  // any position; a position after each frame, block and step; success last.
  EXPECT_EQ(Runs(Ids(window)), "4 15 4 16x2471 4 16x3852 4 16 2");
  EXPECT_EQ(window.Statuses(), (std::vector<std::wstring>{L"Progress: Initializing", L"Progress: Server Application",
                                                          L"Progress: Server UI", L"Progress: Factory Defaults"}));
  auto ranges = window.Only(UWM_PROGRESS_RANGE);
  ASSERT_EQ(ranges.size(), 1u);
  EXPECT_TRUE(ranges[0].sent);
  EXPECT_EQ(ranges[0].wParam, 0u);
  const uint32_t total = kRecords + kFlashBytes + 10;
  EXPECT_EQ(uint32_t(ranges[0].lParam), total);

  auto positions = Positions(window);
  ASSERT_EQ(positions.size(), kFrames + kBlocks + 1);
  for (size_t i = 1; i < positions.size(); ++i) ASSERT_GT(positions[i], positions[i - 1]) << "at " << i;
  EXPECT_EQ(positions[0], 8u);                   // the first frame: eight records
  EXPECT_EQ(positions[kFrames - 1], kRecords);   // end of the application
  EXPECT_EQ(positions[kFrames], kRecords + 64);  // the first flash block
  EXPECT_EQ(positions[kFrames + kBlocks - 1], kRecords + kFlashBytes);
  EXPECT_EQ(positions.back(), total);
  EXPECT_EQ(progressPosition, total);
  for (const Message& m : window.Only(UWM_PROGRESS_POSITION)) EXPECT_FALSE(m.sent);
}

TEST_F(UpdateTest, SixByteVersionReplyNumbersEveryLaterCommandFromOne) {
  TestUnit unit(SequenceUnit());
  ASSERT_TRUE(unit.started()) << unit.error();
  RecordingWindow window;
  updatetest::RunWorkerOn(bootload_thread, unit.UdpLink(), &window);

  EXPECT_EQ(Outcome(window), "UWM_UPDATE_SUCCEEDED");
  ExpectPackageInMemory(unit);
  EXPECT_TRUE(sequenceMode);
  EXPECT_EQ(Runs(unit.Codes()), "1 137 130 131x2471 136 133 134x3852 135 140 132");
  auto log = unit->Log();
  ASSERT_FALSE(log.empty());
  EXPECT_FALSE(log[0].sequenced);  // the version query always goes plain
  for (size_t i = 1; i < log.size(); ++i) {
    ASSERT_TRUE(log[i].sequenced) << "frame " << i;
    ASSERT_EQ(log[i].sequence, uint32_t(i)) << "frame " << i;
  }
}

TEST_F(UpdateTest, FullUpdateOverThePseudoTerminalWritesThePackage) {
  TestUnit unit(SequenceUnit());
  ASSERT_TRUE(unit.started()) << unit.error();
  RecordingWindow window;
  updatetest::RunWorkerOn(bootload_thread, unit.SerialLink(), &window);

  EXPECT_EQ(Outcome(window), "UWM_UPDATE_SUCCEEDED");
  ExpectPackageInMemory(unit);
  EXPECT_EQ(Runs(unit.Codes()), "1 137 130 131x2471 136 133 134x3852 135 140 132");
  EXPECT_EQ(unit->Line().datagrams, 0u);  // it all went over the serial line
}

// ---------------------------------------------------------- the choices ----

TEST_F(UpdateTest, OnlyFactoryDefaultsTouchesNothingElse) {
  Choose(false, false, true);
  TestUnit unit(PlainUnit());
  ASSERT_TRUE(unit.started()) << unit.error();
  RecordingWindow window;
  updatetest::RunWorkerOn(bootload_thread, unit.UdpLink(), &window);

  EXPECT_EQ(Runs(unit.Codes()), "1 9 12 4");
  EXPECT_EQ(Runs(Ids(window)), "4 15 4 16 2");
  EXPECT_EQ(RangeOf(window), 10);
  EXPECT_EQ(Positions(window), std::vector<uint32_t>{10});
  EXPECT_EQ(window.Statuses().back(), L"Progress: Factory Defaults");
  EXPECT_TRUE(unit->FactoryDefaultsRestored());
  EXPECT_TRUE(unit->Program().Empty());
  EXPECT_TRUE(unit->Flash().Empty());
  EXPECT_EQ(unit->Counters().programErases + unit->Counters().flashErases, 0u);
}

TEST_F(UpdateTest, NothingChosenStillEndsTheUpdate) {
  Choose(false, false, false);
  TestUnit unit(PlainUnit());
  ASSERT_TRUE(unit.started()) << unit.error();
  RecordingWindow window;
  updatetest::RunWorkerOn(bootload_thread, unit.UdpLink(), &window);

  EXPECT_EQ(Runs(unit.Codes()), "1 9 4");
  EXPECT_EQ(Runs(Ids(window)), "4 15 2");
  EXPECT_EQ(RangeOf(window), 0);
  EXPECT_EQ(unit->Counters().updatesEnded, 1u);
}

TEST_F(UpdateTest, OnlyTheFlashImageLeavesProgramMemoryAlone) {
  Choose(false, true, false);
  TestUnit unit(PlainUnit());
  ASSERT_TRUE(unit.started()) << unit.error();
  RecordingWindow window;
  updatetest::RunWorkerOn(bootload_thread, unit.UdpLink(), &window);

  EXPECT_EQ(Outcome(window), "UWM_UPDATE_SUCCEEDED");
  EXPECT_EQ(Runs(unit.Codes()), "1 9 5 6x3852 7 4");
  EXPECT_EQ(sim::FirstDifference(unit->Flash(), updatetest::PackagedImages().flash), "");
  EXPECT_TRUE(unit->Program().Empty());
  EXPECT_TRUE(unit->VersionStamp().empty());
  EXPECT_EQ(Positions(window).back(), kFlashBytes);
}

// ------------------------------------------------------ the version check ----

TEST_F(UpdateTest, VersionsOutsideThreeZeroToThreeTwoAreRefusedBeforeAnythingIsWritten) {
  const uint8_t refused[][2] = {{2, 9}, {3, 3}};
  for (const auto& version : refused) {
    sim::BootloaderOptions options = PlainUnit();
    options.versionMajor = version[0];
    options.versionMinor = version[1];
    TestUnit unit(options);
    ASSERT_TRUE(unit.started()) << unit.error();
    RecordingWindow window;
    updatetest::RunWorkerOn(bootload_thread, unit.UdpLink(), &window);
    SCOPED_TRACE(std::to_string(version[0]) + "." + std::to_string(version[1]));
    EXPECT_EQ(Outcome(window), "UWM_WRONG_RESPONSE");
    EXPECT_EQ(Runs(unit.Codes()), "1");
    EXPECT_EQ(window.Count(UWM_PROGRESS_RANGE), 0u);
    EXPECT_TRUE(unit->Program().Empty());
    EXPECT_TRUE(unit->Flash().Empty());
  }
}

TEST_F(UpdateTest, VersionsThreeZeroAndThreeTwoAreAccepted) {
  Choose(false, false, false);
  const uint8_t accepted[][2] = {{3, 0}, {3, 2}};
  for (const auto& version : accepted) {
    sim::BootloaderOptions options = PlainUnit();
    options.versionMajor = version[0];
    options.versionMinor = version[1];
    TestUnit unit(options);
    ASSERT_TRUE(unit.started()) << unit.error();
    RecordingWindow window;
    updatetest::RunWorkerOn(bootload_thread, unit.UdpLink(), &window);
    EXPECT_EQ(Outcome(window), "UWM_UPDATE_SUCCEEDED") << int(version[0]) << "." << int(version[1]);
  }
}

TEST_F(UpdateTest, SilentUnitGivesNoResponse) {
  sim::BootloaderOptions options = PlainUnit();
  options.silentFrom = 1;
  TestUnit unit(options);
  ASSERT_TRUE(unit.started()) << unit.error();
  RecordingWindow window;
  updatetest::RunWorkerOn(bootload_thread, unit.UdpLink(), &window);

  EXPECT_EQ(Runs(Ids(window)), "4 6");   // Initializing, then no response
  EXPECT_EQ(Runs(unit.Codes()), "1x5");  // the five tries of the version query
}

// ---------------------------------------------------- failures on the way ----

TEST_F(UpdateTest, StatusZeroToAProgrammingFrameStopsAtOnce) {
  Choose(true, true, true);
  sim::BootloaderOptions options = PlainUnit();
  options.status0At = 10;  // 1, 9, 2, then the seventh programming frame
  TestUnit unit(options);
  ASSERT_TRUE(unit.started()) << unit.error();
  RecordingWindow window;
  updatetest::RunWorkerOn(bootload_thread, unit.UdpLink(), &window);

  EXPECT_EQ(Outcome(window), "UWM_UPDATE_FAILED");
  EXPECT_EQ(Runs(unit.Codes()), "1 9 2 3x7");
  EXPECT_EQ(window.Count(UWM_UPDATE_SUCCEEDED), 0u);
  EXPECT_EQ(Positions(window).back(), 6u * 8);
}

TEST_F(UpdateTest, StatusZeroToAFlashBlockStopsAtOnce) {
  Choose(false, true, true);
  sim::BootloaderOptions options = SequenceUnit();
  options.status0At = 20;  // 1, 137, 133, then the seventeenth block
  TestUnit unit(options);
  ASSERT_TRUE(unit.started()) << unit.error();
  RecordingWindow window;
  updatetest::RunWorkerOn(bootload_thread, unit.UdpLink(), &window);

  EXPECT_EQ(Outcome(window), "UWM_UPDATE_FAILED");
  EXPECT_EQ(Runs(unit.Codes()), "1 137 133 134x17");
  EXPECT_EQ(window.Count(UWM_UPDATE_SUCCEEDED), 0u);
  EXPECT_FALSE(unit->FactoryDefaultsRestored());
}

TEST_F(UpdateTest, PowerLossDuringTheFlashStepIsAFailureNeverASuccess) {
  Choose(false, true, true);
  sim::BootloaderOptions options = PlainUnit();
  options.silentFrom = 200;
  TestUnit unit(options);
  ASSERT_TRUE(unit.started()) << unit.error();
  RecordingWindow window;
  updatetest::RunWorkerOn(bootload_thread, unit.UdpLink(), &window);

  EXPECT_EQ(Outcome(window), "UWM_UPDATE_FAILED");
  EXPECT_EQ(window.Count(UWM_UPDATE_SUCCEEDED), 0u);
  // The block that went unanswered is tried five times, then nothing more.
  EXPECT_EQ(Runs(unit.Codes()), "1 9 5 6x201");
  EXPECT_EQ(unit->Counters().updatesEnded, 0u);
}

// An image that failed to load must not cost the unit its firmware.
class EmptyImageTest : public UpdateTest {
 protected:
  void TearDown() override {
    applicationImage.LoadFromResource(L"P32_APPLICATION");
    flashImage.LoadFromResource(L"P32_FLASH");
  }
  void ExpectRefusedBeforeAnyStep(const char* what) {
    TestUnit unit(PlainUnit());
    ASSERT_TRUE(unit.started()) << unit.error();
    RecordingWindow window;
    updatetest::RunWorkerOn(bootload_thread, unit.UdpLink(), &window);
    SCOPED_TRACE(what);
    EXPECT_EQ(Outcome(window), "UWM_UPDATE_FAILED");
    EXPECT_EQ(Runs(unit.Codes()), "1 9");
    EXPECT_EQ(unit->Counters().programErases + unit->Counters().flashErases, 0u);
    EXPECT_FALSE(unit->FactoryDefaultsRestored());
  }
};

TEST_F(EmptyImageTest, EmptyApplicationImageChosenFailsBeforeAnyStepCommand) {
  applicationImage.Reset();
  ASSERT_EQ(applicationImage.RecordCount(), 0u);
  ExpectRefusedBeforeAnyStep("application");
}

TEST_F(EmptyImageTest, EmptyFlashImageChosenFailsBeforeAnyStepCommand) {
  flashImage.Clear();
  ASSERT_EQ(flashImage.Size(), 0u);
  ExpectRefusedBeforeAnyStep("flash");
}

TEST_F(EmptyImageTest, EmptyImageNotChosenIsNoObstacle) {
  flashImage.Clear();
  Choose(false, false, true);
  TestUnit unit(PlainUnit());
  ASSERT_TRUE(unit.started()) << unit.error();
  RecordingWindow window;
  updatetest::RunWorkerOn(bootload_thread, unit.UdpLink(), &window);
  EXPECT_EQ(Outcome(window), "UWM_UPDATE_SUCCEEDED");
}

// ------------------------------------------------------------ a bad line ----

// A smaller package for the lossy runs, since every lost frame costs a
// one-second time-out: the first records of the packaged HEX text with its
// end record, and the start of the flash image.
class LossyLineTest : public UpdateTest {
 protected:
  static constexpr size_t kHexLines = 320;
  static constexpr size_t kFlashPart = 40 * 64 - 12;

  void SetUp() override {
    UpdateTest::SetUp();
    const std::string hex = updatetest::ResourceBytes(L"P32_APPLICATION", L"HEX");
    size_t end = 0;
    for (size_t i = 0; i < kHexLines; ++i) end = hex.find('\n', end) + 1;
    hexText_ = hex.substr(0, end) + ":00000001FF\r\n";
    ASSERT_TRUE(sim::DecodeHexText(hexText_.data(), hexText_.size(), &program_));
    const std::string flash = updatetest::ResourceBytes(L"P32_FLASH", L"BIN");
    flashPart_ = flash.substr(0, kFlashPart);
    flash_.Write(sim::kFlashImageBase, reinterpret_cast<const uint8_t*>(flashPart_.data()), flashPart_.size());

    hexPath_ = WriteFile("hex", hexText_);
    binPath_ = WriteFile("bin", flashPart_);
    ASSERT_TRUE(applicationImage.LoadFromFile(std::wstring(hexPath_.begin(), hexPath_.end()).c_str()));
    ASSERT_TRUE(flashImage.LoadFromFile(std::wstring(binPath_.begin(), binPath_.end()).c_str()));
    ASSERT_EQ(applicationImage.RecordCount(), kHexLines + 1);
  }
  void TearDown() override {
    std::remove(hexPath_.c_str());
    std::remove(binPath_.c_str());
    applicationImage.LoadFromResource(L"P32_APPLICATION");
    flashImage.LoadFromResource(L"P32_FLASH");
  }
  static std::string WriteFile(const char* kind, const std::string& bytes) {
    char path[64];
    std::snprintf(path, sizeof path, "/tmp/tq-update-%d.%s", int(getpid()), kind);
    FILE* f = std::fopen(path, "wb");
    if (f) {
      std::fwrite(bytes.data(), 1, bytes.size(), f);
      std::fclose(f);
    }
    return path;
  }
  void RunAndExpectExactMemory(const sim::BootloaderOptions& bootloader, const sim::FaultRates& rates) {
    sim::UnitOptions options;
    options.seed = 7;
    options.incoming = rates;
    options.outgoing = rates;
    TestUnit unit(bootloader, options);
    ASSERT_TRUE(unit.started()) << unit.error();
    RecordingWindow window;
    updatetest::RunWorkerOn(bootload_thread, unit.UdpLink(), &window);

    EXPECT_EQ(Outcome(window), "UWM_UPDATE_SUCCEEDED");
    EXPECT_EQ(sim::FirstDifference(unit->Program(), program_), "");
    EXPECT_EQ(sim::FirstDifference(unit->Flash(), flash_), "");
    EXPECT_EQ(unit->VersionStamp(), (std::vector<uint8_t>{0x08, 0x00, 0x01, 0x00}));
    EXPECT_TRUE(unit->FactoryDefaultsRestored());
    EXPECT_EQ(Positions(window).back(), uint32_t(kHexLines + 1 + kFlashPart + 10));
    // The faults did happen, both ways.
    sim::LineCounters line = unit->Line();
    EXPECT_GT(line.droppedIn + line.corruptedIn, 0u);
    EXPECT_GT(line.droppedOut + line.corruptedOut, 0u);
  }

  std::string hexText_, flashPart_, hexPath_, binPath_;
  sim::SparseMemory program_, flash_;
};

TEST_F(LossyLineTest, SequenceModeSurvivesLossCorruptionDuplicatesAndLateReplies) {
  sim::FaultRates rates;
  rates.drop = 0.02;
  rates.corrupt = 0.02;
  rates.duplicate = 0.02;
  rates.delay = 0.01;
  RunAndExpectExactMemory(SequenceUnit(), rates);
}

TEST_F(LossyLineTest, PlainModeSurvivesLossAndCorruption) {
  sim::FaultRates rates;
  rates.drop = 0.02;
  rates.corrupt = 0.02;
  RunAndExpectExactMemory(PlainUnit(), rates);
}

// Without sequence numbers a reply cannot say which frame it answers. One
// taken for the next frame's answer makes the update run ahead of the unit,
// and a frame lost meanwhile counts as confirmed: success with a hole in
// memory. Runs a plain-mode update with `options` and returns the line's
// counters, so that each case can show its faults did happen.
class PlainRunAheadTest : public LossyLineTest {
 protected:
  sim::LineCounters RunAndExpectNoHole(const sim::UnitOptions& options) {
    TestUnit unit(PlainUnit(), options);
    EXPECT_TRUE(unit.started()) << unit.error();
    RecordingWindow window;
    updatetest::RunWorkerOn(bootload_thread, unit.UdpLink(), &window);
    EXPECT_EQ(Outcome(window), "UWM_UPDATE_SUCCEEDED");
    EXPECT_EQ(sim::FirstDifference(unit->Program(), program_), "");
    EXPECT_EQ(sim::FirstDifference(unit->Flash(), flash_), "");
    return unit->Line();
  }
};

// Every reply comes twice and some frames are lost on the way in.
TEST_F(PlainRunAheadTest, DuplicatedRepliesAreDropped) {
  sim::UnitOptions options;
  options.seed = 7;
  options.incoming.drop = 0.05;
  options.outgoing.duplicate = 1.0;
  const sim::LineCounters line = RunAndExpectNoHole(options);
  EXPECT_GT(line.droppedIn, 0u);
  EXPECT_GT(line.duplicatedOut, 0u);
}

// Replies 1,500 ms late, past the host's one-second time-out, while frames
// are lost on the way in: the resend is answered at once, and the late reply
// to the first attempt must not be taken for the next frame's answer.
TEST_F(PlainRunAheadTest, LateRepliesAreWaitedOut) {
  sim::UnitOptions options;
  options.seed = 3;
  options.incoming.drop = 0.08;
  options.outgoing.delay = 0.08;
  options.outgoing.delayMs = 1500;
  const sim::LineCounters line = RunAndExpectNoHole(options);
  EXPECT_GT(line.droppedIn, 0u);
  EXPECT_GT(line.delayedOut, 0u);
}

// The command that ends a run of data frames (the version stamp, the end of
// the flash image) must not meet a reply to them: one that comes so late
// means the run may have been confirmed by replies that were not its own.
// The unit takes 8 ms over each frame, and the answer to the last data
// frame goes out again 14 ms later: after the quiet window (about 10 ms),
// while the unit is still busy with the end command.
class PhaseEndTest : public LossyLineTest, public ::testing::WithParamInterface<bool> {};

TEST_P(PhaseEndTest, AReplyToTheDataFramesDuringTheEndCommandFailsTheUpdate) {
  const bool flash = GetParam();
  Choose(!flash, flash, false);
  sim::UnitOptions options;
  options.handling = std::chrono::milliseconds(8);
  // Frames 1 to 3 are the version queries and the begin command.
  const uint32_t dataFrames = flash ? uint32_t(kFlashPart + 63) / 64 : uint32_t(kHexLines + 1 + 7) / 8;
  options.placed.repeatReply = 3 + dataFrames;
  options.placed.repeatLag = std::chrono::milliseconds(14);
  TestUnit unit(PlainUnit(), options);
  ASSERT_TRUE(unit.started()) << unit.error();
  RecordingWindow window;
  updatetest::RunWorkerOn(bootload_thread, unit.UdpLink(), &window);
  EXPECT_EQ(Outcome(window), "UWM_UPDATE_FAILED");
  EXPECT_EQ(unit->Counters().perCode[EndUpdate].received, 0u);
}

INSTANTIATE_TEST_SUITE_P(BothImages, PhaseEndTest, ::testing::Bool(), [](const ::testing::TestParamInfo<bool>& info) {
  return std::string(info.param ? "FlashImage" : "ApplicationImage");
});

// A unit that takes time over each frame answers a frame that reached it
// twice twice, one handling time apart; a frame lost a little later must
// still be found out and sent again. Whatever the timing, the update ends
// with the package in memory or says that it failed: never success over a
// hole. Each case writes one image, with the faults placed inside it.
struct PlacedFaultCase {
  const char* name;
  bool serial;
  bool flash;  // the flash image alone, else the application image alone
  double handlingMs;
  double jitterMs;
  uint32_t duplicateFrame;  // or the frame whose reply goes out again
  bool repeatReply;
  uint32_t lostFrame;
};

void PrintTo(const PlacedFaultCase& c, std::ostream* out) { *out << c.name; }

class PlacedFaultTest : public UpdateTest, public ::testing::WithParamInterface<PlacedFaultCase> {};

// Frames 1 to 3 are the version queries and the step's begin command; the
// image's frames follow from 4.
TEST_P(PlacedFaultTest, EndsExactOrFailedNeverSucceedsOverAHole) {
  const PlacedFaultCase& c = GetParam();
  Choose(!c.flash, c.flash, false);
  sim::UnitOptions options;
  options.handling = std::chrono::microseconds(long(c.handlingMs * 1000));
  options.handlingJitter = std::chrono::microseconds(long(c.jitterMs * 1000));
  (c.repeatReply ? options.placed.repeatReply : options.placed.duplicateFrame) = c.duplicateFrame;
  options.placed.loseFrame = c.lostFrame;
  TestUnit unit(PlainUnit(), options);
  ASSERT_TRUE(unit.started()) << unit.error();
  RecordingWindow window;
  updatetest::RunWorkerOn(bootload_thread, c.serial ? unit.SerialLink() : unit.UdpLink(), &window);

  const sim::PackageImages& package = updatetest::PackagedImages();
  const std::string difference = c.flash ? sim::FirstDifference(unit->Flash(), package.flash)
                                         : sim::FirstDifference(unit->Program(), package.program);
  if (Outcome(window) == "UWM_UPDATE_SUCCEEDED") {
    EXPECT_EQ(difference, "") << "success over a hole";
  }
  // The quiet window lets the second answer show before the next frame goes
  // out, so the lost frame is sent again and the update completes.
  EXPECT_EQ(Outcome(window), "UWM_UPDATE_SUCCEEDED");
  const sim::LineCounters line = unit->Line();
  EXPECT_EQ(line.droppedIn, 1u);
  if (!c.repeatReply) {
    EXPECT_EQ(line.duplicatedIn, 1u);
  }
}

INSTANTIATE_TEST_SUITE_P(
    PlainMode, PlacedFaultTest,
    ::testing::Values(PlacedFaultCase{"Udp1msDuplicate100Lost103", false, false, 1, 0, 100, false, 103},
                      PlacedFaultCase{"Udp1msDuplicate200Lost201", false, false, 1, 0, 200, false, 201},
                      PlacedFaultCase{"Udp03msDuplicate400Lost401", false, false, 0.3, 0, 400, false, 401},
                      PlacedFaultCase{"Udp4msDuplicate100Lost102", false, false, 4, 0, 100, false, 102},
                      PlacedFaultCase{"Udp1msReply800Again2msLaterLost805", false, false, 1, 0, 800, true, 805},
                      PlacedFaultCase{"UdpFlash03msDuplicate2700Lost2702", false, true, 0.3, 0, 2700, false, 2702},
                      PlacedFaultCase{"UdpFlashJittered1msDuplicate300Lost301", false, true, 1, 1, 300, false, 301},
                      PlacedFaultCase{"Serial1msDuplicate100Lost103", true, false, 1, 0, 100, false, 103},
                      PlacedFaultCase{"SerialFlash03msDuplicate1000Lost1001", true, true, 0.3, 0, 1000, false, 1001}),
    [](const ::testing::TestParamInfo<PlacedFaultCase>& info) { return std::string(info.param.name); });

// ---------------------------------------------------------- version stamp ----

TEST(VersionStampTest, ReadsMajorAndMinorIntoMinorFirst) {
  uint8_t stamp[2] = {1, 1};
  EXPECT_TRUE(ParseVersionStamp(L"V1.8", stamp));
  EXPECT_EQ(stamp[0], 8);
  EXPECT_EQ(stamp[1], 1);
  EXPECT_TRUE(ParseVersionStamp(L"V2.10 beta", stamp));
  EXPECT_EQ(stamp[0], 10);
  EXPECT_EQ(stamp[1], 2);
  EXPECT_TRUE(ParseVersionStamp(L"V300.1", stamp));  // low eight bits
  EXPECT_EQ(stamp[0], 1);
  EXPECT_EQ(stamp[1], 300 & 0xFF);
}

TEST(VersionStampTest, TextsThatDoNotReadLeaveTheStampAlone) {
  for (const wchar_t* text : {L"", L"1.8", L"v1.8", L"V1", L"V1.", L"V.8", L"V-1.8", L"Vx.8"}) {
    uint8_t stamp[2] = {1, 1};
    EXPECT_FALSE(ParseVersionStamp(text, stamp)) << text;
    EXPECT_EQ(stamp[0], 1);
    EXPECT_EQ(stamp[1], 1);
  }
}

}  // namespace
