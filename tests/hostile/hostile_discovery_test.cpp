// Discovery answers of every size a datagram can have, 0 to 65,507 bytes,
// from a hostile unit next to one that behaves, through the real socket and
// search cycles. An answer that fits the 256-byte receive buffer is judged
// by its bytes; a longer one is a failed receive that ends the cycle's
// receive phase, and reports nothing. The unit that behaves is reported in
// every case. Broadcasts: runs only inside the private network namespace
// that tools/netns-run.sh makes (lo with 10.77.0.1/24).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/messages.h"
#include "discovery/ip_discover.h"
#include "sim/announce.h"
#include "tests/discovery/netns_guard.h"

namespace {

uint32_t Address(const char* text) {
  uint32_t a = 0;
  EXPECT_TRUE(ParseIpv4(text, &a)) << text;
  return a;
}

class Reports : public platform::MessageReceiver {
 public:
  void Post(uint32_t message, platform::MessageWParam wParam, platform::MessageLParam lParam) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (message == UWM_NETWORK_UNIT_FOUND)
      reports_.push_back({static_cast<uint32_t>(wParam), static_cast<uint32_t>(lParam)});
  }
  platform::MessageResult Send(uint32_t, platform::MessageWParam, platform::MessageLParam) override { return 0; }
  struct Report {
    uint32_t flags;
    uint32_t address;
  };
  std::vector<Report> From(uint32_t address) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Report> out;
    for (const Report& r : reports_)
      if (r.address == address) out.push_back(r);
    return out;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<Report> reports_;
};

// A bootload answer cut or padded to `size` bytes.
std::string AnswerOfSize(size_t size) {
  std::string answer = "h\r\nm\r\nVarno TQ35B - Bootload\r\n";
  if (size <= answer.size()) return answer.substr(0, size);
  return answer + std::string(size - answer.size(), 'x');
}

struct Case {
  size_t size;
  bool reported;
  bool bootload;
};

class HostileDiscoveryTest : public testing::TestWithParam<Case> {};

TEST_P(HostileDiscoveryTest, AnswerOfAnySizeKeepsTheSearchGoing) {
  const Case c = GetParam();
  AnnounceOptions hostileOptions;
  hostileOptions.fromAddress = Address("10.77.0.30");
  hostileOptions.rawSet = true;
  hostileOptions.raw = AnswerOfSize(c.size);
  AnnounceResponder hostile(hostileOptions);
  AnnounceOptions goodOptions;
  goodOptions.fromAddress = Address("10.77.0.31");
  AnnounceResponder good(goodOptions);
  std::string error;
  ASSERT_TRUE(hostile.Start(&error)) << error;
  ASSERT_TRUE(good.Start(&error)) << error;

  UdpDiscoverySocket socket;
  ASSERT_EQ(socket.Open(kDiscoveryReceiveTimeoutMs), UdpDiscoverySocket::kReady);
  std::vector<platform::InterfaceAddress> table;
  ASSERT_TRUE(platform::ReadInterfaceTable(table));
  MatchString match;
  BuildMatchString(match, L"TQ35B");
  Reports reports;
  std::atomic<int> stop{0};
  // Three cycles: each sends, takes the answers, and pauses briefly.
  std::thread cycles([&] { RunSearchCycles(socket, table, match, &reports, stop, 50); });
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < until &&
         (reports.From(Address("10.77.0.31")).size() < 3 || hostile.AnswersSent() < 3))
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  stop = 1;
  cycles.join();
  socket.Close();
  hostile.Stop();
  good.Stop();

  EXPECT_GE(reports.From(Address("10.77.0.31")).size(), 3u) << "the unit that behaves was not reported every cycle";
  EXPECT_GE(hostile.AnswersSent(), 3);
  const auto fromHostile = reports.From(Address("10.77.0.30"));
  if (c.reported) {
    ASSERT_FALSE(fromHostile.empty());
    for (const auto& r : fromHostile) EXPECT_EQ(r.flags & kUnitInBootload, c.bootload ? kUnitInBootload : 0u);
  } else {
    EXPECT_TRUE(fromHostile.empty()) << fromHostile.size() << " reports";
  }
}

// The match text "Varno TQ35B" ends at byte 17 of the answer, the bootload
// suffix at byte 30; 256 is the receive buffer.
INSTANTIATE_TEST_SUITE_P(Sizes, HostileDiscoveryTest,
                         testing::Values(Case{0, false, false}, Case{1, false, false}, Case{16, false, false},
                                         Case{17, true, false}, Case{29, true, false}, Case{30, true, true},
                                         Case{255, true, true}, Case{256, true, true}, Case{257, false, false},
                                         Case{1472, false, false}, Case{8192, false, false}, Case{65507, false, false}),
                         [](const testing::TestParamInfo<Case>& info) { return std::to_string(info.param.size); });

}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  if (!RequirePrivateNetworkNamespace(argv[0])) return 1;
  return RUN_ALL_TESTS();
}
