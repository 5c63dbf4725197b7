// Leaving bootload mode end to end against the simulated unit.
#include <gtest/gtest.h>

#include "app/messages.h"
#include "boot/bootload_thread.h"
#include "boot/exit_bootload_thread.h"
#include "tests/update/update_test_support.h"

namespace {

using updatetest::RecordingWindow;
using updatetest::Runs;
using updatetest::TestUnit;

sim::BootloaderOptions Unit(bool sequenceSupport) {
  sim::BootloaderOptions options;
  options.sequenceSupport = sequenceSupport;
  return options;
}

class ExitBootloadTest : public ::testing::Test {
 protected:
  void SetUp() override { updatetest::LoadPackage(); }

  std::string Run(TestUnit& unit, RecordingWindow& window) {
    updatetest::RunWorkerOn(exit_bootload_thread, unit.UdpLink(), &window);
    auto messages = window.Messages();
    // One message and nothing else: no status, no progress.
    return messages.size() == 1 ? updatetest::MessageName(messages[0].id) : "(not exactly one message)";
  }
};

TEST_F(ExitBootloadTest, FiveByteVersionReplyGivesThePlainExitCommand) {
  TestUnit unit(Unit(false));
  ASSERT_TRUE(unit.started()) << unit.error();
  RecordingWindow window;
  EXPECT_EQ(Run(unit, window), "UWM_BOOTLOAD_EXITED");
  EXPECT_EQ(Runs(unit.Codes()), "1 11");
  EXPECT_FALSE(unit->Log().back().sequenced);
  EXPECT_EQ(unit->Mode(), sim::UnitMode::Application);
}

TEST_F(ExitBootloadTest, SixByteVersionReplyNumbersTheExitCommandOne) {
  TestUnit unit(Unit(true));
  ASSERT_TRUE(unit.started()) << unit.error();
  RecordingWindow window;
  EXPECT_EQ(Run(unit, window), "UWM_BOOTLOAD_EXITED");
  EXPECT_EQ(Runs(unit.Codes()), "1 139");
  EXPECT_TRUE(unit->Log().back().sequenced);
  EXPECT_EQ(unit->Log().back().sequence, 1u);
  EXPECT_EQ(unit->Mode(), sim::UnitMode::Application);
}

TEST_F(ExitBootloadTest, LeavesTheUpdatesSequenceModeAlone) {
  for (bool before : {false, true}) {
    sequenceMode = before;
    TestUnit unit(Unit(!before));
    ASSERT_TRUE(unit.started()) << unit.error();
    RecordingWindow window;
    EXPECT_EQ(Run(unit, window), "UWM_BOOTLOAD_EXITED");
    EXPECT_EQ(sequenceMode, before);
  }
}

TEST_F(ExitBootloadTest, UnitThatNeverAnswersTheExitStillCountsAsExited) {
  sim::BootloaderOptions options = Unit(true);
  options.answerExit = false;
  TestUnit unit(options);
  ASSERT_TRUE(unit.started()) << unit.error();
  RecordingWindow window;
  EXPECT_EQ(Run(unit, window), "UWM_BOOTLOAD_EXITED");
  EXPECT_EQ(Runs(unit.Codes()), "1 139");  // sent once, not retried
}

TEST_F(ExitBootloadTest, RefusedVersionSendsNoExitCommand) {
  sim::BootloaderOptions options = Unit(false);
  options.versionMajor = 3;
  options.versionMinor = 3;
  TestUnit unit(options);
  ASSERT_TRUE(unit.started()) << unit.error();
  RecordingWindow window;
  EXPECT_EQ(Run(unit, window), "UWM_WRONG_RESPONSE");
  EXPECT_EQ(Runs(unit.Codes()), "1");
  EXPECT_EQ(unit->Mode(), sim::UnitMode::Bootload);
}

TEST_F(ExitBootloadTest, SilentUnitGivesNoResponse) {
  sim::BootloaderOptions options = Unit(false);
  options.silentFrom = 1;
  TestUnit unit(options);
  ASSERT_TRUE(unit.started()) << unit.error();
  RecordingWindow window;
  EXPECT_EQ(Run(unit, window), "UWM_NO_RESPONSE");
  EXPECT_EQ(Runs(unit.Codes()), "1x5");
}

TEST_F(ExitBootloadTest, ExitOverThePseudoTerminal) {
  TestUnit unit(Unit(false));
  ASSERT_TRUE(unit.started()) << unit.error();
  RecordingWindow window;
  updatetest::RunWorkerOn(exit_bootload_thread, unit.SerialLink(), &window);
  EXPECT_EQ(std::string(updatetest::MessageName(window.Last().id)), "UWM_BOOTLOAD_EXITED");
  EXPECT_EQ(Runs(unit.Codes()), "1 11");
}

}  // namespace
