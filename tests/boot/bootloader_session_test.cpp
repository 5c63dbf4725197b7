// The frame engine against a scripted link: what goes on the wire, which
// replies end the wait, and what the caller reads back.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "allocation_counter.h"
#include "boot/bootloader_session.h"
#include "scripted_transport.h"

using boottest::allocations;
using boottest::Bytes;
using boottest::countAllocations;
using boottest::Concat;
using boottest::ScriptedTransport;
using boottest::Unescape;
using boottest::WireFrame;

struct BootloaderSessionTestAccess {
  static void SetSequence(BootloaderSession& s, uint32_t value) { s.sequence_ = value; }
};

namespace {

// The session owns its link; the fixture keeps a pointer for inspection.
class SessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    link = new ScriptedTransport;
    session.SetTransport(link);
  }
  // Queues `reply` as the answer to the next write only.
  void AnswerNextWrite(const Bytes& reply) {
    link->onWrite = [reply](ScriptedTransport& t, const Bytes&) {
      t.reads.push_back(reply);
      t.onWrite = nullptr;
    };
  }
  Bytes SentBody(size_t write = 0) const { return Unescape(link->writes.at(write)); }
  // The command byte and sequence number of a write.
  Bytes SentHead(size_t write) const {
    const Bytes body = SentBody(write);
    return Bytes(body.begin(), body.begin() + 5);
  }
  Bytes Reply() const { return Bytes(session.ReplyData(), session.ReplyData() + session.ReplyLength()); }

  BootloaderSession session;
  ScriptedTransport* link = nullptr;
};

TEST(Crc16Test, CheckValue) {
  EXPECT_EQ(0x31C3, Crc16(reinterpret_cast<const uint8_t*>("123456789"), 9));
  const uint8_t one = 0x01;
  EXPECT_EQ(0x1021, Crc16(&one, 1));
}

// ------------------------------------------------------------ wire bytes ----

TEST_F(SessionTest, PlainVersionQueryWireBytes) {
  EXPECT_FALSE(session.SendCommand(ReadBootloaderVersion, nullptr, 0, 1, 10));
  ASSERT_EQ(1u, link->writes.size());
  EXPECT_EQ((Bytes{0x01, 0x10, 0x01, 0x21, 0x10, 0x10, 0x04}), link->writes[0]);
}

TEST_F(SessionTest, SequenceVersionQueryRestartsNumberingAndNextCarriesTwo) {
  BootloaderSessionTestAccess::SetSequence(session, 41);  // earlier traffic
  session.SendCommand(ReadApplicationVersion | kSequenceFlag, nullptr, 0, 1, 10);
  session.SendCommand(ReadBootloaderVersion | kSequenceFlag, nullptr, 0, 1, 10);
  session.SendCommand(BeginApplication | kSequenceFlag, nullptr, 0, 1, 10);
  ASSERT_EQ(3u, link->writes.size());
  EXPECT_EQ((Bytes{0x89, 0, 0, 0, 42}), SentHead(0));
  EXPECT_EQ((Bytes{0x01, 0x81, 0x00, 0x00, 0x00, 0x10, 0x01, 0xA0, 0x98, 0x04}), link->writes[1]);
  EXPECT_EQ((Bytes{0x82, 0, 0, 0, 2}), SentHead(2));
  // The plain version query starts a new numbering too.
  session.SendCommand(ReadBootloaderVersion, nullptr, 0, 1, 10);
  session.SendCommand(ExitBootloader | kSequenceFlag, nullptr, 0, 5, 10);
  EXPECT_EQ((Bytes{0x8B, 0, 0, 0, 1}), SentHead(4));
}

TEST_F(SessionTest, SequenceCounterSkipsZeroWhenItWraps) {
  BootloaderSessionTestAccess::SetSequence(session, 0xFFFFFFFEu);
  session.SendCommand(EndFlashImage | kSequenceFlag, nullptr, 0, 1, 10);
  session.SendCommand(EndFlashImage | kSequenceFlag, nullptr, 0, 1, 10);
  session.SendCommand(EndFlashImage | kSequenceFlag, nullptr, 0, 1, 10);
  EXPECT_EQ((Bytes{0x87, 0xFF, 0xFF, 0xFF, 0xFF}), SentHead(0));
  EXPECT_EQ((Bytes{0x87, 0, 0, 0, 1}), SentHead(1));
  EXPECT_EQ((Bytes{0x87, 0, 0, 0, 2}), SentHead(2));
}

