// Entering bootload mode against the simulated unit, over its serial line
// and its TCP text port: what reaches the unit, what state it ends in, and
// what the user is shown.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "app/app_state.h"
#include "boot/bootloader_session.h"
#include "control/text_commands.h"
#include "link/com_transport.h"
#include "link/ethernet_transport.h"
#include "tests/control/recorders.h"
#include "tests/control/test_unit.h"

namespace {

const char kWholeSequence[] = "<SY,BQ/><SY,BU1234/><SY,BE/><SY,BR/>";
const char kWholeSequenceCrLf[] = "<SY,BQ/>\r\n<SY,BU1234/>\r\n<SY,BE/>\r\n<SY,BR/>\r\n";

class EnterBootloadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    LoadUiStrings(nullptr);
    savedParserPort_ = appState.parserPort;
  }
  void TearDown() override { appState.parserPort = savedParserPort_; }

  // The links the main window would make for the unit.
  static std::unique_ptr<Transport> SerialLink(const TestUnit& unit) {
    return std::unique_ptr<Transport>(new COMTransport(unit.SerialPort(), 115200));
  }
  static std::unique_ptr<Transport> NetworkLink(const TestUnit& unit) {
    appState.parserPort = unit.TcpPort();
    return std::unique_ptr<Transport>(new EthernetTransport(LoopbackAddress(), unit.UdpPort()));
  }

  EnterBootloadResult Enter(Transport* link, const wchar_t* pin = L"1234") {
    EnterBootloadResult result = kEnterBootloadNoAnswer;
    EXPECT_EQ(1, EnterBootload(&dialog_, link, pin, &result));
    return result;
  }

  // Whether the unit's bootloader answers over the given link.
  static bool BootloaderAnswers(Transport* link) {
    BootloaderSession session;
    session.SetTransport(link);
    session.Open();
    return session.SendCommand(ReadBootloaderVersion, nullptr, 0, 5, 200);
  }

  void ExpectOneBox(const wchar_t* text, unsigned icon) {
    const std::vector<ShownBox> shown = boxes_.Boxes();
    ASSERT_EQ(1u, shown.size());
    EXPECT_EQ(text, shown[0].text);
    EXPECT_EQ(L"Bootload Mode", shown[0].caption);
    EXPECT_EQ(icon, shown[0].type);
    EXPECT_EQ(&dialog_, shown[0].owner);
  }

  RecordingWindow dialog_;
  BoxRecorder boxes_;
  uint32_t savedParserPort_ = 0;
};

TestUnitOptions TextAt(int rate) {
  TestUnitOptions options;
  options.text.textRate = rate;
  return options;
}

TEST_F(EnterBootloadTest, SerialUnitIsFoundAtItsRateAndTheSequenceRunsThere) {
  TestUnit unit(TextAt(38400));
  auto link = SerialLink(unit);
  EXPECT_EQ(kEnterBootloadEntered, Enter(link.get()));
  EXPECT_EQ(0, link->IsOpen());  // the given link is never opened

  // The probe climbed through the three slower rates, which the unit could
  // not hear, and stayed at the fourth for the whole sequence; nothing was
  // sent after the commands.
  EXPECT_EQ("<SY,BQ/>", unit.Text().ArrivedBytes(TextChannel::Serial, 4800));
  EXPECT_EQ("<SY,BQ/>", unit.Text().ArrivedBytes(TextChannel::Serial, 9600));
  EXPECT_EQ("<SY,BQ/>", unit.Text().ArrivedBytes(TextChannel::Serial, 19200));
  EXPECT_EQ(kWholeSequence, unit.Text().ArrivedBytes(TextChannel::Serial, 38400));
  EXPECT_EQ(std::string("<SY,BQ/><SY,BQ/><SY,BQ/>") + kWholeSequence, unit.Text().ArrivedBytes(TextChannel::Serial));
  for (const TextCommand& heard : unit.Text().Commands()) EXPECT_EQ(38400, heard.bitRate) << heard.text;

  EXPECT_TRUE(unit.InBootloader());
  EXPECT_TRUE(BootloaderAnswers(new COMTransport(unit.SerialPort(), 115200)));
  ExpectOneBox(L"Bootload Mode Enabled.", MB_ICONINFORMATION);
}

