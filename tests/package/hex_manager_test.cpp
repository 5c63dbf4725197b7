#include "package/hex_manager.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tests/package/test_resources.h"

namespace {

using Bytes = std::vector<uint8_t>;

bool LoadHex(CHexManager& hex, TestResources& resources, const std::string& text) {
  resources.Add(L"APP", L"HEX", text);
  return hex.LoadFromResource(L"APP");
}

// Takes every record out, each offered the room it needs.
std::vector<Bytes> Drain(CHexManager& hex) {
  std::vector<Bytes> out;
  uint8_t buffer[CHexManager::kMaxRecordBytes];
  while (uint16_t n = hex.NextRecord(buffer, sizeof buffer)) out.emplace_back(buffer, buffer + n);
  return out;
}

// A record line of `size` data bytes (valid checksum).
std::string RecordLine(uint8_t size, uint16_t address, uint8_t type, uint8_t fill) {
  Bytes b{size, static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address), type};
  for (int i = 0; i < size; ++i) b.push_back(static_cast<uint8_t>(fill + i));
  uint8_t sum = 0;
  for (uint8_t x : b) sum = static_cast<uint8_t>(sum + x);
  b.push_back(static_cast<uint8_t>(-sum));
  std::string line = ":";
  char pair[3];
  for (uint8_t x : b) {
    std::snprintf(pair, sizeof pair, "%02X", x);
    line += pair;
  }
  return line + "\r\n";
}

TEST(HexParsing, EndOfFileRecordBecomesFiveBytes) {
  TestResources res;
  CHexManager hex;
  ASSERT_TRUE(LoadHex(hex, res, ":00000001FF\r\n"));
  ASSERT_EQ(hex.RecordCount(), 1u);
  EXPECT_EQ(Drain(hex), (std::vector<Bytes>{{0x00, 0x00, 0x00, 0x01, 0xFF}}));
}

TEST(HexParsing, RecordMarkAloneGivesNothing) {
  TestResources res;
  CHexManager hex;
  ASSERT_TRUE(LoadHex(hex, res, ":\r\n:00000001FF\r\n:\r\n"));
  EXPECT_EQ(hex.RecordCount(), 1u);
}

TEST(HexParsing, OddDigitCountDropsTheLastDigit) {
  TestResources res;
  CHexManager hex;
  ASSERT_TRUE(LoadHex(hex, res, ":00000001F\r\n:0\r\n"));
  EXPECT_EQ(Drain(hex), (std::vector<Bytes>{{0x00, 0x00, 0x00, 0x01}}));
}

TEST(HexParsing, WrongChecksumAndAnyTypeAreStoredUnchanged) {
  TestResources res;
  CHexManager hex;
  ASSERT_TRUE(LoadHex(hex, res, ":0400100001020304F0\r\n:02000004abcd7e\r\n:00000009AA\r\n"));
  EXPECT_EQ(Drain(hex), (std::vector<Bytes>{{0x04, 0x00, 0x10, 0x00, 0x01, 0x02, 0x03, 0x04, 0xF0},
                                            {0x02, 0x00, 0x00, 0x04, 0xAB, 0xCD, 0x7E},
                                            {0x00, 0x00, 0x00, 0x09, 0xAA}}));
}

TEST(HexParsing, LineEndsBlankLinesAndTrailingBlanks) {
  TestResources res;
  CHexManager hex;
  // LF, CR, CRLF runs and blanks after a record; the last line has no line end.
  ASSERT_TRUE(LoadHex(hex, res, "\r\n:0000000100\n\n:00000001FF \t\r\r\n\r\n:00000001EE"));
  EXPECT_EQ(Drain(hex), (std::vector<Bytes>{{0, 0, 0, 1, 0x00}, {0, 0, 0, 1, 0xFF}}));
}

TEST(HexParsing, ReloadReplacesTheRecords) {
  TestResources res;
  CHexManager hex;
  ASSERT_TRUE(LoadHex(hex, res, ":00000001FF\r\n:00000001FF\r\n"));
  ASSERT_TRUE(hex.LoadFromResource(L"APP"));
  EXPECT_EQ(hex.RecordCount(), 2u);
  EXPECT_EQ(Drain(hex).size(), 2u);
}

TEST(HexRejects, RecordOfTheLargestSizeIsTakenOneMoreRejectsTheLoad) {
  TestResources res;
  CHexManager hex;
  std::string largest = ":" + std::string(2 * CHexManager::kMaxRecordBytes, 'A') + "\r\n";
  ASSERT_TRUE(LoadHex(hex, res, largest));
  ASSERT_EQ(hex.NextRecordLength(), CHexManager::kMaxRecordBytes);

  std::string tooLong = ":" + std::string(2 * CHexManager::kMaxRecordBytes + 2, 'A') + "\r\n";
  EXPECT_FALSE(LoadHex(hex, res, ":00000001FF\r\n" + tooLong + ":00000001FF\r\n"));
  // Nothing half-loaded is left to be sent.
  EXPECT_EQ(hex.RecordCount(), 0u);
  EXPECT_EQ(hex.NextRecordLength(), 0u);
}

TEST(HexRejects, LineLongerThanTheLineBufferRejectsTheLoad) {
  TestResources res;
  CHexManager hex;
  EXPECT_FALSE(LoadHex(hex, res, ":00000001FF\r\n:" + std::string(5000, '0') + "\r\n"));
  EXPECT_EQ(hex.RecordCount(), 0u);
}

