// Network discovery end to end: the worker's broadcasts and simulated units
// answering them, all inside the private network namespace that
// tools/netns-run.sh makes (lo with 10.77.0.1/24, and local routes for
// 169.254.0.0/16 and 192.168.50.0/24 so units can answer from addresses the
// computer has no interface for). main() refuses to run anywhere else.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <atomic>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "app/messages.h"
#include "discovery/discovery_workers.h"
#include "discovery/ip_discover.h"
#include "resources/resource.h"
#include "sim/announce.h"
#include "tests/discovery/discovery_test_support.h"
#include "tests/discovery/netns_guard.h"

namespace {

using platform::InterfaceAddress;

uint32_t Address(const char* text) {
  uint32_t a = 0;
  EXPECT_TRUE(ParseIpv4(text, &a)) << text;
  return a;
}

bool HasRow(const std::vector<InterfaceAddress>& table, const char* address, const char* mask) {
  return std::any_of(table.begin(), table.end(), [&](const InterfaceAddress& r) {
    return r.address == Address(address) && r.mask == Address(mask);
  });
}

class NetworkDiscoveryTest : public ::testing::Test {
 protected:
  void SetUp() override { LoadProgramTexts(); }
  void TearDown() override {
    StopDiscovery();
    units_.clear();
    platform::SetInterfaceTableForTesting(nullptr);
    SetDiscoverySocketFaultForTesting(UdpDiscoverySocket::kReady);
  }

  AnnounceResponder& Unit(const char* from, AnnounceOptions options = AnnounceOptions()) {
    options.fromAddress = Address(from);
    units_.push_back(std::make_unique<AnnounceResponder>(options));
    std::string error;
    EXPECT_TRUE(units_.back()->Start(&error)) << from << ": " << error;
    return *units_.back();
  }
  AnnounceResponder& BootloadUnit(const char* from) {
    AnnounceOptions options;
    options.bootload = true;
    return Unit(from, options);
  }
  AnnounceResponder& RawUnit(const char* from, const std::string& answer) {
    AnnounceOptions options;
    options.rawSet = true;
    options.raw = answer;
    return Unit(from, options);
  }

  void Start() { StartDiscovery(&window, 1); }
  bool WaitForUnit(const char* address, size_t count = 1) {
    const uint32_t a = Address(address);
    return window.WaitUntil([&](const std::vector<Report>& reports) {
      return static_cast<size_t>(std::count_if(reports.begin(), reports.end(),
                                               [&](const Report& r) { return r.lParam == a; })) >= count;
    });
  }
  std::vector<Report> From(const char* address) const { return window.From(Address(address)); }

