// The package built into the program, read through the generated resource
// table exactly as start-up reads it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cwchar>
#include <string>
#include <vector>

#include "package/bin_manager.h"
#include "package/hex_manager.h"
#include "package/properties_container.h"
#include "platform/platform.h"

namespace {

class PackagedImage : public ::testing::Test {
 protected:
  void SetUp() override { platform::SetResourceTable(nullptr); }
};

TEST_F(PackagedImage, ApplicationRecordsAndFramesOfTheUpdate) {
  CHexManager hex;
  ASSERT_TRUE(hex.LoadFromResource(L"P32_APPLICATION"));
  ASSERT_EQ(hex.RecordCount(), 19762u);
  hex.Rewind();

  // Packed the way the update packs them: up to 8 whole records, 2048 bytes.
  uint8_t frame[2048];
  std::vector<int> perFrame;
  uint32_t types[256] = {};
  uint32_t badSums = 0;
  uint32_t lastType = 0;
  for (;;) {
    uint32_t used = 0;
    int records = 0;
    for (int n = 0; n < 8; ++n) {
      uint16_t count = hex.NextRecord(frame + used, sizeof frame - used);
      if (count == 0) break;
      const uint8_t* r = frame + used;
      EXPECT_LE(count, 21u);
      EXPECT_EQ(count, r[0] + 5u);
      uint8_t sum = 0;
      for (uint16_t i = 0; i < count; ++i) sum = static_cast<uint8_t>(sum + r[i]);
      badSums += sum != 0;
      ++types[r[3]];
      lastType = r[3];
      used += count;
      ++records;
    }
    if (used == 0) break;
    perFrame.push_back(records);
  }
  EXPECT_EQ(perFrame.size(), 2471u);
  EXPECT_EQ(perFrame.back(), 2);
  EXPECT_EQ(std::count(perFrame.begin(), perFrame.end(), 8), 2470);
  EXPECT_EQ(hex.RecordsConsumed(), 19762u);
  EXPECT_EQ(types[0x00], 17205u);
  EXPECT_EQ(types[0x04], 2556u);
  EXPECT_EQ(types[0x01], 1u);
  EXPECT_EQ(lastType, 0x01u);
  EXPECT_EQ(badSums, 0u);
}

TEST_F(PackagedImage, ApplicationDataLiesWhereTheUnitExpectsIt) {
  CHexManager hex;
  ASSERT_TRUE(hex.LoadFromResource(L"P32_APPLICATION"));
  uint8_t r[CHexManager::kMaxRecordBytes];
  uint32_t upper = 0;
  uint32_t lowest = UINT32_MAX, highestMain = 0, bytesTop = 0, bytesBoot = 0;
  uint32_t bootEnd = 0;
  while (hex.NextRecord(r, sizeof r)) {
    if (r[3] == 0x04) upper = static_cast<uint32_t>(r[4] << 8 | r[5]) << 16;
    if (r[3] != 0x00) continue;
    uint32_t address = upper | static_cast<uint32_t>(r[1] << 8 | r[2]);
    uint32_t end = address + r[0];
    if (address >= 0x1FC00000) {
      EXPECT_GE(address, 0x1FC00480u);
      bytesBoot += r[0];
      bootEnd = std::max(bootEnd, end);
    } else if (address >= 0x1D07FFFC) {
      bytesTop += r[0];
    } else {
      lowest = std::min(lowest, address);
      highestMain = std::max(highestMain, end);
    }
  }
  EXPECT_EQ(lowest, 0x1D00B180u);
  EXPECT_EQ(highestMain, 0x1D04D3F8u);
  EXPECT_EQ(bytesTop, 4u);
  EXPECT_EQ(bytesBoot, 44u);
  EXPECT_EQ(bootEnd, 0x1FC004ACu);
}

TEST_F(PackagedImage, FlashBlocksCoverTheImageFromTheBase) {
  CBinManager flash(0x40000);
  ASSERT_TRUE(flash.LoadFromResource(L"P32_FLASH"));
  ASSERT_EQ(flash.Size(), 246516u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(flash.Data()), 4), "TQFS");
  flash.Rewind();
  uint8_t block[64];
  uint32_t address = 0, expected = 0x40000, blocks = 0;
  uint16_t count = 0, last = 0;
  std::string joined;
  while ((count = flash.NextBlock(block, 64, &address)) != 0) {
    EXPECT_EQ(address, expected);
    expected += count;
    last = count;
    ++blocks;
    joined.append(reinterpret_cast<char*>(block), count);
  }
  EXPECT_EQ(blocks, 3852u);
  EXPECT_EQ(last, 52u);
  EXPECT_EQ(expected, 0x7C2F4u);
  EXPECT_EQ(flash.BytesConsumed(), 246516u);
  EXPECT_TRUE(joined == std::string(reinterpret_cast<const char*>(flash.Data()), flash.Size()));
}

// Pages of a help sequence, counted the way the help wizard reads them.
int HelpPages(const PropertiesContainer& props, const std::wstring& prefix) {
  int pages = 0;
  while (*props.Get((prefix + L"." + std::to_wstring(pages + 1)).c_str())) ++pages;
  return pages;
}

TEST_F(PackagedImage, UnitPropertiesNameTheModelAndVersions) {
  PropertiesContainer unit;
  ASSERT_TRUE(unit.LoadFromResource(L"UNIT"));
  EXPECT_STREQ(unit.Get(L"model"), L"TQ35B");
  EXPECT_STREQ(unit.Get(L"announce-model"), L"TQ35B");
  EXPECT_STREQ(unit.Get(L"build-version"), L"V1.8");
  EXPECT_STREQ(unit.Get(L"server-ui-version"), L"V1.8");
  EXPECT_STREQ(unit.Get(L"server-fw-version"), L"V1.8");
  EXPECT_STREQ(unit.Get(L"server-hw-version"), L"V1.1");
  EXPECT_EQ(unit.Find(L"core-hw-version"), nullptr);
  EXPECT_EQ(unit.Find(L"core-fw-version"), nullptr);
  EXPECT_EQ(HelpPages(unit, L"help-message.Unit Preparation"), 1);
  EXPECT_NE(std::wcschr(unit.Get(L"help-message.Unit Preparation.1"), L'\n'), nullptr);
}

TEST_F(PackagedImage, UpdaterPropertiesHoldTheMessagesAndSevenPages) {
  PropertiesContainer updater;
  ASSERT_TRUE(updater.LoadFromResource(L"UPDATER"));
  for (const wchar_t* key : {L"update-warning", L"error-message.WrongResponse", L"error-message.NoResponse",
                             L"error-message.NoHexFile", L"error-message.MBlockOverflow"}) {
    SCOPED_TRACE(std::wstring(key).c_str());
    EXPECT_NE(std::wcschr(updater.Get(key), L'\n'), nullptr);  // multi-line, escapes turned into breaks
    EXPECT_EQ(std::wcsstr(updater.Get(key), L"\\n"), nullptr);
  }
  EXPECT_EQ(HelpPages(updater, L"help-message.Updater Instructions"), 7);
}

}  // namespace