TEST_F(EnterBootloadTest, OverTcpEveryCommandIsALineAndCompactRepliesAreAccepted) {
  TestUnitOptions options;
  options.text.compact = true;  // "<sy,bu=ud/>", "<sy,be=ue/>"
  TestUnit unit(options);
  auto link = NetworkLink(unit);
  EXPECT_EQ(kEnterBootloadEntered, Enter(link.get()));

  EXPECT_EQ(kWholeSequenceCrLf, unit.Text().ArrivedBytes(TextChannel::Tcp));
  EXPECT_TRUE(unit.Text().ArrivedBytes(TextChannel::Serial).empty());
  EXPECT_TRUE(unit.InBootloader());
  EXPECT_TRUE(BootloaderAnswers(new EthernetTransport(LoopbackAddress(), unit.UdpPort())));
  // A unit in its bootloader has no text port.
  EthernetTransportTCP text(LoopbackAddress(), unit.TcpPort());
  EXPECT_EQ(0, text.Open());
  ExpectOneBox(L"Bootload Mode Enabled.", MB_ICONINFORMATION);

  // Once its bootloader hands back, the application answers again, with
  // bootload mode off.
  BootloaderSession session;
  session.SetTransport(new EthernetTransport(LoopbackAddress(), unit.UdpPort()));
  session.Open();
  session.SendCommand(ExitBootloader, nullptr, 0, 1, 500);
  for (int i = 0; i < 100 && unit.InBootloader(); ++i) platform::SleepMs(10);
  EXPECT_FALSE(unit.InBootloader());
  char letter = 0;
  for (int i = 0; i < 100 && letter == 0; ++i)  // its text port takes a moment to come back
    if (!QueryNetworkUnit(LoopbackAddress(), unit.TcpPort(), 250,
                          [&](Transport&, const char* reply) { letter = QueryReplyLetter(reply); }))
      platform::SleepMs(10);
  EXPECT_EQ('d', letter);
}

TEST_F(EnterBootloadTest, SpacedUnlockReplyWithBootloadOnIsAccepted) {
  TestUnitOptions options;
  options.text.bootloadEnabled = true;  // "<sy,bu = ue/>"
  TestUnit unit(options);
  auto link = NetworkLink(unit);
  EXPECT_EQ(kEnterBootloadEntered, Enter(link.get()));
  EXPECT_TRUE(unit.InBootloader());
  ExpectOneBox(L"Bootload Mode Enabled.", MB_ICONINFORMATION);
}

// Replies the sequence must refuse: the unit hears the commands up to the
// refused reply and not one more.
struct Refusal {
  const char* name;
  void (*set)(TextParserOptions*);
  const char* expectedArrival;
};

class EnterBootloadRefusal : public EnterBootloadTest, public ::testing::WithParamInterface<Refusal> {};

TEST_P(EnterBootloadRefusal, EndsTheSequenceWithTheErrorBox) {
  TestUnitOptions options;
  GetParam().set(&options.text);
  TestUnit unit(options);
  auto link = NetworkLink(unit);
  EXPECT_EQ(kEnterBootloadFailed, Enter(link.get()));
  EXPECT_EQ(GetParam().expectedArrival, unit.Text().ArrivedBytes(TextChannel::Tcp));
  EXPECT_FALSE(unit.InBootloader());
  ExpectOneBox(L"Unable to enter Bootload Mode.", MB_ICONERROR);
}

INSTANTIATE_TEST_SUITE_P(
    Replies, EnterBootloadRefusal,
    ::testing::Values(
        // "<SY,BU=UD/>"
        Refusal{"UpperCaseCompactUnlock", [](TextParserOptions* o) { o->compact = true, o->upperCaseAt = 2; },
                "<SY,BQ/>\r\n<SY,BU1234/>\r\n"},
        // "<SY,BU = UE/>"
        Refusal{"UpperCaseSpacedUnlock", [](TextParserOptions* o) { o->bootloadEnabled = true, o->upperCaseAt = 2; },
                "<SY,BQ/>\r\n<SY,BU1234/>\r\n"},
        Refusal{"WrongPin", [](TextParserOptions* o) { o->pin = "9876"; }, "<SY,BQ/>\r\n<SY,BU1234/>\r\n"},
        // "<sy,be = ud/>": "<SY,BR/>" must never go out
        Refusal{"EnableReplyEndingInD", [](TextParserOptions* o) { o->wrongLetterAt = 3; },
                "<SY,BQ/>\r\n<SY,BU1234/>\r\n<SY,BE/>\r\n"},
        Refusal{"UpperCaseEnable", [](TextParserOptions* o) { o->upperCaseAt = 3; },
                "<SY,BQ/>\r\n<SY,BU1234/>\r\n<SY,BE/>\r\n"},
        Refusal{"SilentAtUnlock", [](TextParserOptions* o) { o->silentAtStep = 2; }, "<SY,BQ/>\r\n<SY,BU1234/>\r\n"},
        Refusal{"SilentAtRestart", [](TextParserOptions* o) { o->silentAtStep = 4; }, kWholeSequenceCrLf}),
    [](const ::testing::TestParamInfo<Refusal>& info) { return std::string(info.param.name); });

