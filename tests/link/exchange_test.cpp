// Exchange's reply collection, driven by a link whose reads are scripted:
// bytes pending before the command (drained), then one chunk per read.
#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "link/transport.h"
#include "platform/platform.h"

namespace {

class ScriptedTransport : public Transport {
 public:
  explicit ScriptedTransport(const wchar_t* kind) : kind_(kind) {}

  int Open() override { return 1; }
  int Write(const uint8_t* data, int length) override {
    writes.emplace_back(reinterpret_cast<const char*>(data), static_cast<size_t>(length));
    return refuseWrites ? 0 : 1;
  }
  // Before the first write the pending bytes come out (the drain); after it
  // the reply chunks, one per read, cut to the capacity asked for. An empty
  // chunk is a read that found nothing.
  uint16_t Read(uint8_t* buffer, int capacity) override {
    std::deque<std::string>& source = writes.empty() ? pending : chunks;
    if (writes.empty())
      ++drainReads;
    else
      readCapacities.push_back(capacity);
    if (!writes.empty() && readDelayMs) platform::SleepMs(readDelayMs);
    if (source.empty()) return 0;
    std::string& next = source.front();
    const size_t n = std::min(next.size(), static_cast<size_t>(capacity));
    std::memcpy(buffer, next.data(), n);
    next.erase(0, n);
    if (next.empty()) source.pop_front();
    return static_cast<uint16_t>(n);
  }
  const wchar_t* Kind() override { return kind_; }

  std::deque<std::string> pending;
  std::deque<std::string> chunks;
  std::vector<std::string> writes;
  std::vector<int> readCapacities;  // reads after the command
  int drainReads = 0;
  bool refuseWrites = false;
  unsigned readDelayMs = 0;