  ReportWindow window;
  std::vector<std::unique_ptr<AnnounceResponder>> units_;
};

TEST_F(NetworkDiscoveryTest, NamespaceInterfaceTableHasLoopbackAndTestAddress) {
  std::vector<InterfaceAddress> table;
  ASSERT_TRUE(platform::ReadInterfaceTable(table));
  EXPECT_TRUE(HasRow(table, "127.0.0.1", "255.0.0.0"));
  EXPECT_TRUE(HasRow(table, "10.77.0.1", "255.255.255.0"));
  EXPECT_FALSE(HasRow(table, "169.254.7.9", "255.255.0.0")) << "a local route is no interface";
}

TEST_F(NetworkDiscoveryTest, UnitsOnOurSubnetAreReportedWithTheirMode) {
  AnnounceResponder& bootload = BootloadUnit("10.77.0.20");
  Unit("10.77.0.21");
  Start();
  ASSERT_TRUE(WaitForUnit("10.77.0.20"));
  ASSERT_TRUE(WaitForUnit("10.77.0.21"));
  StopDiscovery();

  for (const Report& r : window.Reports()) EXPECT_EQ(r.message, UWM_NETWORK_UNIT_FOUND);
  for (const Report& r : From("10.77.0.20")) EXPECT_EQ(r.wParam, kUnitInBootload);
  for (const Report& r : From("10.77.0.21")) EXPECT_EQ(r.wParam, 0u);
  EXPECT_EQ(window.SentCount(), 0);

  // What the unit heard: the 29 request bytes, nothing more, from our address.
  const std::vector<AnnounceRequest> heard = bootload.Requests();
  ASSERT_FALSE(heard.empty());
  for (const AnnounceRequest& request : heard) {
    EXPECT_EQ(request.bytes, "Discovery: Who is out there ?");
    EXPECT_EQ(request.from, Address("10.77.0.1"));
  }
}

TEST_F(NetworkDiscoveryTest, UnitsElsewhereCarryTheirMarks) {
  Unit("169.254.7.9");
  BootloadUnit("192.168.50.7");
  Start();
  ASSERT_TRUE(WaitForUnit("169.254.7.9"));
  ASSERT_TRUE(WaitForUnit("192.168.50.7"));
  StopDiscovery();
  for (const Report& r : From("169.254.7.9")) EXPECT_EQ(r.wParam, kUnitLinkLocal | kUnitOtherSubnet);
  for (const Report& r : From("192.168.50.7")) EXPECT_EQ(r.wParam, kUnitOtherSubnet | kUnitInBootload);
}

TEST_F(NetworkDiscoveryTest, OnlyAnswersThatNameOurModelOnTheirThirdLineAreReported) {
  AnnounceOptions other;
  other.modelLine = "Varno TQ36B";
  Unit("10.77.0.30", other);
  RawUnit("10.77.0.31", "host\r\nVarno TQ35B - Bootload\r\n");     // one CR LF before the model
  RawUnit("10.77.0.32", "host\n02-54\nVarno TQ35B - Bootload\n");  // bare LF line ends
  RawUnit("10.77.0.33", "host\r02-54\rVarno TQ35B - Bootload\r");  // bare CR line ends
  AnnounceOptions longer;
  longer.modelLine = "Varno TQ35BX";
  longer.bootload = true;
  Unit("10.77.0.34", longer);  // begins with our model: reported, in application mode
  BootloadUnit("10.77.0.20");
  Start();
  ASSERT_TRUE(WaitForUnit("10.77.0.34"));
  ASSERT_TRUE(WaitForUnit("10.77.0.20", 2));  // two cycles: everyone has answered by now
  StopDiscovery();

  for (const char* silent : {"10.77.0.30", "10.77.0.31", "10.77.0.32", "10.77.0.33"})
    EXPECT_TRUE(From(silent).empty()) << silent;
  for (const Report& r : From("10.77.0.34")) EXPECT_EQ(r.wParam, 0u);
  for (const Report& r : From("10.77.0.20")) EXPECT_EQ(r.wParam, kUnitInBootload);
}

TEST_F(NetworkDiscoveryTest, UnitAnsweringTwiceIsReportedTwice) {
  AnnounceOptions twice;
  twice.repeat = 2;
  AnnounceResponder& unit = Unit("10.77.0.40", twice);
  Start();
  ASSERT_TRUE(WaitForUnit("10.77.0.40", 4));
  StopDiscovery();
  // Every answer is reported; only the answers to the last request may have
  // been left unread when the worker stopped.
  const size_t reports = From("10.77.0.40").size();
  const size_t answers = static_cast<size_t>(unit.AnswersSent());
  EXPECT_LE(reports, answers);
  EXPECT_GE(reports, answers - 2);
}

TEST_F(NetworkDiscoveryTest, SeveralUnitsHearOneBroadcast) {
  const char* addresses[] = {"10.77.0.50", "10.77.0.51", "10.77.0.52", "169.254.20.1", "192.168.50.9"};
  for (const char* a : addresses) Unit(a);
  Start();
  for (const char* a : addresses) EXPECT_TRUE(WaitForUnit(a)) << a;
}

TEST_F(NetworkDiscoveryTest, WithoutAModelPropertyAnyVarnoUnitIsReported) {
  // The worker builds its match string from the package, which names a
  // model; the same cycles with an empty model show what an absent
  // property does.
  AnnounceOptions anyModel;
  anyModel.modelLine = "Varno TQ99";
  Unit("10.77.0.60", anyModel);
  AnnounceOptions otherMaker;
  otherMaker.modelLine = "Other TQ35B";
  Unit("10.77.0.61", otherMaker);
  BootloadUnit("10.77.0.62");

  UdpDiscoverySocket socket;
  ASSERT_EQ(socket.Open(kDiscoveryReceiveTimeoutMs), UdpDiscoverySocket::kReady);
  std::vector<InterfaceAddress> table;
  ASSERT_TRUE(platform::ReadInterfaceTable(table));
  MatchString match;
  BuildMatchString(match, nullptr);
  std::atomic<int> stop{0};
  std::thread worker([&] { RunSearchCycles(socket, table, match, &window, stop); });
  EXPECT_TRUE(WaitForUnit("10.77.0.60"));
  EXPECT_TRUE(WaitForUnit("10.77.0.62", 2));
  stop = 1;
  worker.join();
  EXPECT_TRUE(From("10.77.0.61").empty());
  for (const Report& r : From("10.77.0.60")) EXPECT_EQ(r.wParam, 0u);
  // " - Bootload" no longer follows the match string right away.
  for (const Report& r : From("10.77.0.62")) EXPECT_EQ(r.wParam, 0u);
}

TEST_F(NetworkDiscoveryTest, AnswerTooLongForTheBufferIsNotTakenCut) {
  // Cut to 256 bytes this answer would read as a unit in bootload mode.
  const std::string head = "host\r\n02-54\r\nVarno TQ35B - Bootload\r\n";
  RawUnit("10.77.0.70", head + std::string(257 - head.size(), 'x'));
  RawUnit("10.77.0.71", head + std::string(256 - head.size(), 'x'));  // exactly fills the buffer
  BootloadUnit("10.77.0.72");
  Start();
  ASSERT_TRUE(WaitForUnit("10.77.0.71", 2));
  ASSERT_TRUE(WaitForUnit("10.77.0.72", 2));
  StopDiscovery();
  for (const Report& r : window.Reports()) {
    EXPECT_TRUE(r.lParam == Address("10.77.0.71") || r.lParam == Address("10.77.0.72")) << std::hex << r.lParam;
    EXPECT_EQ(r.wParam, kUnitInBootload);
  }
}

TEST_F(NetworkDiscoveryTest, IsUnitAddressAgainstTheNamespaceTable) {
  EXPECT_FALSE(IsUnitAddress(Address("127.0.0.1")));
  EXPECT_FALSE(IsUnitAddress(Address("10.77.0.255")));
  EXPECT_TRUE(IsUnitAddress(Address("10.77.0.20")));
  EXPECT_TRUE(IsUnitAddress(Address("192.168.1.255")));
}

TEST_F(NetworkDiscoveryTest, SetupFailuresShowOneSocketErrorAndSendNothing) {
  struct Case {
    UdpDiscoverySocket::SetupResult fault;
    const wchar_t* text;
  } cases[] = {
      {UdpDiscoverySocket::kSocketFailed, L"Socket creation failed."},
      {UdpDiscoverySocket::kReceiveTimeoutFailed, L"Failed to set the receive time out."},
      {UdpDiscoverySocket::kBroadcastFailed, L"Failed to set broadcast mode."},
  };
  AnnounceResponder& unit = Unit("10.77.0.20");
  for (const Case& c : cases) {
    BoxLog boxes;
    SetDiscoverySocketFaultForTesting(c.fault);
    Start();
    StopDiscovery();  // the worker has ended by itself; this only joins it
    const std::vector<Box> shown = boxes.Boxes();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].text, c.text);
    EXPECT_EQ(shown[0].caption, L"Socket Error");
    EXPECT_EQ(shown[0].type, MB_ICONERROR);
    EXPECT_FALSE(shown[0].owned);
  }
  SetDiscoverySocketFaultForTesting(UdpDiscoverySocket::kReady);
  platform::SleepMs(300);
  EXPECT_TRUE(unit.Requests().empty());
  EXPECT_TRUE(window.Reports().empty());
}