TEST_F(EnterBootloadTest, UnitThatDoesNotAnswerTheQueryLeavesTheDialogOpen) {
  {
    // Nobody listens on the text port.
    TestUnitOptions options;
    options.tcp = false;
    TestUnit unit(options);
    auto link = NetworkLink(unit);
    appState.parserPort = ClosedTcpPort();
    EXPECT_EQ(kEnterBootloadNoAnswer, Enter(link.get()));
  }
  {
    // A serial text interface at a rate the probe never tries.
    TestUnit unit(TextAt(2400));
    auto link = SerialLink(unit);
    EXPECT_EQ(kEnterBootloadNoAnswer, Enter(link.get()));
    // The query went out once at every rate, nothing else.
    for (const int* rate = ProbeBaudRates; *rate != 0; ++rate)
      EXPECT_EQ("<SY,BQ/>", unit.Text().ArrivedBytes(TextChannel::Serial, *rate)) << *rate;
    EXPECT_EQ(6 * std::string("<SY,BQ/>").size(), unit.Text().ArrivedBytes(TextChannel::Serial).size());
  }
  {
    // A unit whose answer is no query reply is no unit to talk to.
    TestUnitOptions options;
    options.text.upperCaseAt = 1;
    TestUnit unit(options);
    auto link = NetworkLink(unit);
    EXPECT_EQ(kEnterBootloadNoAnswer, Enter(link.get()));
    EXPECT_EQ("<SY,BQ/>\r\n", unit.Text().ArrivedBytes(TextChannel::Tcp));
  }
  EXPECT_TRUE(boxes_.Boxes().empty());
}

TEST_F(EnterBootloadTest, QueryLetterDoesNotMatterAndLinksOfOtherKindsAreLeftAlone) {
  TestUnitOptions options;
  options.text.queryValue = "x";  // "<sy,bq = x/>": neither state, still a unit
  TestUnit unit(options);
  auto link = NetworkLink(unit);
  EXPECT_EQ(kEnterBootloadEntered, Enter(link.get()));

  // A TCP link is not a kind the main window makes; nothing is sent on it.
  TestUnit other;
  EthernetTransportTCP tcp(LoopbackAddress(), other.TcpPort());
  EXPECT_EQ(kEnterBootloadNoAnswer, Enter(&tcp));
  EXPECT_EQ(kEnterBootloadNoAnswer, Enter(nullptr));
  EXPECT_TRUE(other.Text().Arrivals().empty());
}

// The PIN goes into a 32-byte command: "<SY,BU", the PIN, "/>" and the
// terminator leave room for 23 characters.
TEST_F(EnterBootloadTest, PinIsSentAsTypedOnlyWhenItFitsTheCommand) {
  TestUnit unit;
  EthernetTransportTCP link(LoopbackAddress(), unit.TcpPort());
  ASSERT_NE(0, link.Open());

  const std::wstring longest(23, L'7');
  EXPECT_EQ(0, SendEnterBootloadCommands(&dialog_, &link, longest.c_str()));  // wrong PIN, but sent whole
  EXPECT_EQ("<SY,BU" + std::string(23, '7') + "/>\r\n", unit.Text().ArrivedBytes(TextChannel::Tcp));

  // Refused before anything goes out: too long, a character that would end
  // or start a command, one that has no 8-bit form, none at all.
  const std::wstring tooLong(24, L'7');
  const wchar_t* const refused[] = {tooLong.c_str(), L"12/><SY,BE", L"12>4",
                                    L"12\x00e9"
                                    L"4",
                                    L"1\r\n4"};
  for (const wchar_t* pin : refused) EXPECT_EQ(0, SendEnterBootloadCommands(&dialog_, &link, pin));
  EXPECT_EQ(0, SendEnterBootloadCommands(&dialog_, &link, nullptr));
  EXPECT_EQ(0, SendEnterBootloadCommands(&dialog_, nullptr, L"1234"));
  EXPECT_EQ("<SY,BU" + std::string(23, '7') + "/>\r\n", unit.Text().ArrivedBytes(TextChannel::Tcp));
  EXPECT_EQ(8u, boxes_.Boxes().size());
  for (const ShownBox& box : boxes_.Boxes()) EXPECT_EQ(L"Unable to enter Bootload Mode.", box.text);
}

}  // namespace
