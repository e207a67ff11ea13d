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

}  // namespace
}  // namespace qmr