TEST_F(NetworkDiscoveryTest, WorkerEndsByItselfAndSilentlyWithoutAnInterfaceTable) {
  AnnounceResponder& unit = Unit("10.77.0.20");
  platform::SetInterfaceTableForTesting(nullptr, false);
  BoxLog boxes;
  discoveryStopFlag = 0;
  platform::Thread worker = platform::StartThread(ip_discover_thread, &window);
  ASSERT_NE(worker, nullptr);
  platform::WaitThread(worker);  // returns only because the worker ends on its own
  platform::CloseThread(worker);
  EXPECT_TRUE(boxes.Boxes().empty());
  platform::SleepMs(300);
  EXPECT_TRUE(unit.Requests().empty());
}

TEST_F(NetworkDiscoveryTest, TableIsReadOncePerRun) {
  // A table supplied before the start holds for the whole run, even after
  // the system's table is back: the unit stays on one of "our" subnets.
  const std::vector<InterfaceAddress> table = {{Address("127.0.0.1"), Address("255.0.0.0")},
                                               {Address("10.77.0.1"), Address("255.255.255.0")},
                                               {Address("192.168.50.1"), Address("255.255.255.0")}};
  platform::SetInterfaceTableForTesting(&table);
  AnnounceResponder& unit = Unit("192.168.50.7");
  Start();
  ASSERT_TRUE(WaitForUnit("192.168.50.7"));
  platform::SetInterfaceTableForTesting(nullptr);
  const size_t heard = unit.Requests().size();
  ASSERT_TRUE(WaitForUnit("192.168.50.7", From("192.168.50.7").size() + 2));
  StopDiscovery();
  EXPECT_GT(unit.Requests().size(), heard);
  for (const Report& r : From("192.168.50.7")) EXPECT_EQ(r.wParam, 0u) << "still on a subnet of the first table";
}