TEST_F(SessionTest, ControlBytesInsidePayloadAreEscaped) {
  const uint8_t records[] = {0x04, 0x01, 0x10, 0x05};
  session.SendCommand(ApplicationRecords, records, 4, 1, 10);
  const Bytes& wire = link->writes.at(0);
  const Bytes expectedStart{0x01, 0x03, 0x10, 0x04, 0x10, 0x01, 0x10, 0x10, 0x05};
  ASSERT_GE(wire.size(), expectedStart.size() + 3);
  EXPECT_EQ(expectedStart, Bytes(wire.begin(), wire.begin() + expectedStart.size()));
  EXPECT_EQ(WireFrame({0x03, 0x04, 0x01, 0x10, 0x05}), wire);
}

TEST_F(SessionTest, PayloadRulesPerCommand) {
  const uint8_t version[] = {8, 1, 99, 99};
  session.SendCommand(WriteApplicationVersion, version, 0, 1, 10);
  EXPECT_EQ(WireFrame({0x08, 0x08, 0x00, 0x01, 0x00}), link->writes.at(0));

  uint8_t block[80];
  for (int i = 0; i < 80; ++i) block[i] = static_cast<uint8_t>(0x20 + i);
  session.SendCommand(FlashImageBlock, block, 3, 1, 10);  // the length is not used
  Bytes blockBody{0x06};
  blockBody.insert(blockBody.end(), block, block + 72);
  EXPECT_EQ(WireFrame(blockBody), link->writes.at(1));

  const char* text = "hi";
  session.SendCommand(TextString, reinterpret_cast<const uint8_t*>(text), 0, 1, 10);
  EXPECT_EQ(WireFrame({0x0A, 'h', 'i', 0x00}), link->writes.at(2));

  // Commands without a payload ignore whatever is given.
  session.SendCommand(BeginApplication, block, 40, 1, 10);
  EXPECT_EQ(WireFrame({0x02}), link->writes.at(3));

  const uint8_t records[] = {0x02, 0x00, 0x00, 0x04, 0x1D, 0x00, 0xDD};
  session.SendCommand(ApplicationRecords | kSequenceFlag, records, 7, 1, 10);
  EXPECT_EQ(WireFrame({0x83, 0, 0, 0, 1, 0x02, 0x00, 0x00, 0x04, 0x1D, 0x00, 0xDD}), link->writes.at(4));
}

TEST_F(SessionTest, CodesOutsideTheTableSendNothing) {
  for (int code : {0, 14, 100, 127, 128, 142, 200, 255}) {
    EXPECT_FALSE(session.SendCommand(static_cast<uint8_t>(code), nullptr, 0, 5, 10)) << code;
  }
  EXPECT_TRUE(link->writes.empty());
  EXPECT_EQ(0, link->readCalls);
}

TEST_F(SessionTest, RequestsThatCannotBeBuiltSendNothing) {
  EXPECT_FALSE(session.SendCommand(ApplicationRecords, nullptr, 5, 1, 10));
  EXPECT_FALSE(session.SendCommand(ApplicationRecords, reinterpret_cast<const uint8_t*>("x"), -1, 1, 10));
  EXPECT_FALSE(session.SendCommand(FlashImageBlock, nullptr, 72, 1, 10));
  EXPECT_FALSE(session.SendCommand(WriteApplicationVersion, nullptr, 0, 1, 10));
  EXPECT_FALSE(session.SendCommand(TextString, nullptr, 0, 1, 10));
  // A string with no terminator within reach of the body buffer.
  static uint8_t unterminated[4096];
  std::memset(unterminated, 'a', sizeof unterminated);
  EXPECT_FALSE(session.SendCommand(TextString, unterminated, 0, 1, 10));
  EXPECT_FALSE(session.SendCommand(ReadIdentity, nullptr, 0, 0, 10));  // no tries: no send
  EXPECT_TRUE(link->writes.empty());
}

