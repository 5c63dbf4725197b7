// Serial discovery against simulated units on pseudo-terminals: which units
// are found, by which probe, with which report, and how the worker starts
// and stops. The port table holds short links to the units' terminals; no
// serial device of this machine is touched.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "app/app_state.h"
#include "app/messages.h"
#include "boot/bootloader_session.h"
#include "control/text_commands.h"
#include "discovery/com_discover.h"
#include "discovery/discovery_workers.h"
#include "link/com_transport.h"
#include "sim/simulated_unit.h"
#include "sim/text_parser.h"
#include "tests/discovery/discovery_test_support.h"

namespace {

// A unit on one serial port: its bootloader and, while it runs its
// application, its text interface.
struct SerialUnit {
  std::unique_ptr<sim::SimulatedUnit> unit;
  std::unique_ptr<TextHalf> text;
  std::string path;
};

// The rates at which the unit heard bytes, in order, repeats folded.
std::vector<int> RatesHeard(const SerialUnit& u) {
  std::vector<int> rates;
  for (const TextArrival& a : u.text->Parser().Arrivals())
    if (a.channel == TextChannel::Serial && (rates.empty() || rates.back() != a.bitRate)) rates.push_back(a.bitRate);
  return rates;
}

bool Begins(const std::vector<int>& seen, const std::vector<int>& prefix) {
  return seen.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), seen.begin());
}

std::string Show(const std::vector<int>& rates) {
  std::string out;
  for (int r : rates) out += std::to_string(r) + " ";
  return out;
}

class SerialDiscoveryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    LoadProgramTexts();
    ClearTable();
    units_.reserve(16);  // tests hold references to the units
    // Port names must fit the table's 11 characters: "/tmp/q" and four
    // characters of our own, then the port's letter.
    const char digits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    for (unsigned seed = static_cast<unsigned>(getpid()) * 7919u + platform::TickCount();; ++seed) {
      prefix_ = "/tmp/q";
      for (unsigned n = seed, i = 0; i < 4; ++i, n /= 36) prefix_ += digits[n % 36];
      struct stat st;
      bool free = true;
      for (char c = 'a'; c <= 'h'; ++c) free = free && lstat((prefix_ + c).c_str(), &st) != 0;
      if (free) break;
    }
  }
  void TearDown() override {
    StopDiscovery();
    ClearTable();
    for (SerialUnit& u : units_) u.unit->Stop();
    units_.clear();
  }
  static void ClearTable() {
    for (auto& entry : appState.SerialPortTable) entry[0] = L'\0';
  }
  void SetPort(int index, const std::string& path) {
    ASSERT_LT(path.size(), static_cast<size_t>(kSerialPortNameSize));
    for (size_t i = 0; i <= path.size(); ++i)
      appState.SerialPortTable[index][i] = static_cast<wchar_t>(path.c_str()[i]);
  }

  // The next port of the table gets a new unit.
  SerialUnit& AddUnit(sim::UnitMode mode, const TextParserOptions& text = TextParserOptions(),
                      const std::string& identity = "", bool paced = false, unsigned pacedChunk = 0) {
    const int index = nextPort_++;
    sim::UnitOptions options;
    options.udpPort = -1;
    options.serial = true;
    options.pace = paced;
    options.pacedChunk = pacedChunk;
    options.mode = mode;
    options.ptyLink = prefix_ + static_cast<char>('a' + units_.size());
    if (!identity.empty()) options.bootloader.identity = identity;
    SerialUnit u;
    u.unit.reset(new sim::SimulatedUnit(options));
    TextHalfOptions half;
    half.tcp = false;
    half.parser = text;
    u.text = AttachTextHalf(*u.unit, half);
    std::string error;
    EXPECT_TRUE(u.unit->Start(&error)) << error;
    u.path = u.unit->SerialPath();
    SetPort(index, u.path);
    units_.push_back(std::move(u));
    return units_.back();
  }
  SerialUnit& ApplicationUnit(int rate, bool compact = false, bool bootloadEnabled = false) {
    TextParserOptions text;
    text.textRate = rate;
    text.compact = compact;
    text.bootloadEnabled = bootloadEnabled;
    return AddUnit(sim::UnitMode::Application, text);
  }

  bool WaitForPorts(size_t count, std::chrono::milliseconds limit = std::chrono::seconds(60)) {
    return window.WaitForCount(count, limit);
  }

  ReportWindow window;
  std::vector<SerialUnit> units_;
  std::string prefix_;
  int nextPort_ = 0;
};

