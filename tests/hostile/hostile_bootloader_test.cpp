// Hostile bootloaders: a simulated unit whose replies are oversized, never
// end, answer other commands or carry wrong sequence numbers. The update
// must end with the failure that names what happened (never a success),
// exactly one outcome, and the program must take a whole update at once
// when the same unit behaves again. Over UDP and over a pseudo-terminal.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "app/messages.h"
#include "boot/bootloader_session.h"
#include "link/com_transport.h"
#include "sim/hostile_peer.h"
#include "tests/faults/update_harness.h"

namespace {

using sim::HostileMode;

struct Param {
  HostileMode mode;
  bool serial;
  bool sequence;
  uint32_t expected;  // the outcome while the unit is hostile
};

std::string Name(const testing::TestParamInfo<Param>& info) {
  std::string name = sim::HostileModeName(info.param.mode);
  for (char& c : name)
    if (c == '-') c = '_';
  return name + (info.param.serial ? "_serial" : "_udp") + (info.param.sequence ? "_sequence" : "_plain");
}

class HostileBootloaderTest : public testing::TestWithParam<Param> {
 protected:
  void SetUp() override {
    sim::UnitOptions options;
    options.udpPort = GetParam().serial ? -1 : 0;
    options.serial = GetParam().serial;
    options.bootloader.sequenceSupport = GetParam().sequence;
    unit_ = std::make_unique<sim::SimulatedUnit>(options);
    peer_ = std::make_unique<sim::HostilePeer>(*unit_, GetParam().mode);
    std::string error;
    ASSERT_TRUE(unit_->Start(&error)) << error;
  }
  void TearDown() override {
    peer_.reset();  // the flood stops before the unit does
    if (unit_) unit_->Stop();
  }
  Transport* Link() { return GetParam().serial ? faults::SerialLink(*unit_) : faults::UdpLink(*unit_); }

  std::unique_ptr<sim::SimulatedUnit> unit_;
  std::unique_ptr<sim::HostilePeer> peer_;
};

TEST_P(HostileBootloaderTest, FailsAsItMustAndThenUpdatesExactly) {
  const faults::UpdateOutcome hostile = faults::RunUpdate(unit_.get(), Link());
  EXPECT_EQ(hostile.outcomes, 1);
  EXPECT_STREQ(faults::MessageName(hostile.message), faults::MessageName(GetParam().expected));
  if (hostile.message == UWM_UPDATE_SUCCEEDED) {
    EXPECT_TRUE(hostile.memoryExact);
  }
  if (GetParam().mode != HostileMode::None && GetParam().expected != UWM_UPDATE_SUCCEEDED) {
    EXPECT_GT(peer_->RepliesShaped(), 0u);
  }

  peer_->SetMode(HostileMode::None);
  const faults::UpdateOutcome again = faults::RunUpdate(unit_.get(), Link());
  EXPECT_EQ(again.outcomes, 1);
  EXPECT_STREQ(faults::MessageName(again.message), "UWM_UPDATE_SUCCEEDED");
  EXPECT_TRUE(again.memoryExact);
}

// No usable answer to the version query: "no response". Wrong sequence
// numbers only matter once the unit has said it takes them; the version
// query itself is plain and answered as it should be, so the update starts
// and fails at its first numbered step. Plain mode goes over the serial line.
INSTANTIATE_TEST_SUITE_P(Modes, HostileBootloaderTest,
                         testing::Values(Param{HostileMode::Oversized, false, true, UWM_NO_RESPONSE},
                                         Param{HostileMode::Oversized, true, false, UWM_NO_RESPONSE},
                                         Param{HostileMode::Endless, false, true, UWM_NO_RESPONSE},
                                         Param{HostileMode::Endless, true, false, UWM_NO_RESPONSE},
                                         Param{HostileMode::ForeignReplies, false, true, UWM_NO_RESPONSE},
                                         Param{HostileMode::ForeignReplies, true, false, UWM_NO_RESPONSE},
                                         Param{HostileMode::WrongSequence, false, true, UWM_UPDATE_FAILED},
                                         Param{HostileMode::WrongSequence, true, true, UWM_UPDATE_FAILED}),
                         Name);

// The frame collector holds 2,045 body bytes: a reply of exactly that size
// is taken whole, one byte more never completes, and the session goes on
// taking normal replies afterwards. Over the serial line, where a frame of
// any size arrives in pieces.
TEST(HostileFrameSizeTest, LargestReplyFitsAndOneMoreByteIsDropped) {
  sim::UnitOptions options;
  options.udpPort = -1;
  options.bootloader.sequenceSupport = false;
  sim::SimulatedUnit unit(options);
  sim::HostilePeer peer(unit, HostileMode::Oversized);
  ASSERT_TRUE(unit.Start());
  BootloaderSession session;
  session.SetTransport(faults::SerialLink(unit));
  ASSERT_TRUE(session.Open());

  // The version reply: command, two version bytes, CRC; 2,040 more make 2,045.
  peer.SetOversizedExtra(2045 - 5);
  ASSERT_TRUE(session.SendCommand(ReadBootloaderVersion, nullptr, 0, 2, 500));
  EXPECT_EQ(session.ReplyLength(), 2045);
  EXPECT_EQ(session.ReplyData()[1], 3);
  EXPECT_EQ(session.ReplyData()[2], 1);

  peer.SetOversizedExtra(2045 - 5 + 1);
  EXPECT_FALSE(session.SendCommand(ReadBootloaderVersion, nullptr, 0, 2, 500));

  peer.SetMode(HostileMode::None);
  ASSERT_TRUE(session.SendCommand(ReadBootloaderVersion, nullptr, 0, 2, 500));
  EXPECT_EQ(session.ReplyLength(), 5);
  session.Close();
  session.SetTransport(nullptr);
  peer.SetMode(HostileMode::None);
  unit.Stop();
}

}  // namespace