// The largest frame that fits the 2048-byte transmit buffer goes out; one more
// byte, or escapes that push it over, are refused with nothing written, and
// the numbering goes on as if the refused request had not been made.
TEST_F(SessionTest, OversizedRequestsAreRefused) {
  Bytes payload(2043, 0x55);
  for (int v = 0;; ++v) {  // pick a filler whose CRC needs no escapes
    payload[0] = static_cast<uint8_t>(0x20 + v);
    Bytes body(1 + payload.size(), 0x03);
    std::copy(payload.begin(), payload.end(), body.begin() + 1);
    if (WireFrame(body).size() == 2048) break;
  }
  EXPECT_FALSE(session.SendCommand(ApplicationRecords, payload.data(), 2043, 1, 10));  // unanswered
  ASSERT_EQ(1u, link->writes.size());
  EXPECT_EQ(2048u, link->writes[0].size());

  payload.push_back(0x55);
  EXPECT_FALSE(session.SendCommand(ApplicationRecords, payload.data(), 2044, 1, 10));
  Bytes escapes(1100, 0x10);
  EXPECT_FALSE(session.SendCommand(ApplicationRecords | kSequenceFlag, escapes.data(), 1100, 1, 10));
  EXPECT_FALSE(session.SendCommand(ApplicationRecords, payload.data(), 2100, 1, 10));
  EXPECT_EQ(1u, link->writes.size());

  session.SendCommand(EndFlashImage | kSequenceFlag, nullptr, 0, 1, 10);
  EXPECT_EQ((Bytes{0x87, 0, 0, 0, 1}), SentHead(1));
}

// --------------------------------------------------------- reply matching ----

TEST_F(SessionTest, SequenceReplyIsRewrittenInPlainForm) {
  AnswerNextWrite(WireFrame({0x81, 0, 0, 0, 1, 0x03, 0x02, 0x01}));
  ASSERT_TRUE(session.SendCommand(ReadBootloaderVersion | kSequenceFlag, nullptr, 0, 5, 500));
  ASSERT_EQ(6, session.ReplyLength());  // 10 received, less the sequence field
  const uint8_t* r = session.ReplyData();
  EXPECT_EQ(0x01, r[0]);
  EXPECT_EQ(0x03, r[1]);
  EXPECT_EQ(0x02, r[2]);
  EXPECT_EQ(0x01, r[3]);
  const uint16_t crc = Crc16(r, 4);
  EXPECT_EQ(crc & 0xFF, r[4]);
  EXPECT_EQ(crc >> 8, r[5]);
}

TEST_F(SessionTest, WrongCommandAndStaleSequenceRepliesAreIgnored) {
  BootloaderSessionTestAccess::SetSequence(session, 4);
  link->onWrite = [](ScriptedTransport& t, const Bytes&) {
    t.reads.push_back(WireFrame({0x83, 0, 0, 0, 5, 0x01}));        // wrong command
    t.reads.push_back(WireFrame({0x82, 0, 0, 0, 4, 0x01}));        // stale number
    t.reads.push_back(WireFrame({0x82, 0, 0, 0}));                 // too short to carry a number
    t.reads.push_back(WireFrame({0x02, 0x01}));                    // plain echo in sequence mode
    t.reads.push_back(WireFrame({0x82, 0, 0, 0, 5, 0x01, 0x77}));  // ours
  };
  ASSERT_TRUE(session.SendCommand(BeginApplication | kSequenceFlag, nullptr, 0, 2, 1000));
  EXPECT_EQ(Unescape(WireFrame({0x02, 0x01, 0x77})), Reply());
  EXPECT_EQ(1u, link->writes.size());
}

TEST_F(SessionTest, ShortSequenceReplyIsNotTakenForOurs) {
  // Seven bytes is the least a numbered reply can be. A six-byte frame whose
  // bytes 1 to 4 (three zeros and its own CRC's low byte) happen to equal the
  // number sent must still be refused: it has no room for a number.
  const uint8_t shortBody[] = {0x85, 0, 0, 0};
  const uint8_t crcLow = Crc16(shortBody, 4) & 0xFF;
  ASSERT_NE(0, crcLow);
  BootloaderSessionTestAccess::SetSequence(session, crcLow - 1u);
  link->onWrite = [crcLow](ScriptedTransport& t, const Bytes&) {
    t.reads.push_back(WireFrame({0x85, 0, 0, 0}));
    t.reads.push_back(WireFrame({0x85, 0, 0, 0, crcLow, 0x01}));
  };
  ASSERT_TRUE(session.SendCommand(BeginFlashImage | kSequenceFlag, nullptr, 0, 2, 1000));
  EXPECT_EQ(Unescape(WireFrame({0x05, 0x01})), Reply());
}

