// The version query worker against the simulated unit: the exact messages
// the requesting window receives, what the unit is sent, and that every
// request and its link is freed once, whatever becomes of it.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "app/app_state.h"
#include "app/messages.h"
#include "boot/bootloader_session.h"
#include "control/text_commands.h"
#include "control/version_queries.h"
#include "link/com_transport.h"
#include "link/ethernet_transport.h"
#include "tests/control/recorders.h"
#include "tests/control/test_unit.h"

namespace {

std::atomic<int> g_liveLinks{0};

// The links the main window makes, counted while they live.
class CountedSerialLink : public COMTransport {
 public:
  explicit CountedSerialLink(const wchar_t* port) : COMTransport(port, 115200) { ++g_liveLinks; }
  ~CountedSerialLink() override { --g_liveLinks; }
};

class CountedNetworkLink : public EthernetTransport {
 public:
  explicit CountedNetworkLink(uint16_t port) : EthernetTransport(LoopbackAddress(), port) { ++g_liveLinks; }
  ~CountedNetworkLink() override { --g_liveLinks; }
};

PostedMessage M(uint32_t message, uintptr_t wParam = 0, uint32_t lParam = 0) { return {message, wParam, lParam}; }

// A unit whose bootloader did not answer, before its text interface is heard.
const std::vector<PostedMessage> kNotInBootloader = {M(UWM_ENABLE_EXIT_BOOTLOAD, 0), M(UWM_UNIT_NOT_IN_BOOTLOADER),
                                                     M(UWM_APPLICATION_VERSION, 0, 0xFFFFFFFF),
                                                     M(UWM_ENABLE_ENTER_BOOTLOAD, 0), M(UWM_ENABLE_EXIT_BOOTLOAD, 0)};

std::vector<PostedMessage> Then(std::vector<PostedMessage> first, const std::vector<PostedMessage>& more) {
  first.insert(first.end(), more.begin(), more.end());
  return first;
}

bool AllLinksGone() {
  for (int i = 0; i < 200 && g_liveLinks.load() != 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return g_liveLinks.load() == 0;
}

#define EXPECT_MESSAGES(expected, actual) EXPECT_EQ(expected, actual) << "got:\n" << Describe(actual)

class VersionQueryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    savedParserPort_ = appState.parserPort;
    g_liveLinks = 0;
    StartVersionQueries();
  }
  void TearDown() override {
    StopVersionQueries();
    appState.parserPort = savedParserPort_;
    EXPECT_EQ(0, g_liveLinks.load());
  }

  static void Submit(RecordingWindow* window, Transport* link) { SubmitVersionQuery(new WorkerRequest{window, link}); }

  // One query from submission to its last message.
  static std::vector<PostedMessage> Query(Transport* link) {
    RecordingWindow window;
    Submit(&window, link);
    EXPECT_TRUE(window.WaitFor(UWM_QUERY_DONE));
    EXPECT_TRUE(AllLinksGone());
    return window.Messages();
  }

  uint32_t savedParserPort_ = 0;
};

TestUnitOptions InBootloader(uint8_t major, uint8_t minor, uint32_t application) {
  TestUnitOptions options;
  options.startInBootloader = true;
  options.bootloaderMajor = major;
  options.bootloaderMinor = minor;
  options.applicationVersion = application;
  return options;
}

TestUnitOptions RunningAt(int rate) {
  TestUnitOptions options;
  options.text.textRate = rate;
  return options;
}

TEST_F(VersionQueryTest, SerialUnitInBootloaderGivesBothVersionsAndHearsNoTextCommand) {
  TestUnit unit(InBootloader(3, 2, 0x00010008));
  const auto messages = Query(new CountedSerialLink(unit.SerialPort()));
  EXPECT_MESSAGES((std::vector<PostedMessage>{M(UWM_ENABLE_EXIT_BOOTLOAD, 0), M(UWM_UNIT_IN_BOOTLOADER, 0x0302),
                                              M(UWM_ENABLE_ENTER_BOOTLOAD, 0), M(UWM_ENABLE_EXIT_BOOTLOAD, 1),
                                              M(UWM_APPLICATION_VERSION, 0, 0x00010008), M(UWM_QUERY_DONE)}),
                  messages);
  EXPECT_EQ((std::vector<uint8_t>{ReadBootloaderVersion, ReadApplicationVersion}), unit.BootloaderCommands());
  EXPECT_TRUE(unit.Text().Arrivals().empty());
}

