#include "sync/paths.h"

#include <gtest/gtest.h>


namespace qmr {
namespace {


TEST(CloseRoot, AppendsTheSeparatorOnlyWhenMissing) {
  EXPECT_EQ(close_root("/data", kPosixPathStyle), "/data/");
  EXPECT_EQ(close_root("/data/", kPosixPathStyle), "/data/");
  EXPECT_EQ(close_root("C:\\data", kWindowsPathStyle), "C:\\data\\");
  EXPECT_EQ(close_root("C:", kWindowsPathStyle), "C:\\");
  EXPECT_EQ(close_root("C:\\d\\", kWindowsPathStyle), "C:\\d\\");
  // A forward slash is no separator on Windows and gets one after it.
  EXPECT_EQ(close_root("C:\\d/", kWindowsPathStyle), "C:\\d/\\");
}

TEST(RelativeDirPrefixes, EveryDirectoryAboveTheName) {
  using Views = std::vector<std::string_view>;
  EXPECT_EQ(relative_dir_prefixes("a/b/f.txt", '/'), (Views{"a/", "a/b/"}));
  EXPECT_EQ(relative_dir_prefixes("a/b/", '/'), (Views{"a/", "a/b/"}));
  EXPECT_EQ(relative_dir_prefixes("f", '/'), Views{});
  EXPECT_EQ(relative_dir_prefixes("x\\y\\f", '\\'), (Views{"x\\", "x\\y\\"}));
  EXPECT_EQ(parent_dir("a/b/f", '/'), "a/b/");
  EXPECT_EQ(parent_dir("f", '/'), "");
}

TEST(LineageOverlap, ComparesWholeChainsOfIdentities) {
  const FileId top{1, 1}, a{1, 2}, b{1, 3}, other{2, 2};
  const Lineage at_a{{a, top}}, at_b{{b, a, top}}, below_a_to_make{{a, top}, false};
  EXPECT_EQ(lineage_overlap(at_a, at_a), Overlap::kSame);
  EXPECT_EQ(lineage_overlap(at_a, at_b), Overlap::kDestInSource);
  EXPECT_EQ(lineage_overlap(at_b, at_a), Overlap::kSourceInDest);
  EXPECT_EQ(lineage_overlap(at_a, below_a_to_make), Overlap::kDestInSource);
  EXPECT_EQ(lineage_overlap(below_a_to_make, at_a), Overlap::kNone) << "a missing source is refused as such";
  EXPECT_EQ(lineage_overlap(at_a, Lineage{{other, top}}), Overlap::kNone);
  EXPECT_EQ(lineage_overlap(at_a, Lineage{}), Overlap::kNone);
  // One index under other parents (another device, its volume read as 0) is no match.
  EXPECT_EQ(lineage_overlap(Lineage{{{0, 5}, {0, 1}}}, Lineage{{{0, 5}, {0, 8}, {0, 1}}}), Overlap::kNone);
}

TEST(LocateOverlap, TellsSameInsideAndApart) {
  EXPECT_EQ(locate_overlap("/a/b", "/a/b/", kPosixPathStyle), Overlap::kSame);
  EXPECT_EQ(locate_overlap("/a/b", "/a/b/c", kPosixPathStyle), Overlap::kDestInSource);
  EXPECT_EQ(locate_overlap("/a/b/c", "/a/b", kPosixPathStyle), Overlap::kSourceInDest);
  EXPECT_EQ(locate_overlap("/a/b", "/a/bc", kPosixPathStyle), Overlap::kNone);
  EXPECT_EQ(locate_overlap("/a/bc", "/a/b", kPosixPathStyle), Overlap::kNone);
  EXPECT_EQ(locate_overlap("/", "/x", kPosixPathStyle), Overlap::kDestInSource);
  EXPECT_EQ(locate_overlap("/A/B", "/a/b", kPosixPathStyle), Overlap::kNone);
  EXPECT_EQ(locate_overlap("/x/Data/sub", "/x/DATA", kPosixPathStyle, true), Overlap::kSourceInDest);
  EXPECT_EQ(locate_overlap("C:\\Data", "c:\\data\\Sub", kWindowsPathStyle),
            Overlap::kDestInSource);
  EXPECT_EQ(locate_overlap("C:\\", "C:\\x", kWindowsPathStyle), Overlap::kDestInSource);
}

}  // namespace
}  // namespace qmr
