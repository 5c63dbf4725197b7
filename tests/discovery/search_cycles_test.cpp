// The shape of the search cycles, driven through a scripted socket: what is
// sent where, how many answers a cycle takes, where the stop flag is looked
// at. Nothing here touches a network.
#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <string>
#include <vector>

#include "app/messages.h"
#include "discovery/ip_discover.h"
#include "tests/discovery/discovery_test_support.h"

namespace {

using platform::InterfaceAddress;

InterfaceAddress Row(uint8_t a, uint8_t b, uint8_t c, uint8_t d, int prefix) {
  const uint32_t host = prefix == 0 ? 0 : 0xFFFFFFFFu << (32 - prefix);
  return {Ipv4(a, b, c, d), Ipv4(host >> 24, (host >> 16) & 0xFF, (host >> 8) & 0xFF, host & 0xFF)};
}

const std::string kBootloadAnswer = "host\r\n02-54\r\nVarno TQ35B - Bootload\r\n";
const std::string kApplicationAnswer = "host\r\n02-54\r\nVarno TQ35B - Application\r\n";

// One step of what the socket saw, in order: "send A.B.C.D:port <bytes>" or
// "receive".
class ScriptedSocket : public DiscoverySocket {
 public:
  struct Reply {
    enum Kind { kData, kEmpty, kFail } kind;
    std::string bytes;
    uint32_t sender;
  };

  explicit ScriptedSocket(std::atomic<int>& stop) : stop_(stop) {}

  void Queue(Reply reply) { replies_.push_back(std::move(reply)); }
  void QueueData(const std::string& bytes, uint32_t sender) { Queue({Reply::kData, bytes, sender}); }
  // Raise the stop flag while the n-th receive (from 1) is under way.
  void StopDuringReceive(int n) { stopAtReceive_ = n; }

  void SendTo(uint32_t address, uint16_t port, const uint8_t* data, size_t length) override {
    const uint8_t* a = reinterpret_cast<const uint8_t*>(&address);
    log.push_back("send " + std::to_string(a[0]) + "." + std::to_string(a[1]) + "." + std::to_string(a[2]) + "." +
                  std::to_string(a[3]) + ":" + std::to_string(port) + " " +
                  std::string(reinterpret_cast<const char*>(data), length));
    if (stop_.load() != 0) sendsAfterStop++;
  }

  int ReceiveFrom(uint8_t* buffer, size_t capacity, uint32_t* sender) override {
    log.push_back("receive");
    ++receives_;
    if (stop_.load() != 0) receivesAfterStop++;
    if (receives_ == stopAtReceive_) stop_ = 1;
    if (replies_.empty()) {
      stop_ = 1;  // the script is over: end the run
      return -1;
    }
    Reply r = replies_.front();
    replies_.pop_front();
    if (r.kind == Reply::kFail) return -1;
    if (r.kind == Reply::kEmpty) return 0;
    if (r.bytes.size() > capacity) return -1;
    std::copy(r.bytes.begin(), r.bytes.end(), buffer);
    *sender = r.sender;
    return static_cast<int>(r.bytes.size());
  }

  std::vector<std::string> log;
  int sendsAfterStop = 0;
  int receivesAfterStop = 0;

 private:
  std::atomic<int>& stop_;
  std::deque<Reply> replies_;
  int receives_ = 0;
  int stopAtReceive_ = -1;
};

class SearchCyclesTest : public ::testing::Test {
 protected:
  void Run(const std::vector<InterfaceAddress>& table, uint32_t pauseMs = 1) {
    MatchString match;
    BuildMatchString(match, L"TQ35B");
    RunSearchCycles(socket, table, match, &window, stop, pauseMs);
  }
  // The log with the sends of each cycle folded into one "send*N" entry.
  std::vector<std::string> Shape() const {
    std::vector<std::string> shape;
    for (const std::string& step : socket.log) {
      const bool send = step.compare(0, 4, "send") == 0;
      if (send && !shape.empty() && shape.back().compare(0, 4, "send") == 0) {
        shape.back() = "send*" + std::to_string(std::stoi(shape.back().substr(5)) + 1);
      } else {
        shape.push_back(send ? "send*1" : step);
      }
    }
    return shape;
  }