TEST_F(VersionQueryTest, NetworkUnitInBootloaderReportsTheApplicationVersionAsMajorHighMinorLow) {
  // Reply bytes 5, 0, 2, 0: minor 5, major 2.
  TestUnit unit(InBootloader(3, 1, 0x00020005));
  const auto messages = Query(new CountedNetworkLink(unit.UdpPort()));
  EXPECT_MESSAGES((std::vector<PostedMessage>{M(UWM_ENABLE_EXIT_BOOTLOAD, 0), M(UWM_UNIT_IN_BOOTLOADER, 0x0301),
                                              M(UWM_ENABLE_ENTER_BOOTLOAD, 0), M(UWM_ENABLE_EXIT_BOOTLOAD, 1),
                                              M(UWM_APPLICATION_VERSION, 0, 0x00020005), M(UWM_QUERY_DONE)}),
                  messages);
  EXPECT_TRUE(unit.Text().Arrivals().empty());
}

TEST_F(VersionQueryTest, SerialUnitRunningItsApplicationIsProbedUpToItsRate) {
  TestUnit unit(RunningAt(19200));  // bootload off: letter d
  const auto messages = Query(new CountedSerialLink(unit.SerialPort()));
  EXPECT_MESSAGES(
      Then(kNotInBootloader, {M(UWM_ENABLE_ENTER_BOOTLOAD, 1), M(UWM_ENABLE_EXIT_BOOTLOAD, 0), M(UWM_QUERY_DONE)}),
      messages);
  EXPECT_EQ("<SY,BQ/>", unit.Text().ArrivedBytes(TextChannel::Serial, 4800));
  EXPECT_EQ("<SY,BQ/>", unit.Text().ArrivedBytes(TextChannel::Serial, 9600));
  EXPECT_EQ("<SY,BQ/>", unit.Text().ArrivedBytes(TextChannel::Serial, 19200));
  EXPECT_TRUE(unit.Text().ArrivedBytes(TextChannel::Serial, 38400).empty());
  ASSERT_EQ(1u, unit.Text().Commands().size());
  EXPECT_EQ(19200, unit.Text().Commands()[0].bitRate);
  // Its application ignored the bootloader's five tries.
  EXPECT_TRUE(unit.BootloaderCommands().empty());
}

TEST_F(VersionQueryTest, SerialUnitWithBootloadOnEnablesExitInTheCompactForm) {
  TestUnitOptions options = RunningAt(4800);
  options.text.compact = true;
  options.text.bootloadEnabled = true;  // "<sy,bq=ue/>"
  TestUnit unit(options);
  const auto messages = Query(new CountedSerialLink(unit.SerialPort()));
  EXPECT_MESSAGES(
      Then(kNotInBootloader, {M(UWM_ENABLE_ENTER_BOOTLOAD, 0), M(UWM_ENABLE_EXIT_BOOTLOAD, 1), M(UWM_QUERY_DONE)}),
      messages);
}

TEST_F(VersionQueryTest, NetworkUnitRunningItsApplicationIsAskedOnItsTextPort) {
  TestUnit unit;
  appState.parserPort = unit.TcpPort();
  const auto messages = Query(new CountedNetworkLink(unit.UdpPort()));
  EXPECT_MESSAGES(
      Then(kNotInBootloader, {M(UWM_ENABLE_ENTER_BOOTLOAD, 1), M(UWM_ENABLE_EXIT_BOOTLOAD, 0), M(UWM_QUERY_DONE)}),
      messages);
  EXPECT_EQ("<SY,BQ/>\r\n", unit.Text().ArrivedBytes(TextChannel::Tcp));

  // A value of one letter offers neither state.
  TestUnitOptions options;
  options.text.queryValue = "e";
  TestUnit odd(options);
  appState.parserPort = odd.TcpPort();
  EXPECT_MESSAGES(
      Then(kNotInBootloader, {M(UWM_ENABLE_ENTER_BOOTLOAD, 0), M(UWM_ENABLE_EXIT_BOOTLOAD, 0), M(UWM_QUERY_DONE)}),
      Query(new CountedNetworkLink(odd.UdpPort())));
}