TEST_F(SerialDiscoveryTest, EachKindOfUnitIsFoundByItsProbe) {
  SerialUnit& bootloader = AddUnit(sim::UnitMode::Bootload);                         // port 0
  SerialUnit& compact = ApplicationUnit(9600, true);                                 // port 1
  SerialUnit& at19200 = ApplicationUnit(19200, false, true);                         // port 2
  ApplicationUnit(57600);                                                            // port 3
  SerialUnit& otherIdentity = AddUnit(sim::UnitMode::Bootload, TextParserOptions(),  // port 4
                                      "TQ35B Bootloader\r\nV3.1\r\nVarno TQ35B - Application\r\n");
  AddUnit(sim::UnitMode::Bootload, TextParserOptions(), "host\r\nmac\r\nXXXXXXXXXXX - Bootload");  // port 5

  const uint32_t started = platform::TickCount();
  StartDiscovery(&window, 0);
  ASSERT_TRUE(window.WaitUntil(
      [](const std::vector<Report>& reports) {
        for (const Report& r : reports)
          if (r.lParam == 5) return true;
        return false;
      },
      std::chrono::seconds(90)));
  const uint32_t pass = platform::TickCount() - started;
  StopDiscovery();
  std::printf("[ figures  ] first pass over six ports: %u ms\n", pass);

  // The first pass, in port order.
  const std::vector<Report> reports = window.Reports();
  ASSERT_GE(reports.size(), 4u);
  const std::vector<std::pair<uint32_t, uint32_t>> firstPass = {{1, 0}, {1, 2}, {0, 3}, {1, 5}};
  for (size_t i = 0; i < firstPass.size(); ++i) {
    EXPECT_EQ(reports[i].message, UWM_SERIAL_UNIT_FOUND) << i;
    EXPECT_EQ(reports[i].wParam, firstPass[i].first) << "report " << i;
    EXPECT_EQ(reports[i].lParam, firstPass[i].second) << "report " << i;
  }
  for (const Report& r : reports) {
    EXPECT_NE(r.lParam, 1u) << "the compact reply form is no unit here";
    EXPECT_NE(r.lParam, 4u) << "identity without bootload mode";
  }
  EXPECT_EQ(window.SentCount(), 0);

  // The bootloader answered: no text probe went to that port.
  EXPECT_EQ(bootloader.unit->Line().serialBytesWrongRate, 0u);
  EXPECT_GT(bootloader.unit->Counters().perCode[ReadIdentity].received, 0u);
  EXPECT_EQ(bootloader.unit->Counters().perCode[ReadIdentity | kSequenceFlag].received, 0u) << "plain form only";
  // The compact unit was asked at every rate in turn, after the bootloader
  // probe at 115200.
  EXPECT_TRUE(Begins(RatesHeard(compact), {115200, 4800, 9600, 19200, 38400, 57600, 115200}))
      << Show(RatesHeard(compact));
  // The unit at 19200 answered the third text probe; the next port came next.
  EXPECT_TRUE(Begins(RatesHeard(at19200), {115200, 4800, 9600, 19200})) << Show(RatesHeard(at19200));
  if (RatesHeard(at19200).size() > 4) {
    EXPECT_EQ(RatesHeard(at19200)[4], 115200) << "a new pass starts with the bootloader";
  }
  // An identity that does not say bootload mode leads to the text probes.
  EXPECT_GT(otherIdentity.unit->Line().serialBytesWrongRate, 0u);
}

// Units on lines that take their real time, so that a reply trickles in:
// at 4800 bit/s a byte every two milliseconds; at 57,600 bit/s handed over
// byte by byte as each comes off the line, and only 30 ms after the query.
// The probe charges each read of the link its whole elapsed time; reads that
// came back with each byte or two would use up its quarter second before
// the reply's end arrived, and the unit would never be found.
struct PacedUnit {
  int rate;
  int replyDelayMs;
  unsigned chunk;  // bytes handed to the host at a time; 0: the unit's default
};

class PacedSerialDiscoveryTest : public SerialDiscoveryTest, public ::testing::WithParamInterface<PacedUnit> {};

