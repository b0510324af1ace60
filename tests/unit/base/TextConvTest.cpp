#include "base/TextConv.h"

#include <gtest/gtest.h>

namespace {

TEST(TextConv, RoundTripsAcrossPlanes) {
  const std::string samples[] = {"", "STATUS", "Подключен считыватель: ACS", "€", "a\xF0\x9F\x98\x80z"};
  for (const auto& s : samples) EXPECT_EQ(base::Utf16ToUtf8(base::Utf8ToUtf16(s)), s) << s;
  EXPECT_EQ(base::Utf8ToUtf16("\xF0\x9F\x98\x80"), (std::u16string{0xD83D, 0xDE00}));
}

TEST(TextConv, MalformedInputBecomesReplacementCharacters) {
  struct Case {
    std::string in;
    std::u16string out;
  } cases[] = {
      {"\xFF", u"\uFFFD"},
      {"a\xC3", u"a\uFFFD"},                 // truncated sequence
      {"\xC0\xAF", u"\uFFFD\uFFFD"},         // overlong
      {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},  // encoded surrogate
  };
  for (const auto& c : cases) EXPECT_EQ(base::Utf8ToUtf16(c.in), c.out);
  EXPECT_EQ(base::Utf16ToUtf8(std::u16string{0xD800}), "\xEF\xBF\xBD");  // lone surrogate
}

}  // namespace
