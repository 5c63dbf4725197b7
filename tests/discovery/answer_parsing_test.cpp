// Which answers count, how their senders are marked, and which typed
// addresses may be queried: the pure parts of network and serial discovery.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "app/messages.h"
#include "discovery/com_discover.h"
#include "discovery/discovery_workers.h"
#include "discovery/ip_discover.h"

namespace {

using platform::InterfaceAddress;

MatchString Match(const wchar_t* model) {
  MatchString m;
  BuildMatchString(m, model);
  return m;
}

// A literal with the zero bytes it holds.
template <size_t N>
std::string Bytes(const char (&text)[N]) {
  return std::string(text, N - 1);
}

// -1: not reported; 0: application mode; 1: bootload mode.
int Parse(const std::string& answer, const wchar_t* model = L"TQ35B") {
  bool bootload = true;
  const MatchString m = Match(model);
  if (!ParseDiscoveryAnswer(reinterpret_cast<const uint8_t*>(answer.data()), answer.size(), m, &bootload)) {
    EXPECT_FALSE(bootload) << "a rejected answer must not claim bootload mode";
    return -1;
  }
  return bootload ? 1 : 0;
}

InterfaceAddress Row(uint8_t a, uint8_t b, uint8_t c, uint8_t d, int prefix) {
  const uint32_t host = prefix == 0 ? 0 : 0xFFFFFFFFu << (32 - prefix);
  return {Ipv4(a, b, c, d), Ipv4(host >> 24, (host >> 16) & 0xFF, (host >> 8) & 0xFF, host & 0xFF)};
}

const InterfaceAddress kLoopback = Row(127, 0, 0, 1, 8);

TEST(MatchStringTest, MakerNameSpaceAndModel) {
  const MatchString m = Match(L"TQ35B");
  EXPECT_STREQ(m.wide, L"Varno TQ35B");
  EXPECT_STREQ(m.narrow, "Varno TQ35B");
  EXPECT_EQ(m.length, 11u);
  EXPECT_EQ(m.narrowLength, 11u);
  EXPECT_TRUE(m.usable);

  EXPECT_STREQ(Match(nullptr).narrow, "Varno ");
  EXPECT_STREQ(Match(L"").narrow, "Varno ");

  // A model name longer than the buffer is cut to 255 characters in all.
  const std::wstring longModel(400, L'M');
  const MatchString cut = Match(longModel.c_str());
  EXPECT_EQ(cut.length, 255u);
  EXPECT_EQ(cut.narrowLength, 255u);
  EXPECT_EQ(cut.narrow[255], '\0');
}

TEST(AnswerParsingTest, ModeFollowsTheThirdLine) {
  EXPECT_EQ(Parse("host\r\n00-04\r\nVarno TQ35B - Bootload\r\n"), 1);
  EXPECT_EQ(Parse("host\r\n00-04\r\nVarno TQ35B - Application\r\n"), 0);
  EXPECT_EQ(Parse("host\r\n00-04\r\nVarno TQ35B anything else"), 0);
  EXPECT_EQ(Parse("host\r\n00-04\r\nVarno TQ35B"), 0);  // nothing after the match string
  // The suffix without its line end, or cut short, is not bootload mode.
  EXPECT_EQ(Parse("host\r\n00-04\r\nVarno TQ35B - Bootload"), 0);
  EXPECT_EQ(Parse("host\r\n00-04\r\nVarno TQ35B - Bootload\r"), 0);
  EXPECT_EQ(Parse("host\r\n00-04\r\nVarno TQ35B - bootload\r\n"), 0);
  // Empty first lines are lines too.
  EXPECT_EQ(Parse("\r\n\r\nVarno TQ35B - Bootload\r\n"), 1);
}

TEST(AnswerParsingTest, OtherModelsAndMalformedAnswersAreNotReported) {
  EXPECT_EQ(Parse("host\r\n00-04\r\nVarno TQ36B - Bootload\r\n"), -1);
  EXPECT_EQ(Parse("host\r\n00-04\r\nVarno tq35b - Bootload\r\n"), -1);
  EXPECT_EQ(Parse("host\r\n00-04\r\nOther TQ35B - Bootload\r\n"), -1);
  EXPECT_EQ(Parse("host\r\nVarno TQ35B - Bootload\r\n"), -1);  // one CR LF before the model line
  EXPECT_EQ(Parse("Varno TQ35B - Bootload\r\n"), -1);
  EXPECT_EQ(Parse("host\r\n00-04\r\nVarno TQ3"), -1);  // too short for the match string
  EXPECT_EQ(Parse("host\r\n00-04\r\n"), -1);
  // Bare LF and bare CR are no line ends; LF CR is not one either.
  EXPECT_EQ(Parse("host\n00-04\nVarno TQ35B - Bootload\n"), -1);
  EXPECT_EQ(Parse("host\r00-04\rVarno TQ35B - Bootload\r"), -1);
  EXPECT_EQ(Parse("host\n\r00-04\n\rVarno TQ35B - Bootload\r\n"), -1);
  // A CR LF pair split by the end of the answer does not count.
  EXPECT_EQ(Parse("host\r\n00-04\r"), -1);
}

TEST(AnswerParsingTest, LineEndsAreFoundInsideOddFirstLines) {
  // CR CR LF: the first CR is an ordinary byte, the pair after it ends the line.
  EXPECT_EQ(Parse("ho\rst\r\r\n00-04\r\nVarno TQ35B - Bootload\r\n"), 1);
  // The model text on a first line does not count.
  EXPECT_EQ(Parse("Varno TQ35B - Bootload\r\nx\r\nVarno TQ36B\r\n"), -1);
  // Bytes that are not text in the first lines are skipped unread.
  EXPECT_EQ(Parse(Bytes("h\0st\xff\r\n\x01\x02\r\nVarno TQ35B - Bootload\r\n")), 1);
}

TEST(AnswerParsingTest, ModelThatBeginsWithOursIsReportedInApplicationMode) {
  EXPECT_EQ(Parse("host\r\n00-04\r\nVarno TQ35BX - Bootload\r\n"), 0);
  EXPECT_EQ(Parse("host\r\n00-04\r\nVarno TQ35B2 - Application\r\n"), 0);
}

TEST(AnswerParsingTest, WithoutAModelPropertyAnyVarnoUnitCounts) {
  EXPECT_EQ(Parse("host\r\n00-04\r\nVarno TQ99 - Bootload\r\n", nullptr),
            0);  // " - Bootload" must follow "Varno " itself
  EXPECT_EQ(Parse("host\r\n00-04\r\nVarno  - Bootload\r\n", nullptr), 1);
  EXPECT_EQ(Parse("host\r\n00-04\r\nVarno - Bootload\r\n", nullptr), 0);
  EXPECT_EQ(Parse("host\r\n00-04\r\nVarnoTQ35B\r\n", nullptr), -1);  // no space after the name
  EXPECT_EQ(Parse("host\r\n00-04\r\nVarno TQ35B - Application\r\n", nullptr), 0);
  EXPECT_EQ(Parse("host\r\n00-04\r\nOther TQ35B\r\n", nullptr), -1);
}

TEST(AnswerParsingTest, OnlyTheBytesOfTheCurrentAnswerCount) {
  // The receive buffer keeps what an earlier, longer answer left behind;
  // none of it may complete a shorter answer.
  const std::string earlier = "host\r\n00-04\r\nVarno TQ35B - Bootload\r\n";
  const MatchString m = Match(L"TQ35B");
  bool bootload = true;
  const auto* bytes = reinterpret_cast<const uint8_t*>(earlier.data());
  const size_t modelEnd = earlier.find(" - Bootload");
  EXPECT_TRUE(ParseDiscoveryAnswer(bytes, modelEnd, m, &bootload));
  EXPECT_FALSE(bootload);
  EXPECT_TRUE(ParseDiscoveryAnswer(bytes, earlier.size() - 1, m, &bootload));
  EXPECT_FALSE(bootload);
  EXPECT_FALSE(ParseDiscoveryAnswer(bytes, modelEnd - 1, m, &bootload));
  EXPECT_FALSE(ParseDiscoveryAnswer(bytes, 12, m, &bootload));  // cut inside the second CR LF
  EXPECT_FALSE(ParseDiscoveryAnswer(bytes, 0, m, &bootload));
}

TEST(AnswerParsingTest, HardwareAddressIsTheSecondLineWhenItReadsAsOne) {
  auto mac = [](const std::string& answer) {
    return DiscoveryAnswerMac(reinterpret_cast<const uint8_t*>(answer.data()), answer.size());
  };
  EXPECT_EQ(mac("h\r\n02-54-51-4d-00-1a\r\nVarno TQ35B\r\n"), "02-54-51-4D-00-1A");
  EXPECT_EQ(mac("h\r\n02:54:51:4D:00:1A\r\nVarno TQ35B\r\n"), "02-54-51-4D-00-1A");
  for (const char* bad :
       {"h\r\n02-54-51-4D-00\r\nV\r\n", "h\r\n02-54-51-4D-00-1G\r\nV\r\n", "h\r\n02-54-51-4D-00-1A \r\nV\r\n",
        "h\r\n02-54-51-4D-00-1A", "02-54-51-4D-00-1A\r\n", "h\r\n02.54.51.4D.00.1A\r\nV\r\n", ""})
    EXPECT_EQ(mac(bad), "") << bad;
}

TEST(SenderClassificationTest, LinkLocalRangeLeavesOutBothEnds) {
  EXPECT_FALSE(IsLinkLocal(Ipv4(169, 254, 0, 0)));
  EXPECT_FALSE(IsLinkLocal(Ipv4(169, 254, 0, 1)));
  EXPECT_TRUE(IsLinkLocal(Ipv4(169, 254, 0, 2)));
  EXPECT_TRUE(IsLinkLocal(Ipv4(169, 254, 7, 9)));
  EXPECT_TRUE(IsLinkLocal(Ipv4(169, 254, 1, 0)));  // H = 256: only the last two octets together count
  EXPECT_TRUE(IsLinkLocal(Ipv4(169, 254, 255, 253)));
  EXPECT_FALSE(IsLinkLocal(Ipv4(169, 254, 255, 254)));
  EXPECT_FALSE(IsLinkLocal(Ipv4(169, 254, 255, 255)));
  EXPECT_FALSE(IsLinkLocal(Ipv4(169, 253, 7, 9)));
  EXPECT_FALSE(IsLinkLocal(Ipv4(168, 254, 7, 9)));
  EXPECT_FALSE(IsLinkLocal(Ipv4(254, 169, 7, 9)));  // byte order matters
}

TEST(SenderClassificationTest, SubnetMarkFollowsTheInterfaceTable) {
  const uint32_t linkLocalUnit = Ipv4(169, 254, 7, 9);
  EXPECT_EQ(ClassifySender(linkLocalUnit, {kLoopback, Row(169, 254, 1, 1, 16)}), kUnitLinkLocal);
  EXPECT_EQ(ClassifySender(linkLocalUnit, {kLoopback, Row(192, 168, 1, 20, 24)}), kUnitLinkLocal | kUnitOtherSubnet);

  const std::vector<InterfaceAddress> table = {kLoopback, Row(10, 77, 0, 1, 24), Row(192, 168, 1, 20, 24)};
  EXPECT_EQ(ClassifySender(Ipv4(10, 77, 0, 20), table), 0u);
  EXPECT_EQ(ClassifySender(Ipv4(192, 168, 1, 7), table), 0u);
  EXPECT_EQ(ClassifySender(Ipv4(10, 77, 1, 20), table), kUnitOtherSubnet);
  EXPECT_EQ(ClassifySender(Ipv4(192, 168, 50, 7), table), kUnitOtherSubnet);

  // The loopback row is no subnet of ours, but other 127 rows are.
  EXPECT_EQ(ClassifySender(Ipv4(127, 0, 0, 5), {kLoopback}), kUnitOtherSubnet);
  EXPECT_EQ(ClassifySender(Ipv4(127, 0, 0, 5), {kLoopback, Row(127, 0, 0, 2, 8)}), 0u);
  // An adapter without an address (0.0.0.0/0) holds every sender.
  EXPECT_EQ(ClassifySender(Ipv4(203, 0, 113, 9), {kLoopback, Row(0, 0, 0, 0, 0)}), 0u);
  EXPECT_EQ(ClassifySender(Ipv4(169, 254, 7, 9), {Row(0, 0, 0, 0, 0)}), kUnitLinkLocal);
  // No table at all: everyone is elsewhere.
  EXPECT_EQ(ClassifySender(Ipv4(10, 77, 0, 20), {}), kUnitOtherSubnet);
}

TEST(DirectedBroadcastTest, AddressOrNotMask) {
  EXPECT_EQ(DirectedBroadcast(Row(10, 77, 0, 1, 24)), Ipv4(10, 77, 0, 255));
  EXPECT_EQ(DirectedBroadcast(Row(10, 0, 0, 5, 8)), Ipv4(10, 255, 255, 255));
  EXPECT_EQ(DirectedBroadcast(Row(169, 254, 1, 1, 16)), Ipv4(169, 254, 255, 255));
  EXPECT_EQ(DirectedBroadcast(Row(192, 168, 1, 130, 25)), Ipv4(192, 168, 1, 255));
  EXPECT_EQ(DirectedBroadcast(Row(192, 168, 1, 20, 25)), Ipv4(192, 168, 1, 127));
  EXPECT_EQ(DirectedBroadcast(Row(0, 0, 0, 0, 0)), Ipv4(255, 255, 255, 255));
  EXPECT_TRUE(IsLoopbackRow(kLoopback));
  EXPECT_FALSE(IsLoopbackRow(Row(127, 0, 0, 2, 8)));
}

// IsUnitAddress reads the table through the platform layer; these tables
// are supplied, so nothing is sent anywhere.
class IsUnitAddressTest : public ::testing::Test {
 protected:
  void TearDown() override { platform::SetInterfaceTableForTesting(nullptr); }
  void Use(const std::vector<InterfaceAddress>& rows) { platform::SetInterfaceTableForTesting(&rows); }
};

TEST_F(IsUnitAddressTest, BroadcastAddressesOfLocalInterfacesAreRefused) {
  Use({kLoopback, Row(192, 168, 1, 20, 24)});
  EXPECT_FALSE(IsUnitAddress(Ipv4(192, 168, 1, 255)));
  EXPECT_TRUE(IsUnitAddress(Ipv4(192, 168, 1, 20)));  // our own address is not refused here
  EXPECT_TRUE(IsUnitAddress(Ipv4(192, 168, 1, 7)));
  EXPECT_FALSE(IsUnitAddress(Ipv4(127, 0, 0, 1)));
  EXPECT_TRUE(IsUnitAddress(Ipv4(127, 255, 255, 255)));  // the loopback row is not compared
  EXPECT_TRUE(IsUnitAddress(Ipv4(127, 0, 0, 2)));

  Use({kLoopback, Row(10, 0, 0, 5, 8)});
  EXPECT_TRUE(IsUnitAddress(Ipv4(192, 168, 1, 255)));
  EXPECT_FALSE(IsUnitAddress(Ipv4(10, 255, 255, 255)));

  Use({kLoopback, Row(10, 77, 0, 1, 24)});
  EXPECT_FALSE(IsUnitAddress(Ipv4(10, 77, 0, 255)));
}

TEST_F(IsUnitAddressTest, TableIsReadAfreshAndItsAbsenceAllowsEverythingButLoopback) {
  Use({kLoopback, Row(10, 77, 0, 1, 24)});
  EXPECT_FALSE(IsUnitAddress(Ipv4(10, 77, 0, 255)));
  Use({kLoopback, Row(10, 78, 0, 1, 24)});
  EXPECT_TRUE(IsUnitAddress(Ipv4(10, 77, 0, 255)));
  EXPECT_FALSE(IsUnitAddress(Ipv4(10, 78, 0, 255)));

  platform::SetInterfaceTableForTesting(nullptr, false);
  EXPECT_TRUE(IsUnitAddress(Ipv4(10, 78, 0, 255)));
  EXPECT_FALSE(IsUnitAddress(Ipv4(127, 0, 0, 1)));
}

bool NamesBootloader(const std::string& text, size_t skip = 11) {
  // Copied to a buffer of exactly the text's size, so that a scan past its
  // end shows under the address sanitizer.
  std::vector<uint8_t> bytes(text.begin(), text.end());
  return IdentityNamesBootloader(bytes.data(), bytes.size(), skip);
}

TEST(IdentityTextTest, ThirdLineAfterTheModelMustBeExactlyBootload) {
  EXPECT_TRUE(NamesBootloader("TQ35B-SIM\r\n02-54\r\nVarno TQ35B - Bootload"));
  EXPECT_TRUE(NamesBootloader("TQ35B-SIM\r\n02-54\r\nVarno TQ35B - Bootload\r\n"));
  EXPECT_TRUE(NamesBootloader("TQ35B-SIM\r\n02-54\r\nVarno TQ35B - Bootload\rmore"));
  // The skipped characters are not compared.
  EXPECT_TRUE(NamesBootloader("a\r\nb\r\nxxxxxxxxxxx - Bootload"));
  EXPECT_TRUE(NamesBootloader("a\r\nb\r\nxxxxx - Bootload", 5));
  EXPECT_TRUE(NamesBootloader("\r\n\r\nVarno TQ35B - Bootload"));
  // The byte after each CR is skipped whatever it is.
  EXPECT_TRUE(NamesBootloader("a\rXb\rYVarno TQ35B - Bootload"));

  EXPECT_FALSE(NamesBootloader("a\r\nb\r\nVarno TQ35B - Application\r\n"));
  EXPECT_FALSE(NamesBootloader("a\r\nb\r\nVarno TQ35B - Bootloader\r\n"));
  EXPECT_FALSE(NamesBootloader("a\r\nb\r\nVarno TQ35B - Bootloa"));
  EXPECT_FALSE(NamesBootloader("a\r\nb\r\nVarno TQ35B  - Bootload"));
  EXPECT_FALSE(NamesBootloader("a\r\nVarno TQ35B - Bootload"));   // no third line
  EXPECT_FALSE(NamesBootloader("Varno TQ35B - Bootload"));        // no line end at all
  EXPECT_FALSE(NamesBootloader("a\nb\nVarno TQ35B - Bootload"));  // LF alone ends no line
}

TEST(IdentityTextTest, ShortOrCutTextsAreReadWithinTheirBytes) {
  // A third line shorter than the model part simply does not match.
  EXPECT_FALSE(NamesBootloader("a\r\nb\r\nVarno"));
  EXPECT_FALSE(NamesBootloader("a\r\nb\r\n"));
  EXPECT_FALSE(NamesBootloader("a\r\nb\r"));
  EXPECT_FALSE(NamesBootloader("a\r"));
  EXPECT_FALSE(NamesBootloader(""));
  EXPECT_FALSE(NamesBootloader(" - Bootload", 0));
  EXPECT_TRUE(NamesBootloader("\r\n\r\n - Bootload", 0));
  // The text is text: a zero byte ends the line.
  EXPECT_FALSE(NamesBootloader(Bytes("a\r\nb\r\nVarno TQ35B\0 - Bootload")));
  EXPECT_TRUE(NamesBootloader(Bytes("a\r\nb\r\nVarno TQ35B - Bootload\0junk")));
}

}  // namespace

namespace {

// The serial probe skips the maker and model by their length in characters.
// A model with no 8-bit form under the current locale (here the C locale,
// which has none for "é") still names itself on the identity's third line,
// one byte a character, and a unit in bootload mode must still be found.
TEST(IdentityTextTest, ModelIsSkippedByItsLengthInCharacters) {
  const MatchString ascii = Match(L"TQ35B");
  EXPECT_EQ(IdentityModelLength(ascii), 11u);
  EXPECT_TRUE(NamesBootloader("a\r\nb\r\nVarno TQ35B - Bootload", IdentityModelLength(ascii)));

  const MatchString accented = Match(L"TQ35B\u00e9");
  ASSERT_FALSE(accented.usable) << "the test needs a model without an 8-bit form";
  EXPECT_EQ(IdentityModelLength(accented), 12u);
  EXPECT_TRUE(NamesBootloader("a\r\nb\r\nVarno TQ35B\xe9 - Bootload", IdentityModelLength(accented)));
  EXPECT_FALSE(NamesBootloader("a\r\nb\r\nVarno TQ35B\xe9 - Application", IdentityModelLength(accented)));
}

}  // namespace
