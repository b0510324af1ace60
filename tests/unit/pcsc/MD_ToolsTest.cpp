#include "pcsc/MD_Tools.h"

#include <gtest/gtest.h>

namespace {

using pcsc::BytesToHex;
using pcsc::HexDigitValue;
using pcsc::HexToBytes;
using pcsc::MultiStringToList;
using pcsc::TBytes;
using pcsc::TStringList;

TEST(MD_Tools, BytesToHexSeparatesPairsBySingleBlanks) {
  EXPECT_EQ(BytesToHex({0x3B, 0x8F, 0x80}), "3B 8F 80");
  EXPECT_EQ(BytesToHex({0x0A}), "0A");
  EXPECT_EQ(BytesToHex({0x00, 0xFF}), "00 FF");
  EXPECT_EQ(BytesToHex({}), "");
}

TEST(MD_Tools, HexDigitValue) {
  struct {
    char c;
    uint8_t value;
  } const cases[] = {{'0', 0},   {'9', 9},   {'A', 10},  {'F', 15},  {'a', 10},  {'f', 15},
                     {'G', 255}, {'g', 255}, {' ', 255}, {'/', 255}, {':', 255}, {'\0', 255}};
  for (const auto& c : cases) EXPECT_EQ(HexDigitValue(c.c), c.value) << "'" << c.c << "'";
}

TEST(MD_Tools, HexToBytes) {
  struct {
    const char* text;
    TBytes bytes;
  } const cases[] = {
      {"3B 8F 80", {0x3B, 0x8F, 0x80}},
      {"abc", {0x0A, 0xBC}},  // odd count: a 0 in front
      {"", {}},
      {"F", {0x0F}},
      {"ff ca 00 00 00", {0xFF, 0xCA, 0x00, 0x00, 0x00}},
      {"xyz-12:g3", {0x01, 0x23}},  // everything but hex digits is dropped
      {"3B8F80", {0x3B, 0x8F, 0x80}},
  };
  for (const auto& c : cases) EXPECT_EQ(HexToBytes(c.text), c.bytes) << c.text;
}

TEST(MD_Tools, HexToBytesReversesBytesToHex) {
  TBytes all;
  for (int i = 0; i < 256; ++i) all.push_back(static_cast<uint8_t>(i));
  EXPECT_EQ(HexToBytes(BytesToHex(all)), all);
}

template <typename TChar>
std::basic_string<TChar> Chars(const char* text, size_t n) {
  return std::basic_string<TChar>(text, text + n);
}

template <typename TChar>
class MultiStringTest : public ::testing::Test {};
using CharTypes = ::testing::Types<char, char16_t>;
TYPED_TEST_SUITE(MultiStringTest, CharTypes);

TYPED_TEST(MultiStringTest, Rules) {
  struct {
    const char* buffer;
    size_t length;
    bool result;
    TStringList names;
  } const cases[] = {
      {"R1\0R2\0\0", 7, true, {"R1", "R2"}},
      {"R1\0\0R2\0\0", 8, true, {"R1", "R2"}},  // empty entries are skipped
      {"R1\0R2\0X", 7, false, {}},              // not closed by two NULs
      {"R1\0R2X\0", 7, false, {}},
      {"\0", 1, true, {}},
      {"X", 1, false, {}},
      {"", 0, true, {}},
      {"\0\0", 2, true, {}},
      {"Virtual PCD 00 00\0\0", 19, true, {"Virtual PCD 00 00"}},
  };
  for (const auto& c : cases) {
    const auto buffer = Chars<TypeParam>(c.buffer, c.length);
    TStringList list{"stale"};
    EXPECT_EQ(MultiStringToList(buffer.data(), c.length, &list), c.result) << c.length;
    EXPECT_EQ(list, c.names);
  }
}

TYPED_TEST(MultiStringTest, NoListOrNoBuffer) {
  const auto buffer = Chars<TypeParam>("R1\0\0", 4);
  EXPECT_FALSE(MultiStringToList(buffer.data(), 4, nullptr));
  TStringList list{"stale"};
  EXPECT_TRUE(MultiStringToList(static_cast<const TypeParam*>(nullptr), 4, &list));
  EXPECT_TRUE(list.empty());
}

TEST(MD_Tools, MultiStringNamesComeBackAsUtf8) {
  const std::u16string buffer(u"Считыватель\0\0", 13);
  TStringList list;
  ASSERT_TRUE(MultiStringToList(buffer.data(), buffer.size(), &list));
  EXPECT_EQ(list, TStringList{"Считыватель"});
  const std::string narrow("Считыватель\0\0", sizeof("Считыватель\0\0") - 1);
  ASSERT_TRUE(MultiStringToList(narrow.data(), narrow.size(), &list));
  EXPECT_EQ(list, TStringList{"Считыватель"});
}

}  // namespace