// ----------------------------------------------------------------- receiver ----

TEST_F(SessionTest, BadCrcEndKeepsCollecting) {
  // 02 01 AA BB with a wrong "CRC" ends in an EOT that is ignored; the bytes
  // after it are appended, and a later EOT whose CRC covers all of them ends
  // the frame.
  const Bytes head{0x02, 0x01, 0xAA, 0xBB};
  Bytes whole = head;
  const uint16_t crc = Crc16(whole.data(), 4);
  whole.push_back(crc & 0xFF);
  whole.push_back(crc >> 8);
  const uint8_t start[] = {0x02, 0x01};
  ASSERT_NE(Crc16(start, 2), 0xBBAA);
  link->onWrite = [&](ScriptedTransport& t, const Bytes&) {
    t.reads.push_back({0x01, 0x02, 0x10, 0x01, 0xAA, 0xBB, 0x04});
    t.reads.push_back({static_cast<uint8_t>(crc & 0xFF), static_cast<uint8_t>(crc >> 8), 0x04});
  };
  for (int b : {crc & 0xFF, crc >> 8}) ASSERT_FALSE(b == 0x01 || b == 0x04 || b == 0x10);
  ASSERT_TRUE(session.SendCommand(BeginApplication, nullptr, 0, 1, 1000));
  EXPECT_EQ(whole, Reply());
}

TEST_F(SessionTest, EscapeSplitAcrossReadsStoresData) {
  Bytes wire = WireFrame({0x02, 0x04});  // 01 02 10 04 crc.. 04
  ASSERT_EQ(0x10, wire[2]);
  link->onWrite = [wire](ScriptedTransport& t, const Bytes&) {
    t.reads.push_back(Bytes(wire.begin(), wire.begin() + 3));  // ends in DLE
    t.reads.push_back(Bytes(wire.begin() + 3, wire.end()));    // starts with 04
  };
  ASSERT_TRUE(session.SendCommand(BeginApplication, nullptr, 0, 1, 1000));
  EXPECT_EQ(Unescape(wire), Reply());
  EXPECT_EQ(0x04, session.ReplyData()[1]);
}

TEST_F(SessionTest, ReplyBehindAForeignFrameInTheSameReadIsTaken) {
  // A reply to another command, and a stale numbered reply to this one,
  // complete first; our reply behind them in the same read still counts,
  // with one try, so the command does not wait out a time-out for it.
  BootloaderSessionTestAccess::SetSequence(session, 6);
  const uint8_t numbered = BeginApplication | kSequenceFlag;
  AnswerNextWrite(Concat(Concat(WireFrame({0x0C, 0x01}), WireFrame({numbered, 0, 0, 0, 6, 0x01})),
                         WireFrame({numbered, 0, 0, 0, 7, 0x01})));
  ASSERT_TRUE(session.SendCommand(numbered, nullptr, 0, 1, 1000));
  EXPECT_EQ(Unescape(WireFrame({BeginApplication, 0x01})), Reply());
  EXPECT_EQ(1u, link->writes.size());
  EXPECT_EQ(2u, session.StrayFrames());  // the update learns that the line repeats replies
}

TEST_F(SessionTest, WhatFollowsOurReplyInTheSameReadIsDropped) {
  // Our reply completes first; a frame behind it in that read is not kept
  // for the next command, which must get an answer of its own.
  AnswerNextWrite(Concat(WireFrame({0x02, 0x01}), WireFrame({0x05, 0x01})));
  ASSERT_TRUE(session.SendCommand(BeginApplication, nullptr, 0, 1, 1000));
  EXPECT_EQ(Unescape(WireFrame({0x02, 0x01})), Reply());
  EXPECT_EQ(1u, session.StrayFrames());
  EXPECT_FALSE(session.SendCommand(BeginFlashImage, nullptr, 0, 1, 1000));
  AnswerNextWrite(WireFrame({0x02, 0x01}));
  ASSERT_TRUE(session.SendCommand(BeginApplication, nullptr, 0, 1, 1000));
  EXPECT_EQ(0u, session.StrayFrames());  // a clean exchange passes nothing over
}

