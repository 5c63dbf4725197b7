#include "package/bin_manager.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tests/package/test_resources.h"

namespace {

constexpr uint32_t kBase = 0x40000;

std::string Pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(i * 7 + 3);
  return s;
}

struct Block {
  uint32_t address;
  std::string bytes;
};

std::vector<Block> AllBlocks(CBinManager& image, uint16_t maximum = 64) {
  std::vector<Block> out;
  uint8_t buffer[256];
  uint32_t address = 0;
  while (uint16_t n = image.NextBlock(buffer, maximum, &address))
    out.push_back({address, std::string(reinterpret_cast<char*>(buffer), n)});
  return out;
}

TEST(FlashBlocks, Image128BytesGivesTwoBlocksThenZero) {
  TestResources res;
  res.Add(L"IMG", L"BIN", Pattern(128));
  CBinManager image(kBase);
  ASSERT_TRUE(image.LoadFromResource(L"IMG"));
  uint8_t buffer[64];
  uint32_t address = 0;
  ASSERT_EQ(image.NextBlock(buffer, 64, &address), 64u);
  EXPECT_EQ(address, kBase);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 64), Pattern(128).substr(0, 64));
  ASSERT_EQ(image.NextBlock(buffer, 64, &address), 64u);
  EXPECT_EQ(address, kBase + 64);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 64), Pattern(128).substr(64));
  EXPECT_EQ(image.BytesConsumed(), 128u);
  address = 0xDEADBEEF;
  EXPECT_EQ(image.NextBlock(buffer, 64, &address), 0u);
  EXPECT_EQ(address, 0xDEADBEEFu);  // not written when nothing is left
  EXPECT_EQ(image.BytesConsumed(), 128u);
}

TEST(FlashBlocks, OneByteImageGivesOneBlockAtTheBase) {
  TestResources res;
  res.Add(L"IMG", L"BIN", "\x5A");
  CBinManager image(kBase);
  ASSERT_TRUE(image.LoadFromResource(L"IMG"));
  std::vector<Block> blocks = AllBlocks(image);
  ASSERT_EQ(blocks.size(), 1u);
  EXPECT_EQ(blocks[0].address, kBase);
  EXPECT_EQ(blocks[0].bytes, "\x5A");
}

TEST(FlashBlocks, EmptyOrMissingImageGivesZeroAtOnce) {
  TestResources res;
  res.Add(L"EMPTY", L"BIN", "");
  CBinManager image(kBase);
  ASSERT_TRUE(image.LoadFromResource(L"EMPTY"));
  EXPECT_EQ(image.Size(), 0u);
  EXPECT_TRUE(AllBlocks(image).empty());
  EXPECT_FALSE(image.LoadFromResource(L"P32_FLASH"));
  EXPECT_EQ(image.Size(), 0u);
  EXPECT_TRUE(AllBlocks(image).empty());
}

TEST(FlashBlocks, RewindStartsAgainAtTheBase) {
  TestResources res;
  res.Add(L"IMG", L"BIN", Pattern(100));
  CBinManager image(kBase);
  ASSERT_TRUE(image.LoadFromResource(L"IMG"));
  std::vector<Block> first = AllBlocks(image);
  ASSERT_TRUE(image.Rewind());
  EXPECT_EQ(image.BytesConsumed(), 0u);
  std::vector<Block> second = AllBlocks(image);
  ASSERT_EQ(second.size(), 2u);
  EXPECT_EQ(second[0].address, kBase);
  EXPECT_EQ(second[1].address, kBase + 64);
  EXPECT_EQ(second[1].bytes, Pattern(100).substr(64));
  EXPECT_EQ(first.size(), second.size());
}

class FlashFile : public ::testing::Test {
 protected:
  void SetUp() override { path_ = ::testing::TempDir() + "bin_manager_test.bin"; }
  void TearDown() override { std::remove(path_.c_str()); }
  void Write(const std::string& bytes) {
    std::FILE* f = std::fopen(path_.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
  }
  std::wstring WidePath() const { return std::wstring(path_.begin(), path_.end()); }
  std::string path_;
};

TEST_F(FlashFile, FileImageHoldsTheFileBytes) {
  Write(Pattern(1000));
  CBinManager image(kBase);
  ASSERT_TRUE(image.LoadFromFile(WidePath().c_str()));
  EXPECT_FALSE(image.FromResource());
  ASSERT_EQ(image.Size(), 1000u);
  std::string joined;
  for (const Block& b : AllBlocks(image)) joined += b.bytes;
  EXPECT_EQ(joined, Pattern(1000));
}

TEST_F(FlashFile, LoadingAFileAfterAResourceLeavesTheResourceData) {
  TestResources res;
  res.Add(L"IMG", L"BIN", Pattern(300));
  CBinManager image(kBase);
  ASSERT_TRUE(image.LoadFromResource(L"IMG"));
  const uint8_t* resourceBytes = image.Data();
  Write("file");
  // Freeing the resource bytes here would be a free of memory never allocated.
  ASSERT_TRUE(image.LoadFromFile(WidePath().c_str()));
  EXPECT_EQ(image.Size(), 4u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(resourceBytes), 300), Pattern(300));
  // And back to the resource: the file buffer goes, the resource stays usable.
  ASSERT_TRUE(image.LoadFromResource(L"IMG"));
  EXPECT_EQ(image.Data(), resourceBytes);
  EXPECT_EQ(AllBlocks(image).size(), 5u);
}

TEST_F(FlashFile, UnreadableFileLeavesTheImageEmpty) {
  TestResources res;
  res.Add(L"IMG", L"BIN", Pattern(64));
  CBinManager image(kBase);
  ASSERT_TRUE(image.LoadFromResource(L"IMG"));
  AllBlocks(image);
  EXPECT_FALSE(image.LoadFromFile(L"/nonexistent/dir/flash.bin"));
  EXPECT_EQ(image.Size(), 0u);
  EXPECT_EQ(image.BytesConsumed(), 0u);  // Clear rewinds too
  EXPECT_TRUE(AllBlocks(image).empty());
}

}  // namespace