TEST_F(NetworkDiscoveryTest, StopRequestEndsTheWorkerWithinAboutASecond) {
  BootloadUnit("10.77.0.20");
  uint32_t longest = 0;
  for (int round = 0; round < 3; ++round) {
    Start();
    ASSERT_TRUE(WaitForUnit("10.77.0.20", From("10.77.0.20").size() + 1));
    platform::SleepMs(static_cast<uint32_t>(300 * round));  // catch it in a receive, then in a pause
    const uint32_t before = platform::TickCount();
    StopDiscovery();
    const uint32_t took = platform::TickCount() - before;
    longest = std::max(longest, took);
    std::printf("[ figures  ] network worker stopped %u ms after the request\n", took);
  }
  units_.clear();
  Start();  // nobody answers: the worker sits in its receive time-out or its pause
  platform::SleepMs(1500);
  const uint32_t before = platform::TickCount();
  StopDiscovery();
  const uint32_t idle = platform::TickCount() - before;
  std::printf("[ figures  ] idle network worker stopped %u ms after the request\n", idle);
  longest = std::max(longest, idle);
  EXPECT_LT(longest, 5000u) << "generous bound: one time-out or one pause is 1 s";
  EXPECT_EQ(CountThreadsNamed("ip_discover_thr"), 0);
}