TEST_P(PacedSerialDiscoveryTest, UnitIsFoundAtItsRate) {
  TextParserOptions text;
  text.textRate = GetParam().rate;
  text.bootloadEnabled = true;
  text.replyDelayMs = GetParam().replyDelayMs;
  SerialUnit& paced = AddUnit(sim::UnitMode::Application, text, "", true, GetParam().chunk);
  StartDiscovery(&window, 0);
  ASSERT_TRUE(WaitForPorts(1, std::chrono::seconds(90))) << "rates tried: " << Show(RatesHeard(paced));
  StopDiscovery();
  const Report found = window.Reports()[0];
  EXPECT_EQ(found.message, UWM_SERIAL_UNIT_FOUND);
  EXPECT_EQ(found.wParam, 1u);  // bootload mode enabled
  EXPECT_EQ(found.lParam, 0u);
  std::vector<int> probes = {115200};
  for (const int* rate = ProbeBaudRates; *rate != 0 && probes.back() != GetParam().rate; ++rate)
    probes.push_back(*rate);
  EXPECT_TRUE(Begins(RatesHeard(paced), probes)) << Show(RatesHeard(paced));
}

INSTANTIATE_TEST_SUITE_P(Lines, PacedSerialDiscoveryTest,
                         ::testing::Values(PacedUnit{4800, 0, 0}, PacedUnit{57600, 30, 1}),
                         [](const ::testing::TestParamInfo<PacedUnit>& info) {
                           return "At" + std::to_string(info.param.rate) + "AnsweringAfter" +
                                  std::to_string(info.param.replyDelayMs) + "ms";
                         });

TEST_F(SerialDiscoveryTest, PortThatDoesNotOpenIsSkipped) {
  SetPort(0, prefix_ + "z");  // no such device
  nextPort_ = 1;
  ApplicationUnit(4800);
  StartDiscovery(&window, 0);
  ASSERT_TRUE(WaitForPorts(1));
  StopDiscovery();
  for (const Report& r : window.Reports()) EXPECT_EQ(r.lParam, 1u);
}

TEST_F(SerialDiscoveryTest, StopWaitsForOnePortAndLeavesEveryPortFree) {
  ApplicationUnit(300);  // answers at no probe rate: every probe runs to its time-out
  ApplicationUnit(300);
  StartDiscovery(&window, 0);
  platform::SleepMs(1200);  // inside the first port's bootloader probe
  uint32_t before = platform::TickCount();
  StopDiscovery();
  const uint32_t took = platform::TickCount() - before;
  std::printf("[ figures  ] serial worker stopped %u ms after the request (silent ports)\n", took);
  EXPECT_LT(took, 15000u) << "generous bound: one port's probes take about four seconds";
  EXPECT_EQ(CountThreadsNamed("com_discover_th"), 0);
  EXPECT_TRUE(window.Reports().empty());
  // The stopped worker holds no port: each opens at once.
  for (const SerialUnit& u : units_) {
    std::wstring name(u.path.begin(), u.path.end());
    COMTransport link(name.c_str(), 115200);
    EXPECT_NE(link.Open(), 0) << u.path;
    link.Close();
  }
}

TEST_F(SerialDiscoveryTest, EmptyTableOnlyWatchesTheStopFlag) {
  StartDiscovery(&window, 0);
  platform::SleepMs(300);
  const uint32_t before = platform::TickCount();
  StopDiscovery();
  const uint32_t took = platform::TickCount() - before;
  std::printf("[ figures  ] serial worker with no ports stopped %u ms after the request\n", took);
  EXPECT_LT(took, 2000u);
  EXPECT_TRUE(window.Reports().empty());
}

TEST_F(SerialDiscoveryTest, StartingAgainEndsTheWorkerThatStillRuns) {
  StartDiscovery(&window, 0);
  platform::SleepMs(200);
  EXPECT_EQ(CountThreadsNamed("com_discover_th"), 1);
  StartDiscovery(&window, 0);  // a second start while the first worker runs
  platform::SleepMs(300);
  EXPECT_EQ(CountThreadsNamed("com_discover_th"), 1) << "two workers at once";
  StopDiscovery();
  EXPECT_EQ(CountThreadsNamed("com_discover_th"), 0);
  StopDiscovery();  // stopping again is harmless
}

}  // namespace