 private:
  const wchar_t* kind_;
};

struct Outcome {
  int result;
  std::string reply;
};

Outcome Collect(ScriptedTransport& link, unsigned capacity = 32, unsigned timeoutMs = 200,
                const char* command = "<SY,BQ/>") {
  std::vector<char> buffer(capacity + 8, '#');  // guard bytes past the capacity
  const int result = link.Exchange(command, buffer.data(), capacity, timeoutMs);
  for (unsigned i = capacity; i < buffer.size(); ++i) EXPECT_EQ(buffer[i], '#') << "written past the buffer at " << i;
  return {result, std::string(buffer.data(), strnlen(buffer.data(), capacity))};
}

// A line that never falls quiet before the command: the drain must not wait
// for a silence that never comes. Each read takes a millisecond, as a
// serial line full of bytes does.
class NeverQuietTransport : public ScriptedTransport {
 public:
  NeverQuietTransport() : ScriptedTransport(L"TCP") {}
  uint16_t Read(uint8_t* buffer, int capacity) override {
    if (!writes.empty()) return ScriptedTransport::Read(buffer, capacity);
    ++drainReads;
    if (drainReads > kGiveUp || capacity <= 0) return 0;  // so that a broken drain fails instead of hanging
    platform::SleepMs(1);
    std::memset(buffer, 'x', static_cast<size_t>(capacity));
    return static_cast<uint16_t>(capacity);
  }
  static constexpr int kGiveUp = 20000;
};

TEST(ExchangeDrain, LineThatNeverFallsQuietStillGetsTheCommand) {
  NeverQuietTransport link;
  link.chunks = {"<sy,bq = ud/>"};
  Outcome out = Collect(link, 32, 200);
  EXPECT_LT(link.drainReads, NeverQuietTransport::kGiveUp);
  ASSERT_FALSE(link.writes.empty());
  EXPECT_EQ(link.writes[0], "<SY,BQ/>");
  EXPECT_EQ(out.result, 1);
  EXPECT_EQ(out.reply, "<sy,bq = ud/>");
}

// ------------------------------------------------------ finding the reply ----

TEST(ExchangeReply, StrayBytesBeforeTheStartAreDiscarded) {
  ScriptedTransport link(L"COM");
  link.chunks = {"junk\r\n<sy,bq = ud/>"};
  Outcome out = Collect(link);
  EXPECT_EQ(out.result, 1);
  EXPECT_EQ(out.reply, "<sy,bq = ud/>");
}

TEST(ExchangeReply, StrayBytesFromEarlierReadsAreDiscardedToo) {
  ScriptedTransport link(L"COM");
  link.chunks = {"noise", "", "more>", "xx<sy,br/>"};
  Outcome out = Collect(link);
  EXPECT_EQ(out.result, 1);
  EXPECT_EQ(out.reply, "<sy,br/>");
}

TEST(ExchangeReply, ReplySplitOverReadsIsJoined) {
  ScriptedTransport link(L"TCP");
  link.chunks = {"<sy,b", "", "r/>"};
  Outcome out = Collect(link);
  EXPECT_EQ(out.result, 1);
  EXPECT_EQ(out.reply, "<sy,br/>");
}

TEST(ExchangeReply, TextAfterTheLastEndIsCut) {
  ScriptedTransport link(L"TCP");
  link.chunks = {"<sy,b", "q=ud/> tail>and more\r\n"};
  Outcome out = Collect(link);
  EXPECT_EQ(out.result, 1);
  EXPECT_EQ(out.reply, "<sy,bq=ud/> tail>");
}

TEST(ExchangeReply, EndBeforeAnyStartIsNotTakenAsTheEnd) {
  ScriptedTransport link(L"COM");
  link.chunks = {"a>b", "c><sy,b", "e = ue/>"};
  Outcome out = Collect(link);
  EXPECT_EQ(out.result, 1);
  EXPECT_EQ(out.reply, "<sy,be = ue/>");

  ScriptedTransport silent(L"COM");
  silent.chunks = {"only noise>"};
  out = Collect(silent, 32, 50);
  EXPECT_EQ(out.result, 0);
  EXPECT_EQ(out.reply, "only noise>");

  ScriptedTransport sameRead(L"COM");
  sameRead.chunks = {"x>y<ab"};  // the ">" precedes the "<": no end yet
  out = Collect(sameRead, 32, 50);
  EXPECT_EQ(out.result, 0);
  EXPECT_EQ(out.reply, "<ab");
}

// ----------------------------------------------------- the buffer and time ----

TEST(ExchangeBuffer, ReadsAskForWhatIsLeftLessOneForTheTerminator) {
  ScriptedTransport link(L"COM");
  link.chunks = {"<ab", "cd", "/>"};
  Outcome out = Collect(link, 16);
  EXPECT_EQ(out.result, 1);
  EXPECT_EQ(out.reply, "<abcd/>");
  EXPECT_EQ(link.readCapacities, (std::vector<int>{15, 12, 10}));
}

TEST(ExchangeBuffer, ReplyWithoutEndInTheBufferFailsAndKeepsTheBytes) {
  ScriptedTransport link(L"COM");
  link.chunks = {"<abcdefghijklmnop/>"};
  Outcome out = Collect(link, 8, 60);
  EXPECT_EQ(out.result, 0);
  EXPECT_EQ(out.reply, "<abcdef");  // capacity - 1 bytes and the terminator
  ASSERT_GE(link.readCapacities.size(), 2u);
  EXPECT_EQ(link.readCapacities[0], 7);
  for (size_t i = 1; i < link.readCapacities.size(); ++i) EXPECT_EQ(link.readCapacities[i], 0);
}

TEST(ExchangeBuffer, FailedReplyReadsBackAsExactlyTheBytesKept) {
  // The move to the "<" must not leave the discarded bytes behind.
  ScriptedTransport link(L"COM");
  link.chunks = {"abcdefgh<x", "y"};
  Outcome out = Collect(link, 32, 60);
  EXPECT_EQ(out.result, 0);
  EXPECT_EQ(out.reply, "<xy");

  ScriptedTransport oneRead(L"COM");
  oneRead.chunks = {"abcdefgh<x"};
  out = Collect(oneRead, 32, 0);
  EXPECT_EQ(out.result, 0);
  EXPECT_EQ(out.reply, "<x");
}

TEST(ExchangeBuffer, StrayBytesWaitInTheBufferUntilAStartArrives) {
  ScriptedTransport link(L"COM");
  link.chunks = {"garbage", "", "", "<ok/>"};
  EXPECT_EQ(Collect(link).reply, "<ok/>");
  EXPECT_EQ(link.readCapacities[1], 31 - 7);  // the stray bytes still count
}

TEST(ExchangeBuffer, TooSmallBuffersAreHandledSafely) {
  ScriptedTransport none(L"COM");
  none.chunks = {"<a/>"};
  char untouched = '#';
  EXPECT_EQ(none.Exchange("<SY,BQ/>", &untouched, 0, 50), 0);
  EXPECT_EQ(untouched, '#');

  ScriptedTransport one(L"COM");
  one.chunks = {"<a/>"};
  Outcome out = Collect(one, 1, 30);
  EXPECT_EQ(out.result, 0);
  EXPECT_EQ(out.reply, "");
  for (int capacity : one.readCapacities) EXPECT_EQ(capacity, 0);
}

TEST(ExchangeTime, BudgetZeroStillRunsOnePass) {
  ScriptedTransport answered(L"COM");
  answered.chunks = {"<sy,br/>"};
  EXPECT_EQ(Collect(answered, 32, 0).result, 1);

  ScriptedTransport silent(L"COM");
  EXPECT_EQ(Collect(silent, 32, 0).result, 0);
  EXPECT_EQ(silent.readCapacities.size(), 1u);
}

TEST(ExchangeTime, WholeTimeSinceStartIsChargedInEveryPass) {
  // Each read waits 5 ms like a serial poll. Charging the time since the
  // start again in every pass ends a 1000 ms budget after about 19 passes;
  // charging each pass's own time would take about 200. Load on the machine
  // only makes the count smaller.
  ScriptedTransport silent(L"COM");
  silent.readDelayMs = 5;
  EXPECT_EQ(Collect(silent, 16, 1000).result, 0);
  EXPECT_GE(silent.readCapacities.size(), 1u);
  EXPECT_LE(silent.readCapacities.size(), 25u);
}

// ------------------------------------------------- drain and what is sent ----

TEST(ExchangeSend, PendingBytesAreDrainedBeforeTheCommand) {
  ScriptedTransport link(L"COM");
  link.pending = {"<sy,bq = ue/>", "<stale/>"};
  link.chunks = {"<sy,bq = ud/>"};
  Outcome out = Collect(link);
  EXPECT_EQ(out.reply, "<sy,bq = ud/>");
  EXPECT_EQ(link.drainReads, 3);  // two with bytes, one that found nothing
}

TEST(ExchangeSend, SerialCommandGoesOutBare) {
  ScriptedTransport link(L"COM");
  link.chunks = {"<sy,br/>"};
  Collect(link, 32, 200, "<SY,BR/>");
  EXPECT_EQ(link.writes, (std::vector<std::string>{"<SY,BR/>"}));
}

TEST(ExchangeSend, NetworkCommandIsFollowedByCrLf) {
  for (const wchar_t* kind : {L"IP", L"TCP", L"com"}) {
    ScriptedTransport link(kind);
    link.chunks = {"<sy,br/>"};
    Collect(link, 32, 200, "<SY,BR/>");
    EXPECT_EQ(link.writes, (std::vector<std::string>{"<SY,BR/>", "\r\n"})) << "kind " << kind[0];
  }
}

TEST(ExchangeSend, RefusedWriteFailsAtOnce) {
  ScriptedTransport link(L"TCP");
  link.refuseWrites = true;
  link.pending = {"<old/>"};
  link.chunks = {"<sy,br/>"};
  Outcome out = Collect(link);
  EXPECT_EQ(out.result, 0);
  EXPECT_EQ(out.reply, "");           // the drained bytes are not handed back
  EXPECT_EQ(link.writes.size(), 1u);  // no line end after a refused command
  EXPECT_TRUE(link.readCapacities.empty());
}

}  // namespace