TEST_F(SessionTest, RunawayFrameIsDroppedAndCollectionStartsOver) {
  // 2046 bytes after an SOH with no end: the collector starts over at the
  // next byte, so the frame that follows (without an SOH of its own) counts.
  Bytes runaway{0x01};
  runaway.insert(runaway.end(), 2046, 0x5A);
  Bytes tail = WireFrame({0x02, 0x01});
  tail.erase(tail.begin());  // no SOH
  // Reads carry at most 2038 bytes: the runaway comes in two.
  link->onWrite = [&](ScriptedTransport& t, const Bytes&) {
    t.reads.push_back(Bytes(runaway.begin(), runaway.begin() + 1000));
    t.reads.push_back(Bytes(runaway.begin() + 1000, runaway.end()));
    t.reads.push_back(tail);
  };
  ASSERT_TRUE(session.SendCommand(BeginApplication, nullptr, 0, 2, 1000));
  EXPECT_EQ(Unescape(WireFrame({0x02, 0x01})), Reply());

  // 2045 bytes do not trigger the reset, so the same tail makes a frame of
  // 2049 bytes that cannot complete; nothing runs past the buffer.
  runaway.pop_back();
  EXPECT_FALSE(session.SendCommand(BeginApplication, nullptr, 0, 2, 50));
}

// ------------------------------------------------------ tries and time-outs ----

TEST_F(SessionTest, SilentLinkGetsEveryTryWithTheSameBytes) {
  BootloaderSessionTestAccess::SetSequence(session, 9);
  EXPECT_FALSE(session.SendCommand(BeginApplication | kSequenceFlag, nullptr, 0, 4, 15));
  ASSERT_EQ(4u, link->writes.size());
  for (const Bytes& w : link->writes) EXPECT_EQ(link->writes[0], w);
  EXPECT_EQ((Bytes{0x82, 0, 0, 0, 10}), SentHead(0));
}

TEST_F(SessionTest, EndUpdateAndExitAreSentOnceWhateverTheTries) {
  EXPECT_FALSE(session.SendCommand(EndUpdate, nullptr, 0, 5, 1000));
  EXPECT_EQ(1u, link->writes.size());
  EXPECT_EQ(2, link->readCalls);  // gives up after two reads
  EXPECT_FALSE(session.SendCommand(EndUpdate | kSequenceFlag, nullptr, 0, 9, 1000));
  EXPECT_FALSE(session.SendCommand(ExitBootloader, nullptr, 0, 5, 1000));
  EXPECT_FALSE(session.SendCommand(ExitBootloader | kSequenceFlag, nullptr, 0, 5, 1000));
  EXPECT_EQ(4u, link->writes.size());
}

// A reply that completes in the very pass in which the last try ran out is
// still taken, and that must not cut the next command short.
TEST_F(SessionTest, ReplyAtTheLastMomentDoesNotShortenTheNextCommand) {
  link->onWrite = [](ScriptedTransport& t, const Bytes&) {
    t.reads.push_back({});
    t.reads.push_back(WireFrame({0x07, 0x01}));
    t.onWrite = nullptr;
  };
  ASSERT_TRUE(session.SendCommand(EndFlashImage, nullptr, 0, 1, 1000));
  link->onWrite = [](ScriptedTransport& t, const Bytes&) {
    t.reads.push_back({});
    t.reads.push_back({});
    t.reads.push_back(WireFrame({0x0C, 0x01}));
    t.onWrite = nullptr;
  };
  EXPECT_TRUE(session.SendCommand(RestoreFactoryDefaults, nullptr, 0, 2, 1000));
  EXPECT_EQ(2u, link->writes.size());
}

TEST_F(SessionTest, StreamOfForeignFramesDoesNotHoldTheExchange) {
  // Every read brings a complete frame that is not ours; the tries still
  // run out. (Closing after many reads only keeps a faulty engine from
  // hanging the test.)
  link->closeAfterReads = 500;
  link->onWrite = [](ScriptedTransport& t, const Bytes&) {
    for (int i = 0; i < 600; ++i) t.reads.push_back(WireFrame({0x0D, 'x'}));
  };
  EXPECT_FALSE(session.SendCommand(ReadBootloaderVersion, nullptr, 0, 1, 1000));
  EXPECT_EQ(2, link->readCalls);
}

