#include "sync/paths.h"

#include <gtest/gtest.h>


namespace qmr {
namespace {

using Prefixes = std::vector<std::string>;

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

TEST(Ancestors, NearestFirstDownToTheTop) {
  EXPECT_EQ(ancestors("/a/b/c/", kPosixPathStyle), (Prefixes{"/a/b", "/a", "/"}));
  EXPECT_EQ(ancestors("/", kPosixPathStyle), Prefixes{});
  EXPECT_EQ(ancestors("C:\\a\\b", kWindowsPathStyle), (Prefixes{"C:\\a", "C:\\"}));
  EXPECT_EQ(ancestors("\\\\srv\\share\\d", kWindowsPathStyle).front(), "\\\\srv\\share");
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
