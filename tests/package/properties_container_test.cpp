#include "package/properties_container.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "tests/package/test_resources.h"

namespace {

// Loads `text` as the resource "T" of type "PROPERTIES" into `props`.
bool LoadText(PropertiesContainer& props, TestResources& resources, const std::string& text) {
  resources.Add(L"T", L"PROPERTIES", text);
  return props.LoadFromResource(L"T");
}

TEST(PropertiesParsing, TrimsTabsAndSpacesAroundKeyAndValue) {
  TestResources res;
  PropertiesContainer props;
  ASSERT_TRUE(LoadText(props, res, " \tmodel\t\t \t=  \t TQ35B \t\r\n"));
  EXPECT_STREQ(props.Get(L"model"), L"TQ35B");
  EXPECT_EQ(props.Find(L" \tmodel"), nullptr);  // lookups compare exactly
}

TEST(PropertiesParsing, SplitsAtTheFirstEqualsSign) {
  TestResources res;
  PropertiesContainer props;
  ASSERT_TRUE(LoadText(props, res, "a = b = c\r\n=starts with equals\r\n"));
  EXPECT_STREQ(props.Get(L"a"), L"b = c");
  EXPECT_STREQ(props.Get(L""), L"starts with equals");
}

TEST(PropertiesParsing, BackslashNIsTheOnlyEscape) {
  TestResources res;
  PropertiesContainer props;
  ASSERT_TRUE(LoadText(props, res,
                       "m = one\\ntwo\\tthree\r\n"
                       "b = a\\\\nb\r\n"
                       "end = trailing\\\r\n"));
  EXPECT_STREQ(props.Get(L"m"), L"one\ntwo\\tthree");
  // A backslash does not escape another backslash.
  EXPECT_STREQ(props.Get(L"b"), L"a\\\nb");
  EXPECT_STREQ(props.Get(L"end"), L"trailing\\");
}

TEST(PropertiesParsing, FirstDefinitionWins) {
  TestResources res;
  PropertiesContainer props;
  ASSERT_TRUE(LoadText(props, res, "k = first\r\nk = second\r\n"));
  EXPECT_STREQ(props.Get(L"k"), L"first");
  // A second text adds to the first, still without replacing.
  res.Add(L"U", L"PROPERTIES", "k = third\r\nnew = yes\r\n");
  ASSERT_TRUE(props.LoadFromResource(L"U"));
  EXPECT_STREQ(props.Get(L"k"), L"first");
  EXPECT_STREQ(props.Get(L"new"), L"yes");
}

TEST(PropertiesParsing, KeyWithoutEqualsHasAnEmptyValue) {
  TestResources res;
  PropertiesContainer props;
  ASSERT_TRUE(LoadText(props, res, "  lonely key \t\r\n"));
  EXPECT_STREQ(props.Get(L"lonely key"), L"");
  const wchar_t* found = props.Find(L"lonely key");
  ASSERT_NE(found, nullptr);
  EXPECT_STREQ(found, L"");
}

TEST(PropertiesParsing, AbsentKeyGivesEmptyTextFromGetAndNullFromFind) {
  PropertiesContainer props;
  ASSERT_NE(props.Get(L"missing"), nullptr);
  EXPECT_STREQ(props.Get(L"missing"), L"");
  EXPECT_EQ(props.Find(L"missing"), nullptr);
  EXPECT_EQ(props.Find(nullptr), nullptr);
}

TEST(PropertiesParsing, AddKeepsTheFirstAndTakesANullValue) {
  PropertiesContainer props;
  props.Add(L"k", nullptr);
  props.Add(L"k", L"later");
  ASSERT_NE(props.Find(L"k"), nullptr);  // present, though added without a value
  EXPECT_STREQ(props.Get(L"k"), L"");
}

TEST(PropertiesLines, LineEndsOfEveryKindAndBlankLinesMakeNoEntries) {
  TestResources res;
  PropertiesContainer props;
  ASSERT_TRUE(LoadText(props, res, "\r\n\r\na=1\nb=2\rc=3\r\n\r\n\n\r\r\nd=4\n"));
  EXPECT_STREQ(props.Get(L"a"), L"1");
  EXPECT_STREQ(props.Get(L"b"), L"2");
  EXPECT_STREQ(props.Get(L"c"), L"3");
  EXPECT_STREQ(props.Get(L"d"), L"4");
  EXPECT_EQ(props.Find(L""), nullptr);  // no entry from a blank line
}

TEST(PropertiesLines, LastLineWithoutLineEndIsNotRead) {
  TestResources res;
  PropertiesContainer props;
  ASSERT_TRUE(LoadText(props, res, "a = 1\r\nb = 2"));
  EXPECT_STREQ(props.Get(L"a"), L"1");
  EXPECT_EQ(props.Find(L"b"), nullptr);
}

TEST(PropertiesLines, MissingResourceFailsAndLeavesTheContainerEmpty) {
  TestResources res;
  res.Add(L"OTHER", L"PROPERTIES", "a = 1\r\n");
  PropertiesContainer props;
  EXPECT_FALSE(props.LoadFromResource(L"UNIT"));
  EXPECT_FALSE(props.LoadFromResource(L"OTHER", L"HEX"));  // right name, wrong type
  EXPECT_EQ(props.Find(L"a"), nullptr);
}

TEST(PropertiesLimits, OverlongValueIsCutSafely) {
  TestResources res;
  PropertiesContainer props;
  std::string value(2000, 'v');
  ASSERT_TRUE(LoadText(props, res, "long = " + value + "\r\nnext = ok\r\n"));
  EXPECT_EQ(std::wstring(props.Get(L"long")), std::wstring(PropertiesContainer::kMaxTextLength, L'v'));
  // What follows the long line is read as usual, not as the long line's rest.
  EXPECT_STREQ(props.Get(L"next"), L"ok");
  EXPECT_EQ(props.Find(std::wstring(10, L'v').c_str()), nullptr);
}

TEST(PropertiesLimits, OverlongKeyIsCutSafely) {
  TestResources res;
  PropertiesContainer props;
  std::string key(600, 'k');
  ASSERT_TRUE(LoadText(props, res, key + " = value\r\n"));
  EXPECT_STREQ(props.Get(std::wstring(PropertiesContainer::kMaxTextLength, L'k').c_str()), L"value");
}

TEST(PropertiesLines, ByteOutsideTheCodePageDoesNotCostTheLine) {
  TestResources res;
  PropertiesContainer props;
  ASSERT_TRUE(LoadText(props, res, "k = caf\xE9 ok\r\n"));
  std::wstring value = props.Get(L"k");
  ASSERT_EQ(value.size(), 7u);
  EXPECT_EQ(value.substr(0, 3), L"caf");
  EXPECT_EQ(value.substr(3 + 1), L" ok");
}

class PropertiesFile : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = ::testing::TempDir() + "props_" + std::to_string(reinterpret_cast<uintptr_t>(this)) + ".txt";
  }
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

TEST_F(PropertiesFile, FileFollowsTheSameRulesAndReadsTheLastLine) {
  Write("a\t= 1\r\nlonely\r\n\r\nb = x\\ny\rc = last");
  PropertiesContainer props;
  ASSERT_TRUE(props.LoadFromFile(WidePath().c_str()));
  EXPECT_STREQ(props.Get(L"a"), L"1");
  // The line end is no part of the key.
  EXPECT_NE(props.Find(L"lonely"), nullptr);
  EXPECT_STREQ(props.Get(L"b"), L"x\ny");
  EXPECT_STREQ(props.Get(L"c"), L"last");
}

}  // namespace