TEST(HexRejects, NonHexadecimalCharacterRejectsTheLoad) {
  TestResources res;
  CHexManager hex;
  EXPECT_FALSE(LoadHex(hex, res, ":00000001FF\r\n:0000 0001FF\r\n"));
  EXPECT_EQ(hex.RecordCount(), 0u);
  EXPECT_FALSE(LoadHex(hex, res, ":00000001FG\r\n"));
  EXPECT_EQ(hex.RecordCount(), 0u);
}

TEST(HexHandingOut, RewindRestartsAtTheFirstRecord) {
  TestResources res;
  CHexManager hex;
  ASSERT_TRUE(LoadHex(hex, res, ":0000000101\r\n:0000000102\r\n:0000000103\r\n"));
  uint8_t buffer[8];
  ASSERT_EQ(hex.NextRecord(buffer, sizeof buffer), 5u);
  ASSERT_EQ(hex.NextRecord(buffer, sizeof buffer), 5u);
  EXPECT_EQ(buffer[4], 0x02);
  EXPECT_EQ(hex.RecordsConsumed(), 2u);
  ASSERT_TRUE(hex.Rewind());
  EXPECT_EQ(hex.RecordsConsumed(), 0u);
  ASSERT_EQ(hex.NextRecord(buffer, sizeof buffer), 5u);
  EXPECT_EQ(buffer[4], 0x01);
  EXPECT_EQ(hex.RecordsConsumed(), 1u);
}

TEST(HexHandingOut, PastTheEndReturnsZeroAndLeavesTheCounters) {
  TestResources res;
  CHexManager hex;
  ASSERT_TRUE(LoadHex(hex, res, ":0000000101\r\n:00000001FF\r\n"));
  ASSERT_EQ(Drain(hex).size(), 2u);
  uint8_t buffer[8] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
  EXPECT_EQ(hex.NextRecord(buffer, sizeof buffer), 0u);
  EXPECT_EQ(hex.NextRecord(buffer, sizeof buffer), 0u);
  EXPECT_EQ(hex.RecordCount(), 2u);
  EXPECT_EQ(hex.RecordsConsumed(), 2u);
  EXPECT_EQ(buffer[0], 0xEE);
}

TEST(HexHandingOut, RecordThatDoesNotFitIsHeldBackWhole) {
  TestResources res;
  CHexManager hex;
  ASSERT_TRUE(LoadHex(hex, res, RecordLine(16, 0x1000, 0, 0x40) + ":00000001FF\r\n"));
  uint8_t buffer[32];
  std::fill(buffer, buffer + sizeof buffer, 0xEE);
  EXPECT_EQ(hex.NextRecord(buffer, 20), 0u);  // the record needs 21
  EXPECT_EQ(hex.RecordsConsumed(), 0u);
  EXPECT_EQ(hex.NextRecordLength(), 21u);  // held back, not gone
  EXPECT_EQ(buffer[0], 0xEE);              // and nothing of it written
  ASSERT_EQ(hex.NextRecord(buffer, 21), 21u);
  EXPECT_EQ(buffer[0], 16);
  EXPECT_EQ(buffer[4], 0x40);
  EXPECT_EQ(buffer[19], 0x4F);
  EXPECT_EQ(buffer[21], 0xEE);  // no byte past the record
  EXPECT_EQ(hex.RecordsConsumed(), 1u);
}

// The update's packing loop, with a frame small enough that records are
// held back: every record must arrive once, whole and in file order.
TEST(HexHandingOut, PackingIntoSmallFramesLosesNoRecord) {
  TestResources res;
  CHexManager hex;
  std::string text;
  std::vector<Bytes> expected;
  for (int i = 0; i < 30; ++i)
    text += RecordLine(static_cast<uint8_t>(i % 3 == 0 ? 200 : 16), 0, 0, static_cast<uint8_t>(i));
  ASSERT_TRUE(LoadHex(hex, res, text));
  expected = Drain(hex);
  ASSERT_EQ(expected.size(), 30u);
  hex.Rewind();

  const uint32_t kFrame = 300;
  std::vector<Bytes> received;
  int frames = 0;
  for (;;) {
    uint8_t frame[kFrame];
    uint32_t used = 0;
    std::vector<size_t> sizes;
    for (int n = 0; n < 8; ++n) {
      uint16_t count = hex.NextRecord(frame + used, kFrame - used);
      if (count == 0) break;
      sizes.push_back(count);
      used += count;
    }
    if (used == 0) break;
    ++frames;
    size_t offset = 0;
    for (size_t s : sizes) {
      received.emplace_back(frame + offset, frame + offset + s);
      offset += s;
    }
  }
  EXPECT_EQ(received, expected);
  EXPECT_EQ(hex.RecordsConsumed(), 30u);
  EXPECT_GT(frames, 30 / 8);  // some frames ended early for a held-back record
}

TEST(HexFile, LoadsFromAFileAndReadsTheLastLine) {
  std::string path = ::testing::TempDir() + "hex_manager_test.hex";
  std::FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  std::fputs(":0000000101\r\n:00000001FF", f);
  std::fclose(f);
  CHexManager hex;
  ASSERT_TRUE(hex.LoadFromFile(std::wstring(path.begin(), path.end()).c_str()));
  EXPECT_EQ(Drain(hex), (std::vector<Bytes>{{0, 0, 0, 1, 0x01}, {0, 0, 0, 1, 0xFF}}));
  std::remove(path.c_str());
}

}  // namespace
