#include "inventory/pattern.h"

#include <gtest/gtest.h>

#include <string>

namespace qmr {
namespace {

struct Case {
  const char* name;
  const char* pattern;
  bool selected;
};

TEST(MatchPattern, FollowsTheToolsOwnWildcardRules) {
  static const Case kCases[] = {
      {"readme.txt", "*.*", true},  {"README", "*.*", true},      {"a.b.c", "*.*", true},
      {"a.", "*.*", true},          {".profile", "*.*", true},    {"README.TXT", "*.txt", true},
      {"a.b.txt", "*.txt", false},  {"readme", "*.txt", false},   {"readme.txt", "*", false},
      {"readme", "*", true},        {"abc.", "*", true},          {"readme.txt", "read*", false},
      {"readme.txt", "read*.txt", true}, {"readme.txt", "r?adme.txt", true},
      {"ab.txt", "a?.txt", true},   {"r.txt", "r?.txt", false},   {"a.txt", "a??.txt", false},
      {"abc", "abc?", true},        {"abc", "abc?x", true},       {"abc", "abc*.txt", true},
      {"abcd", "abc", false},       {"abc", "abcd", false},       {"abc", "*c", false},
      {"axxb", "a*b*", false},      {"a.b.c", "*.b.c", true},     {"file.tm", "*.tm?", true},
      {"file.t", "*.tm?", false},   {"x.cpp", "*.c*", true},      {"x.h", "*.c*", false},
      {"a.b", "a?b", false},
      // An empty pattern selects nothing; letters match in either case.
      {"a", "", false},             {"ReadMe.Txt", "README.TXT", true},
      {"x", "x*", true},            {"x.txt", "X*.TXT", true},
  };
  for (const Case& c : kCases) {
    EXPECT_EQ(match_pattern(c.name, c.pattern), c.selected)
        << "name '" << c.name << "' pattern '" << c.pattern << "'";
  }
}

TEST(MatchPattern, EveryNameIsSelectedByStarDotStar) {
  for (const char* name :
       {"a", ".", "..x", "x.", "a.b.c.d", " ", "\xe9t\xe9.doc", "....", "a.*b", "*", "?.*?"}) {
    EXPECT_TRUE(match_pattern(name, "*.*")) << name;
  }
}

TEST(MatchPattern, BytesAbove127MatchOnlyThemselves) {
  // Case folding is ASCII only: 0xE9 and 0xC9 are e-acute and E-acute in Latin-1.
  EXPECT_TRUE(match_pattern("\xe9.txt", "\xe9.txt"));
  EXPECT_FALSE(match_pattern("\xe9.txt", "\xc9.txt"));
  EXPECT_TRUE(match_pattern("\xff\xfe", "??"));
  EXPECT_FALSE(match_pattern("\x80", "\xa0"));
}

TEST(MatchPattern, QuestionMarkTakesOneWholeCharacter) {
  // In UTF-8, e-acute is two bytes, alpha two, a CJK ideograph three and an
  // emoji four: each is one character for "?".
  for (const char* name : {"caf\xc3\xa9.txt", "\xce\xb1.txt", "\xe6\x97\xa5.txt",
                           "\xf0\x9f\x98\x80.txt", "x.txt"}) {
    const std::string base = std::string(name).substr(0, std::string(name).find('.'));
    const std::string pattern = base.size() > 4 ? "caf?.txt" : "?.txt";
    EXPECT_TRUE(match_pattern(name, pattern)) << name;
    EXPECT_FALSE(match_pattern(name, base.size() > 4 ? "caf??.txt" : "??.txt")) << name;
  }
  // Bytes that are not valid UTF-8 are one character each, whatever they
  // look like: a lone lead byte, a cut sequence, an overlong form.
  EXPECT_TRUE(match_pattern("caf\xe9.txt", "caf?.txt"));
  EXPECT_TRUE(match_pattern("\xc3.txt", "?.txt"));
  EXPECT_TRUE(match_pattern("\xe6\x97.txt", "??.txt"));
  EXPECT_TRUE(match_pattern("\xe0\x80\x80", "???"));
  EXPECT_TRUE(match_pattern("\xc3\xa9\xc3.t", "??.t"));
  EXPECT_FALSE(match_pattern("\xc3\xa9\xc3.t", "?.t"));
}

}  // namespace
}  // namespace qmr