  std::atomic<int> stop{0};
  ScriptedSocket socket{stop};
  ReportWindow window;
  const InterfaceAddress loopback = Row(127, 0, 0, 1, 8);
  const InterfaceAddress lan = Row(10, 77, 0, 1, 24);
};

TEST_F(SearchCyclesTest, OneRequestToEachDirectedBroadcastAddressLoopbackSkipped) {
  socket.Queue({ScriptedSocket::Reply::kFail, "", 0});
  Run({loopback, lan, Row(0, 0, 0, 0, 0), Row(192, 168, 1, 130, 25), Row(127, 0, 0, 2, 8)});
  const std::string request = " Discovery: Who is out there ?";
  const std::vector<std::string> expected = {
      "send 10.77.0.255:30303" + request,
      "send 255.255.255.255:30303" + request,
      "send 192.168.1.255:30303" + request,
      "send 127.255.255.255:30303" + request,
      "receive",  // fails: the phase ends, the pause follows
      "send 10.77.0.255:30303" + request,
      "send 255.255.255.255:30303" + request,
      "send 192.168.1.255:30303" + request,
      "send 127.255.255.255:30303" + request,
      "receive",  // the script is over: the stop flag goes up
  };
  EXPECT_EQ(socket.log, expected);
  EXPECT_EQ(socket.receivesAfterStop, 0);
}

TEST_F(SearchCyclesTest, TenAttemptsACycleAndTheRestWaitForTheNext) {
  for (int i = 0; i < 12; ++i) socket.QueueData(kApplicationAnswer, Ipv4(10, 77, 0, static_cast<uint8_t>(20 + i)));
  socket.Queue({ScriptedSocket::Reply::kFail, "", 0});
  Run({loopback, lan});
  const std::vector<std::string> expected = {"send*1",  "receive", "receive", "receive", "receive", "receive",
                                             "receive", "receive", "receive", "receive", "receive", "send*1",
                                             "receive", "receive", "receive", "send*1",  "receive"};
  EXPECT_EQ(Shape(), expected);
  ASSERT_EQ(window.Reports().size(), 12u);
  for (int i = 0; i < 12; ++i) {
    EXPECT_EQ(window.Reports()[i].message, UWM_NETWORK_UNIT_FOUND);
    EXPECT_EQ(window.Reports()[i].lParam, Ipv4(10, 77, 0, static_cast<uint8_t>(20 + i))) << i;
    EXPECT_EQ(window.Reports()[i].wParam, 0u);
  }
}

TEST_F(SearchCyclesTest, FailedReceiveEndsThePhaseAndEmptyAnswersStillCount) {
  socket.QueueData(kBootloadAnswer, Ipv4(10, 77, 0, 20));
  socket.Queue({ScriptedSocket::Reply::kFail, "", 0});  // e.g. an answer that did not fit
  socket.QueueData(kBootloadAnswer, Ipv4(10, 77, 0, 21));
  for (int i = 0; i < 9; ++i) socket.Queue({ScriptedSocket::Reply::kEmpty, "", 0});
  socket.QueueData(kApplicationAnswer, Ipv4(10, 77, 0, 22));
  socket.Queue({ScriptedSocket::Reply::kFail, "", 0});
  Run({loopback, lan});
  std::vector<std::string> expected = {"send*1", "receive", "receive", "send*1"};
  for (int i = 0; i < 10; ++i) expected.push_back("receive");  // one answer, nine empty
  expected.insert(expected.end(), {"send*1", "receive", "receive", "send*1", "receive"});
  EXPECT_EQ(Shape(), expected);

  const std::vector<Report> reports = window.Reports();
  ASSERT_EQ(reports.size(), 3u);
  EXPECT_EQ(reports[0].lParam, Ipv4(10, 77, 0, 20));
  EXPECT_EQ(reports[0].wParam, kUnitInBootload);
  EXPECT_EQ(reports[1].lParam, Ipv4(10, 77, 0, 21));
  EXPECT_EQ(reports[2].lParam, Ipv4(10, 77, 0, 22));
  EXPECT_EQ(reports[2].wParam, 0u);
}

TEST_F(SearchCyclesTest, StopFlagIsSeenBeforeEachReceiveAndBeforeThePause) {
  for (int i = 0; i < 5; ++i) socket.QueueData(kApplicationAnswer, Ipv4(10, 77, 0, 20));
  socket.StopDuringReceive(3);
  const uint32_t started = platform::TickCount();
  Run({loopback, lan}, 5000);  // a pause would show as five seconds
  const uint32_t took = platform::TickCount() - started;
  const std::vector<std::string> expected = {"send*1", "receive", "receive", "receive"};
  EXPECT_EQ(Shape(), expected);
  EXPECT_EQ(window.Reports().size(), 3u);  // the answer of the attempt under way still counts
  EXPECT_EQ(socket.receivesAfterStop, 0);
  EXPECT_EQ(socket.sendsAfterStop, 0);
  EXPECT_LT(took, 4000u) << "no pause after a stop request";
}

TEST_F(SearchCyclesTest, StopFlagAlreadySetSendsNothing) {
  stop = 1;
  Run({loopback, lan});
  EXPECT_TRUE(socket.log.empty());
}

TEST_F(SearchCyclesTest, OnlyLoopbackMeansNothingIsSent) {
  socket.Queue({ScriptedSocket::Reply::kFail, "", 0});
  Run({loopback});
  const std::vector<std::string> expected = {"receive", "receive"};
  EXPECT_EQ(socket.log, expected);
}

}  // namespace

