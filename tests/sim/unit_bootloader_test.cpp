// The simulated bootloader's answers and memory, frame by frame, and its
// framing helpers. These are what the host's end-to-end tests lean on, so a
// wrong answer here would let a host fault through.
#include <gtest/gtest.h>

#include <vector>

#include "boot/bootloader_session.h"
#include "sim/fault_injector.h"
#include "sim/unit_bootloader.h"
#include "sim/unit_frames.h"

namespace {

using Bytes = std::vector<uint8_t>;
using sim::FrameRecord;

Bytes Record(uint8_t type, uint16_t offset, const Bytes& data) {
  Bytes r{static_cast<uint8_t>(data.size()), static_cast<uint8_t>(offset >> 8), static_cast<uint8_t>(offset), type};
  r.insert(r.end(), data.begin(), data.end());
  uint8_t sum = 0;
  for (uint8_t b : r) sum = static_cast<uint8_t>(sum + b);
  r.push_back(static_cast<uint8_t>(-sum));
  return r;
}

Bytes Numbered(uint8_t code, uint32_t sequence, const Bytes& payload = {}) {
  Bytes b{static_cast<uint8_t>(code | 0x80), static_cast<uint8_t>(sequence >> 24), static_cast<uint8_t>(sequence >> 16),
          static_cast<uint8_t>(sequence >> 8), static_cast<uint8_t>(sequence)};
  b.insert(b.end(), payload.begin(), payload.end());
  return b;
}

Bytes Plain(uint8_t code, const Bytes& payload = {}) {
  Bytes b{code};
  b.insert(b.end(), payload.begin(), payload.end());
  return b;
}

class UnitBootloaderTest : public ::testing::Test {
 protected:
  sim::FrameResult Send(const Bytes& body) { return unit.Handle(sim::Channel::Udp, body.data(), body.size()); }
  sim::UnitBootloader unit;
};

TEST_F(UnitBootloaderTest, VersionReplyTellsSequenceSupport) {
  auto r = Send(Plain(1));
  ASSERT_TRUE(r.answer);
  EXPECT_EQ((Bytes{1, 3, 1, 1}), r.replyBody);

  sim::BootloaderOptions o;
  o.sequenceSupport = false;
  o.versionMajor = 2;
  o.versionMinor = 9;
  unit.SetOptions(o);
  EXPECT_EQ((Bytes{1, 2, 9}), Send(Plain(1)).replyBody);
  // Without support a numbered frame is not understood and goes unanswered.
  EXPECT_FALSE(Send(Numbered(1, 1)).answer);
  EXPECT_EQ(1u, unit.Counters().framesUnsupported);
}

TEST_F(UnitBootloaderTest, ApplicationVersionStampRoundTrips) {
  EXPECT_EQ((Bytes{9, 0xFF, 0xFF, 0xFF, 0xFF}), Send(Plain(9)).replyBody);
  EXPECT_EQ((Bytes{8, 1}), Send(Plain(8, {8, 0, 1, 0})).replyBody);
  EXPECT_EQ((Bytes{9, 8, 0, 1, 0}), Send(Plain(9)).replyBody);
  EXPECT_EQ(0x00010008u, unit.ApplicationVersion());
  EXPECT_EQ((Bytes{8, 0, 1, 0}), unit.VersionStamp());
  EXPECT_EQ((Bytes{8, 0}), Send(Plain(8, {8, 0, 1})).replyBody);  // wrong size
}

TEST_F(UnitBootloaderTest, FlashBlocksLandAtTheirAddress) {
  Bytes block{0x40, 0x00, 0x04, 0x00, 52, 0, 0, 0};
  for (int i = 0; i < 64; ++i) block.push_back(static_cast<uint8_t>(i < 52 ? i + 1 : 0));
  EXPECT_EQ((Bytes{0x86, 0, 0, 0, 7, 1}), Send(Numbered(6, 7, block)).replyBody);
  const auto segments = unit.Flash().Segments();
  ASSERT_EQ(1u, segments.size());
  EXPECT_EQ(0x40040u, segments[0].address);
  ASSERT_EQ(52u, segments[0].bytes.size());  // the zero fill is not written
  EXPECT_EQ(52, segments[0].bytes[51]);

  block[4] = 65;  // more than a block holds
  EXPECT_EQ((Bytes{6, 0}), Send(Plain(6, block)).replyBody);
  block.pop_back();
  EXPECT_EQ((Bytes{6, 0}), Send(Plain(6, block)).replyBody);
  EXPECT_EQ((Bytes{5, 1}), Send(Plain(5)).replyBody);  // erase
  EXPECT_TRUE(unit.Flash().Empty());
}

TEST_F(UnitBootloaderTest, BadRecordFailsTheWholeFrame) {
  Bytes frame = Record(4, 0, {0x1D, 0x00});
  const Bytes data = Record(0, 0x10, {1, 2, 3});
  frame.insert(frame.end(), data.begin(), data.end());
  Bytes bad = frame;
  bad[bad.size() - 2] ^= 0x40;  // a data byte: the checksum no longer fits
  EXPECT_EQ((Bytes{3, 0}), Send(Plain(3, bad)).replyBody);
  EXPECT_TRUE(unit.Program().Empty());
  EXPECT_EQ((Bytes{3, 1}), Send(Plain(3, frame)).replyBody);
  EXPECT_EQ(3u, unit.Program().Size());
  EXPECT_EQ((Bytes{2, 1}), Send(Plain(2)).replyBody);
  EXPECT_TRUE(unit.Program().Empty());
}

// In plain mode a resent programming frame looks like a new one. Its
// records must land where the first copy put them, even when the frame
// changes the extended address half-way.
TEST_F(UnitBootloaderTest, PlainResendOfProgrammingFrameIsIdempotent) {
  Send(Plain(3, Record(4, 0, {0x1D, 0x00})));
  Bytes frame = Record(0, 0x0100, {0xAA});
  for (const Bytes& r : {Record(4, 0, {0x1D, 0x01}), Record(0, 0x0200, {0xBB})})
    frame.insert(frame.end(), r.begin(), r.end());
  ASSERT_EQ((Bytes{3, 1}), Send(Plain(3, frame)).replyBody);
  const sim::SparseMemory once = unit.Program();
  ASSERT_EQ((Bytes{3, 1}), Send(Plain(3, frame)).replyBody);  // the resend
  EXPECT_TRUE(once == unit.Program()) << sim::FirstDifference(unit.Program(), once);
  // And decoding goes on from the address state the frame left behind.
  Send(Plain(3, Record(0, 0x0300, {0xCC})));
  uint8_t v = 0;
  EXPECT_TRUE(unit.Program().Read(0x1D010300, &v));
  EXPECT_EQ(0xCC, v);
}

TEST_F(UnitBootloaderTest, NumberedResendIsAnsweredAgainNotExecutedAgain) {
  Send(Plain(1));
  ASSERT_TRUE(Send(Numbered(2, 1)).answer);
  const Bytes records = Record(0, 0x10, {5, 6});
  const auto first = Send(Numbered(3, 2, records));
  const auto again = Send(Numbered(3, 2, records));
  EXPECT_EQ(first.replyBody, again.replyBody);
  // A late copy of the erase, after programming went on, must not wipe it.
  const auto lateErase = Send(Numbered(2, 1));
  EXPECT_TRUE(lateErase.answer);
  EXPECT_EQ(2u, unit.Program().Size());
  const auto c = unit.Counters();
  EXPECT_EQ(1u, c.perCode[0x83].executed);
  EXPECT_EQ(2u, c.perCode[0x83].received);
  EXPECT_EQ(1u, c.perCode[0x82].executed);
  EXPECT_EQ(2u, c.framesRepeated);
  EXPECT_EQ(FrameRecord::Outcome::Repeated, unit.Log().back().outcome);

  // A plain frame starts a new conversation: number 1 is new again.
  Send(Plain(1));
  Send(Numbered(2, 1));
  EXPECT_EQ(2u, unit.Counters().perCode[0x82].executed);
  EXPECT_TRUE(unit.Program().Empty());
}

TEST_F(UnitBootloaderTest, StatusZeroAndPowerLossByFrameNumber) {
  sim::BootloaderOptions o;
  o.status0At = 2;
  o.silentFrom = 5;
  unit.SetOptions(o);
  EXPECT_EQ((Bytes{1, 3, 1, 1}), Send(Plain(1)).replyBody);                 // frame 1
  EXPECT_EQ((Bytes{9, 0xFF, 0xFF, 0xFF, 0xFF}), Send(Plain(9)).replyBody);  // 2: no status reply
  EXPECT_EQ((Bytes{12, 0}), Send(Plain(12)).replyBody);                     // 3: the first status reply from 2 on
  EXPECT_FALSE(unit.FactoryDefaultsRestored());                             // ...and not carried out
  EXPECT_EQ((Bytes{12, 1}), Send(Plain(12)).replyBody);                     // 4: once only
  EXPECT_FALSE(Send(Plain(12)).answer);                                     // 5: power lost
  EXPECT_FALSE(Send(Plain(1)).answer);
  const auto c = unit.Counters();
  EXPECT_EQ(6u, c.framesReceived);
  EXPECT_EQ(2u, c.framesSilenced);
  EXPECT_EQ(1u, c.failuresInjected);
}

TEST_F(UnitBootloaderTest, ExitAndTextCommands) {
  auto r = Send(Plain(10, {'h', 'e', 'y', 0}));
  EXPECT_EQ("hey", unit.LastText());
  r = Send(Plain(11));
  EXPECT_TRUE(r.leaveBootloader);
  EXPECT_TRUE(r.answer);
  r = Send(Plain(4));
  EXPECT_TRUE(r.updateEnded);
  EXPECT_EQ(1u, unit.Counters().updatesEnded);
  sim::BootloaderOptions o;
  o.answerExit = false;
  unit.SetOptions(o);
  r = Send(Numbered(11, 1));
  EXPECT_TRUE(r.leaveBootloader);
  EXPECT_FALSE(r.answer);
  EXPECT_FALSE(Send(Plain(14)).answer);
  EXPECT_FALSE(Send(Plain(0)).answer);
}

// ------------------------------------------------------------- framing ----

TEST(UnitFramesTest, FramerCutsStreamAtUnescapedEnds) {
  sim::RawFramer framer;
  const Bytes a = sim::EncodeFrame({0x03, 0x04, 0x10, 0x01});
  const Bytes b = sim::EncodeFrame({0x07});
  Bytes stream{0x55, 0x04};  // noise before any frame
  stream.insert(stream.end(), a.begin(), a.end());
  stream.insert(stream.end(), b.begin(), b.end());
  std::vector<Bytes> frames;
  for (uint8_t x : stream)
    if (framer.Feed(x)) frames.push_back(framer.Frame());
  ASSERT_EQ(2u, frames.size());
  EXPECT_EQ(a, frames[0]);
  EXPECT_EQ(b, frames[1]);
  Bytes body;
  Bytes corrupt = a;
  corrupt[2] ^= 0x20;
  EXPECT_FALSE(sim::DecodeRawFrame(corrupt, &body));
}

TEST(FaultInjectorTest, SameSeedSameFaults) {
  sim::FaultRates rates;
  rates.drop = 0.2;
  rates.corrupt = 0.2;
  rates.duplicate = 0.1;
  rates.delay = 0.1;
  sim::FaultInjector a(42, 1, rates), b(42, 1, rates), c(43, 1, rates);
  int differences = 0, drops = 0;
  for (int i = 0; i < 2000; ++i) {
    const auto x = a.Decide(20), y = b.Decide(20), z = c.Decide(20);
    EXPECT_EQ(x.drop, y.drop);
    EXPECT_EQ(x.corruptAt, y.corruptAt);
    EXPECT_EQ(x.corrupt, y.corrupt);
    differences += x.drop != z.drop;
    drops += x.drop;
    ASSERT_NE(0, x.corruptXor);
    ASSERT_LT(x.corruptAt, 20u);
  }
  EXPECT_GT(differences, 0);
  EXPECT_NEAR(400, drops, 100);  // about the rate asked for
}

}  // namespace
