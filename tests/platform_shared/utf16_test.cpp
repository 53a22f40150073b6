#include "utf16.h"

#include <gtest/gtest.h>

namespace {

using namespace tarvel;

TEST(Utf16Test, Utf8RoundTripsAndMalformedInputIsRefused)
{
  EXPECT_EQ(Utf8ToUtf16("a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"),
            std::u16string(u"a\u00e9\u20ac\U0001F600"));
  EXPECT_EQ(Utf16ToUtf8(u"a\u00e9\u20ac\U0001F600"), "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
  EXPECT_FALSE(Utf8ToUtf16("\xC3").has_value());          // truncated
  EXPECT_FALSE(Utf8ToUtf16("\xC0\xAF").has_value());      // overlong
  EXPECT_FALSE(Utf8ToUtf16("\xED\xA0\x80").has_value());  // surrogate
  EXPECT_FALSE(Utf8ToUtf16("\xF4\x90\x80\x80").has_value());
  EXPECT_FALSE(Utf8ToUtf16("\xFF").has_value());
  EXPECT_FALSE(Utf8ToUtf16("a\xE2\x82").has_value());
  EXPECT_EQ(Utf16ToUtf8(std::u16string(1, char16_t(0xD800))), "\xEF\xBF\xBD");
  EXPECT_FALSE(IsWellFormedUtf16(std::u16string(1, char16_t(0xDC00))));
  EXPECT_TRUE(IsWellFormedUtf16(u"\U0001F600"));
}

TEST(Utf16Test, CaseIsIgnoredForLettersOnly)
{
  EXPECT_TRUE(EqualsIgnoringCase(u"Windows\\TEMP", u"windows\\temp"));
  EXPECT_TRUE(EqualsIgnoringCase(u"\u00c9t\u00e9", u"\u00e9T\u00c9"));
  EXPECT_TRUE(EqualsIgnoringCase(u"\u0416", u"\u0436"));
  EXPECT_FALSE(EqualsIgnoringCase(u"a", u"b"));
  EXPECT_FALSE(EqualsIgnoringCase(u"[", u"{"));  // 0x5B and 0x7B differ by 0x20 but are not letters
  EXPECT_FALSE(EqualsIgnoringCase(u"\u00d7", u"\u00f7"));
  EXPECT_FALSE(EqualsIgnoringCase(u"ab", u"a"));
}

}  // namespace
