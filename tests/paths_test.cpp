#include "sync/paths.h"

#include <gtest/gtest.h>

#include "support/fake_fs.h"

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

TEST(PathDirPrefixes, PosixCreatesEveryComponentAboveTheName) {
  EXPECT_EQ(path_dir_prefixes("/a/b/", kPosixPathStyle), (Prefixes{"/a", "/a/b"}));
  EXPECT_EQ(path_dir_prefixes("/a/b/f.txt", kPosixPathStyle), (Prefixes{"/a", "/a/b"}));
  EXPECT_EQ(path_dir_prefixes("rel/x/f", kPosixPathStyle), (Prefixes{"rel", "rel/x"}));
  EXPECT_EQ(path_dir_prefixes("/", kPosixPathStyle), Prefixes{});
  EXPECT_EQ(path_dir_prefixes("f", kPosixPathStyle), Prefixes{});
  // "x:" is an ordinary directory name here.
  EXPECT_EQ(path_dir_prefixes("x:/y/", kPosixPathStyle), (Prefixes{"x:", "x:/y"}));
  // Doubled separators repeat a prefix, which is harmless.
  EXPECT_EQ(path_dir_prefixes("/a//b", kPosixPathStyle), (Prefixes{"/a", "/a/"}));
}

TEST(PathDirPrefixes, WindowsSkipsDrivesAndServerStarts) {
  EXPECT_EQ(path_dir_prefixes("C:\\a\\b\\", kWindowsPathStyle), (Prefixes{"C:\\a", "C:\\a\\b"}));
  EXPECT_EQ(path_dir_prefixes("C:\\", kWindowsPathStyle), Prefixes{});
  EXPECT_EQ(path_dir_prefixes("\\\\srv\\share\\d\\f.txt", kWindowsPathStyle),
            (Prefixes{"\\\\srv", "\\\\srv\\share", "\\\\srv\\share\\d"}));
  EXPECT_EQ(path_dir_prefixes("\\top\\f", kWindowsPathStyle), (Prefixes{"\\top"}));
}

TEST(MakePathDirs, CreatesOnlyWhatIsMissing) {
  test::FakeFileSystem fs;
  fs.add_dir("/a");
  make_path_dirs(fs, "/a/b/c/file", kPosixPathStyle);
  EXPECT_EQ(fs.log, (Prefixes{"mkdir /a/b", "mkdir /a/b/c"}));
}

TEST(LocateOverlap, TellsSameInsideAndApart) {
  EXPECT_EQ(locate_overlap("/a/b", "/a/b/", kPosixPathStyle), Overlap::kSame);
  EXPECT_EQ(locate_overlap("/a/b", "/a/b/c", kPosixPathStyle), Overlap::kDestInSource);
  EXPECT_EQ(locate_overlap("/a/b/c", "/a/b", kPosixPathStyle), Overlap::kSourceInDest);
  EXPECT_EQ(locate_overlap("/a/b", "/a/bc", kPosixPathStyle), Overlap::kNone);
  EXPECT_EQ(locate_overlap("/a/bc", "/a/b", kPosixPathStyle), Overlap::kNone);
  EXPECT_EQ(locate_overlap("/", "/x", kPosixPathStyle), Overlap::kDestInSource);
  EXPECT_EQ(locate_overlap("/A/B", "/a/b", kPosixPathStyle), Overlap::kNone);
  EXPECT_EQ(locate_overlap("C:\\Data", "c:\\data\\Sub", kWindowsPathStyle),
            Overlap::kDestInSource);
  EXPECT_EQ(locate_overlap("C:\\", "C:\\x", kWindowsPathStyle), Overlap::kDestInSource);
}

}  // namespace
}  // namespace qmr