TEST_F(SessionTest, ClosedLinkEndsTheExchange) {
  link->open = false;
  EXPECT_FALSE(session.SendCommand(ReadBootloaderVersion, nullptr, 0, 5, 1000));
  EXPECT_TRUE(link->writes.empty());

  link->open = true;
  link->closeAfterReads = link->readCalls + 3;
  const uint32_t start = platform::TickCount();
  EXPECT_FALSE(session.SendCommand(ReadBootloaderVersion, nullptr, 0, 5, 1000));
  EXPECT_LT(platform::TickCount() - start, 900u);  // did not wait for the tries
  EXPECT_EQ(1u, link->writes.size());
}

// Answers every frame with itself (a valid, matching reply) from fixed
// storage, so that any allocation counted is the engine's own.
class EchoTransport : public Transport {
 public:
  int Open() override { return 1; }
  int IsOpen() override { return 1; }
  int Write(const uint8_t* data, int length) override {
    std::memcpy(last_, data, static_cast<size_t>(length));
    length_ = length;
    return 1;
  }
  uint16_t Read(uint8_t* buffer, int) override {
    const int n = length_;
    std::memcpy(buffer, last_, static_cast<size_t>(n));
    length_ = 0;
    return static_cast<uint16_t>(n);
  }
  const wchar_t* Kind() override { return L"TEST"; }

 private:
  uint8_t last_[BootloaderSession::kFrameSize];
  int length_ = 0;
};

TEST(SessionCostTest, FramesCostNoAllocation) {
  if (!boottest::kCountingAllocations) GTEST_SKIP() << "allocations are not counted under AddressSanitizer";
  BootloaderSession session;
  session.SetTransport(new EchoTransport);
  uint8_t records[168];
  for (int i = 0; i < 168; ++i) records[i] = static_cast<uint8_t>(i * 7);
  allocations = 0;
  countAllocations = true;
  int accepted = 0;
  for (int i = 0; i < 50; ++i) {
    accepted += session.SendCommand(ApplicationRecords | kSequenceFlag, records, 168, 5, 1000);
    accepted += session.SendCommand(ReadBootloaderVersion, nullptr, 0, 5, 1000);
  }
  countAllocations = false;
  EXPECT_EQ(100, accepted);
  EXPECT_EQ(0, allocations.load());
}

// ------------------------------------------------------------------- link slot ----

TEST(SessionLinkSlotTest, ReplacedLinkIsClosedThenDeleted) {
  struct Probe : ScriptedTransport {
    Probe(int* closesAtDelete, bool* deleted) : ScriptedTransport(deleted), out(closesAtDelete) {}
    ~Probe() override { *out = closes; }
    int* out;
  };
  int firstCloses = -1, secondCloses = -1, thirdCloses = -1;
  bool firstDeleted = false, secondDeleted = false, thirdDeleted = false;
  auto* first = new Probe(&firstCloses, &firstDeleted);
  auto* second = new Probe(&secondCloses, &secondDeleted);
  auto* third = new Probe(&thirdCloses, &thirdDeleted);
  {
    BootloaderSession session;
    EXPECT_EQ(0, session.Open());  // no link yet
    session.SetTransport(first);
    EXPECT_EQ(1, session.Open());
    session.SetTransport(first);  // the same link again: kept
    EXPECT_FALSE(firstDeleted);
    session.SetTransport(second);
    EXPECT_TRUE(firstDeleted);
    EXPECT_EQ(1, firstCloses);  // it was open: closed before deletion
    second->open = false;
    session.SetTransport(nullptr);
    EXPECT_TRUE(secondDeleted);
    EXPECT_EQ(0, secondCloses);  // a closed link is not closed again
    EXPECT_EQ(nullptr, session.GetTransport());
    EXPECT_FALSE(session.SendCommand(ReadBootloaderVersion, nullptr, 0, 5, 10));
    session.SetTransport(third);
  }
  EXPECT_TRUE(thirdDeleted);  // the destructor deletes the held link
}

}  // namespace