TEST(AnnounceResponderTest, AnswerFollowsTheUnitsModeAndOptions) {
  std::atomic<bool> bootload{false};
  AnnounceOptions options;
  AnnounceResponder unit(options, [&] { return bootload.load(); });
  EXPECT_EQ(unit.Answer(), "TQ35B-SIM\r\n02-54-51-35-42-00\r\nVarno TQ35B - Application\r\n");
  bootload = true;
  EXPECT_EQ(unit.Answer(), "TQ35B-SIM\r\n02-54-51-35-42-00\r\nVarno TQ35B - Bootload\r\n");
  options.modelLine = "Varno TQ36B";
  options.suffixSet = true;
  options.suffix = " - Other";
  unit.SetOptions(options);
  EXPECT_EQ(unit.Answer(), "TQ35B-SIM\r\n02-54-51-35-42-00\r\nVarno TQ36B - Other\r\n");
  options.fromAddress = Ipv4(10, 77, 0, 21);  // units at different addresses differ
  unit.SetOptions(options);
  EXPECT_EQ(unit.Answer(), "TQ35B-SIM\r\n02-54-51-4D-00-15\r\nVarno TQ36B - Other\r\n");
  options.rawSet = true;
  options.raw = UnescapeText("a\\r\\nb\\x00c\\x7e");
  unit.SetOptions(options);
  EXPECT_EQ(unit.Answer(), std::string("a\r\nb\0c~", 7));
}

TEST(AnnounceResponderTest, AnswersOnlyTheExactRequestAndOnlyToThisMachine) {
  EXPECT_TRUE(IsOwnAddress(Address("10.77.0.1")));
  EXPECT_TRUE(IsOwnAddress(Address("127.0.0.1")));
  EXPECT_FALSE(IsOwnAddress(Address("192.0.2.2")));
  EXPECT_FALSE(IsOwnAddress(Address("10.78.0.1")));

  AnnounceOptions options;
  options.fromAddress = Address("10.77.0.20");
  AnnounceResponder unit(options);
  ASSERT_TRUE(unit.Start());
  const int s = ::socket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_GE(s, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(30303);
  to.sin_addr.s_addr = Address("10.77.0.20");
  for (const std::string& wrong :
       {std::string("Discovery: Who is out there ?\r\n"), std::string("Discovery: Who is out there ?", 29 + 1),
        std::string("Discovery: Who is out there?")})
    ::sendto(s, wrong.data(), wrong.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
  const std::string request = "Discovery: Who is out there ?";
  ::sendto(s, request.data(), request.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
  char answer[256];
  timeval wait{5, 0};
  ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
  sockaddr_in from{};
  socklen_t fromLength = sizeof from;
  const ssize_t n = ::recvfrom(s, answer, sizeof answer, 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
  ASSERT_GT(n, 0);
  EXPECT_EQ(std::string(answer, static_cast<size_t>(n)), unit.Answer());
  EXPECT_EQ(from.sin_addr.s_addr, Address("10.77.0.20"));
  platform::SleepMs(200);
  EXPECT_EQ(unit.AnswersSent(), 1);
  EXPECT_EQ(unit.Requests().size(), 4u);
  ::close(s);
}

// Run with 169.254.1.1/16 on lo as well (a second registration of this
// program): a link-local unit is then on one of our subnets.
TEST(LinkLocalInterfaceTest, LinkLocalUnitOnOurLinkLocalSubnetIsNotMarkedOtherSubnet) {
  LoadProgramTexts();
  std::vector<InterfaceAddress> table;
  ASSERT_TRUE(platform::ReadInterfaceTable(table));
  ASSERT_TRUE(HasRow(table, "169.254.1.1", "255.255.0.0")) << "run through the fixture with --addr 169.254.1.1/16";
  AnnounceOptions options;
  options.fromAddress = Address("169.254.7.9");
  AnnounceResponder unit(options);
  ASSERT_TRUE(unit.Start());
  ReportWindow window;
  StartDiscovery(&window, 1);
  ASSERT_TRUE(window.WaitForCount(2));
  StopDiscovery();
  for (const Report& r : window.Reports()) {
    EXPECT_EQ(r.lParam, Address("169.254.7.9"));
    EXPECT_EQ(r.wParam, kUnitLinkLocal);
  }
  // Both interfaces were searched: the unit heard requests from both.
  std::set<uint32_t> sources;
  for (const AnnounceRequest& r : unit.Requests()) sources.insert(r.from);
  EXPECT_EQ(sources.size(), 2u);
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (!RequirePrivateNetworkNamespace(argv[0])) return 1;
  return RUN_ALL_TESTS();
}