namespace {

// The command-line tool's search reads every answer of a cycle, not ten,
// and goes on while units still turn up; each unit is reported once, with
// the hardware address of its answer's second line.
TEST_F(SearchCyclesTest, CompleteSearchReadsEveryAnswerAndGoesOnWhileUnitsTurnUp) {
  for (int i = 0; i < 12; ++i) socket.QueueData(kApplicationAnswer, Ipv4(10, 77, 0, static_cast<uint8_t>(20 + i)));
  socket.Queue({ScriptedSocket::Reply::kFail, "", 0});
  socket.QueueData("h\r\n02-54-51-4d-00-28\r\nVarno TQ35B - Bootload\r\n", Ipv4(10, 77, 0, 40));
  socket.QueueData(kBootloadAnswer, Ipv4(10, 77, 0, 20));  // heard before
  socket.Queue({ScriptedSocket::Reply::kFail, "", 0});
  socket.Queue({ScriptedSocket::Reply::kFail, "", 0});  // a cycle with nobody new: the end
  MatchString match;
  BuildMatchString(match, L"TQ35B");
  std::vector<NetworkAnswer> heard;
  CompleteSearchLimits limits;
  limits.leastMs = 0;
  limits.pauseMs = 1;
  const CompleteSearchResult result = RunCompleteSearch(
      socket, {loopback, lan}, match, limits, [&](const NetworkAnswer& unit) { heard.push_back(unit); }, &stop);
  std::vector<std::string> expected = {"send*1"};
  expected.insert(expected.end(), 13, "receive");
  expected.insert(expected.end(), {"send*1", "receive", "receive", "receive", "send*1", "receive"});
  EXPECT_EQ(Shape(), expected);
  ASSERT_EQ(heard.size(), 13u);
  EXPECT_EQ(result.units.size(), 13u);
  EXPECT_FALSE(result.cut);
  EXPECT_EQ(heard[0].address, Ipv4(10, 77, 0, 20));
  EXPECT_EQ(heard[0].mac, "");  // "02-54" is no hardware address
  EXPECT_EQ(heard[12].address, Ipv4(10, 77, 0, 40));
  EXPECT_EQ(heard[12].mac, "02-54-51-4D-00-28");
  EXPECT_EQ(heard[12].flags, kUnitInBootload);
}

// A venue that never stops bringing new units is searched up to the cap,
// and the result says the search was cut.
class EndlessVenue : public DiscoverySocket {
 public:
  void SendTo(uint32_t, uint16_t, const uint8_t*, size_t) override {}
  int ReceiveFrom(uint8_t* buffer, size_t capacity, uint32_t* sender) override {
    if (++receives_ % 3 == 0) return -1;  // each cycle brings two new units
    const std::string answer = "h\r\nm\r\nVarno TQ35B - Application\r\n";
    if (answer.size() > capacity) return -1;
    std::copy(answer.begin(), answer.end(), buffer);
    *sender = Ipv4(10, 77, static_cast<uint8_t>(receives_ >> 8), static_cast<uint8_t>(receives_));
    return static_cast<int>(answer.size());
  }

 private:
  int receives_ = 0;
};

TEST(CompleteSearchTest, CapEndsASearchStillFindingUnitsAndSaysSo) {
  EndlessVenue venue;
  MatchString match;
  BuildMatchString(match, L"TQ35B");
  CompleteSearchLimits limits;
  limits.leastMs = 10;
  limits.capMs = 60;
  limits.pauseMs = 5;
  const CompleteSearchResult result = RunCompleteSearch(venue, {Row(10, 77, 0, 1, 24)}, match, limits,
                                                        [](const NetworkAnswer&) {});
  EXPECT_TRUE(result.cut);
  EXPECT_GE(result.units.size(), 2u);
}

}  // namespace