TEST_F(VersionQueryTest, NetworkUnitWhoseTextPortRefusesGetsNoLetterMessages) {
  TestUnitOptions options;
  options.tcp = false;
  TestUnit unit(options);
  appState.parserPort = ClosedTcpPort();
  EXPECT_MESSAGES(Then(kNotInBootloader, {M(UWM_QUERY_DONE)}), Query(new CountedNetworkLink(unit.UdpPort())));
}

TEST_F(VersionQueryTest, SilentSerialUnitGivesTheSixMessages) {
  TestUnit unit(RunningAt(2400));  // a rate the probe never tries
  EXPECT_MESSAGES(Then(kNotInBootloader, {M(UWM_QUERY_DONE)}), Query(new CountedSerialLink(unit.SerialPort())));
  // The query went out at every rate; at 115200 it follows the bootloader's
  // tries, which reached the unit's application as noise.
  for (const int* rate = ProbeBaudRates; *rate != 115200; ++rate)
    EXPECT_EQ("<SY,BQ/>", unit.Text().ArrivedBytes(TextChannel::Serial, *rate)) << *rate;
  const std::string fastest = unit.Text().ArrivedBytes(TextChannel::Serial, 115200);
  ASSERT_GE(fastest.size(), 8u);
  EXPECT_EQ("<SY,BQ/>", fastest.substr(fastest.size() - 8));
  EXPECT_TRUE(unit.Text().Commands().empty());
}

// A silent network unit keeps the worker busy for its five bootloader tries.
class SilentNetworkUnit {
 public:
  SilentNetworkUnit() : unit_(Options()) { appState.parserPort = ClosedTcpPort(); }
  Transport* NewLink() { return new CountedNetworkLink(unit_.UdpPort()); }

 private:
  static TestUnitOptions Options() {
    TestUnitOptions options;
    options.tcp = false;
    return options;
  }
  TestUnit unit_;
};

TEST_F(VersionQueryTest, OnlyTheNewestWaitingRequestIsQueried) {
  SilentNetworkUnit unit;
  RecordingWindow first, second, third;
  Submit(&first, unit.NewLink());
  ASSERT_TRUE(first.WaitFor(UWM_ENABLE_EXIT_BOOTLOAD));  // its query is running
  Submit(&second, unit.NewLink());
  Submit(&third, unit.NewLink());
  ASSERT_TRUE(third.WaitFor(UWM_QUERY_DONE));
  EXPECT_TRUE(AllLinksGone());

  const auto sixMessages = Then(kNotInBootloader, {M(UWM_QUERY_DONE)});
  EXPECT_MESSAGES(sixMessages, first.Messages());  // the running one completes
  EXPECT_TRUE(second.Messages().empty());          // superseded, never asked
  EXPECT_MESSAGES(sixMessages, third.Messages());
}

TEST_F(VersionQueryTest, StoppingFreesQueuedRequestsAndLaterOnesAreNeverQueued) {
  SilentNetworkUnit unit;
  RecordingWindow running, queued1, queued2, late;
  Submit(&running, unit.NewLink());
  ASSERT_TRUE(running.WaitFor(UWM_ENABLE_EXIT_BOOTLOAD));
  Submit(&queued1, unit.NewLink());
  Submit(&queued2, unit.NewLink());
  EXPECT_EQ(3, g_liveLinks.load());

  StopVersionQueries();  // waits for the running query to end
  EXPECT_EQ(0, g_liveLinks.load());
  EXPECT_EQ(UWM_QUERY_DONE, running.Messages().back().message);
  EXPECT_TRUE(queued1.Messages().empty());
  EXPECT_TRUE(queued2.Messages().empty());

  // No worker: the request is freed at once, with its link.
  Submit(&late, unit.NewLink());
  EXPECT_EQ(0, g_liveLinks.load());
  StopVersionQueries();  // stopping twice only closes what is left
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_TRUE(late.Messages().empty());

  // And a restarted worker answers again.
  StartVersionQueries();
  RecordingWindow again;
  Submit(&again, unit.NewLink());
  EXPECT_TRUE(again.WaitFor(UWM_QUERY_DONE));
}

}  // namespace
