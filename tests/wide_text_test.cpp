#include "platform/wide_text.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace qmr {
namespace {

TEST(WideText, EveryUnitAndPairSurvivesTheRoundTrip) {
  // Every single unit, lone surrogates included, then every unit beside a
  // surrogate of either kind, which must neither join wrongly nor vanish.
  for (std::uint32_t unit = 0; unit <= 0xFFFF; ++unit) {
    const std::u16string one(1, static_cast<char16_t>(unit));
    ASSERT_EQ(widen_utf8(narrow_utf16(one)), one) << std::hex << unit;
    for (const char16_t neighbour : {u'\xD83D', u'\xDE00', u'a'}) {
      const std::u16string before{neighbour, static_cast<char16_t>(unit)};
      const std::u16string after{static_cast<char16_t>(unit), neighbour};
      ASSERT_EQ(widen_utf8(narrow_utf16(before)), before) << std::hex << unit;
      ASSERT_EQ(widen_utf8(narrow_utf16(after)), after) << std::hex << unit;
    }
  }
}

TEST(WideText, NamesBecomeTheirUtf8) {
  EXPECT_EQ(narrow_utf16(u"caf\u00e9"), "caf\xc3\xa9");
  EXPECT_EQ(narrow_utf16(u"..\uFF3Cdata"), "..\xef\xbc\xbc" "data");
  EXPECT_EQ(narrow_utf16(u"\U0001F600"), "\xf0\x9f\x98\x80");
  EXPECT_EQ(widen_utf8("\xf0\x9f\x98\x80"), u"\U0001F600");
  EXPECT_EQ(widen_utf8("\xce\xb1.txt"), u"\u03b1.txt");
}

TEST(WideText, BytesThatAreNotUtf8AreKeptOneUnitEach) {
  EXPECT_EQ(widen_utf8("caf\xe9"), u"caf\u00e9");
  EXPECT_EQ(widen_utf8("\xc3"), u"\u00c3");
  EXPECT_EQ(widen_utf8("\xe0\x80\x80"), u"\u00e0\u0080\u0080");  // overlong
  EXPECT_EQ(widen_utf8("\xf4\x90\x80\x80").size(), 4u);           // beyond U+10FFFF
  EXPECT_EQ(widen_utf8(std::string("a\0b", 3)), std::u16string(u"a\0b", 3));
}

}  // namespace
}  // namespace qmr
