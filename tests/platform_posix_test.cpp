#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "support/temp_tree.h"

namespace qmr {
namespace {

std::vector<std::string> names_in(const std::string& dir) {
  std::vector<std::string> names;
  DIR* stream = ::opendir(dir.c_str());
  for (const dirent* e; (e = ::readdir(stream)) != nullptr;) {
    const std::string name = e->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  ::closedir(stream);
  std::sort(names.begin(), names.end());
  return names;
}

class Platform : public ::testing::Test {
 protected:
  test::TempTree tree_;
  NativeFileSystem fs_;
};

TEST_F(Platform, ListsInFoldedNameOrderWithKindSizeAndTime) {
  tree_.write("b", "12345", 1700000000123456789);
  tree_.write("B", "");
  tree_.write("a", "");
  tree_.write("_", "");
  tree_.write("\xe9", "");
  tree_.mkdir("C");
  ASSERT_EQ(::symlink("missing-target", tree_.path("dangling").c_str()), 0);
  ASSERT_EQ(::mkfifo(tree_.path("fifo").c_str(), 0644), 0);
  std::vector<DirEntry> entries;
  ASSERT_EQ(fs_.list_directory(tree_.root() + "/", entries), ListStatus::kOk);
  std::vector<std::string> names;
  for (const DirEntry& e : entries) names.push_back(e.name);
  // Upper-cased bytes first ("_" sorts after the letters), then exact bytes.
  EXPECT_EQ(names, (std::vector<std::string>{"a", "B", "b", "C", "dangling", "_", "\xe9"}));
  EXPECT_EQ(entries[2].size, 5u);
  EXPECT_EQ(entries[2].last_write, 1700000000123456789);
  EXPECT_EQ(entries[2].kind, EntryKind::kFile);
  EXPECT_EQ(entries[3].kind, EntryKind::kDirectory);
  EXPECT_EQ(entries[4].kind, EntryKind::kSymlink);
  EXPECT_EQ(entries[4].size, std::string("missing-target").size());
}

TEST_F(Platform, ListingTellsMissingFromUnreadable) {
  std::vector<DirEntry> entries;
  EXPECT_EQ(fs_.list_directory(tree_.path("nope/"), entries), ListStatus::kMissing);
  tree_.write("file", "x");
  EXPECT_EQ(fs_.list_directory(tree_.path("file/"), entries), ListStatus::kUnreadable);
}

TEST_F(Platform, CopyKeepsContentModeAndNanosecondTime) {
  std::string content(3 << 20, '\0');
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7 + i / 251);
  tree_.write("src", content, 1600000000987654321);
  ::chmod(tree_.path("src").c_str(), 0751);
  tree_.write("dst", "old and longer than nothing");
  ::chmod(tree_.path("dst").c_str(), 0444);  // read-only targets are replaced too
  ASSERT_TRUE(fs_.copy_file(tree_.path("src"), tree_.path("dst")));
  EXPECT_EQ(test::read_file(tree_.path("dst")), content);
  EXPECT_EQ(test::mtime_ns(tree_.path("dst")), 1600000000987654321);
  EXPECT_EQ(test::mode_of(tree_.path("dst")), 0751u);
  EXPECT_EQ(names_in(tree_.root()), (std::vector<std::string>{"dst", "src"}));
}

TEST_F(Platform, CopyRecreatesALinkWithItsTime) {
  ASSERT_EQ(::symlink("../elsewhere", tree_.path("link").c_str()), 0);
  test::set_mtime_ns(tree_.path("link"), 1500000000000000001);
  ASSERT_TRUE(fs_.copy_file(tree_.path("link"), tree_.path("copy")));
  char target[64] = {};
  ASSERT_GT(::readlink(tree_.path("copy").c_str(), target, sizeof target), 0);
  EXPECT_STREQ(target, "../elsewhere");
  EXPECT_EQ(test::mtime_ns(tree_.path("copy")), 1500000000000000001);
}

TEST_F(Platform, AFailedCopyLeavesTheTargetAndNoTemporary) {
  tree_.write("dst", "precious");
  // Missing source, a fifo source (never opened for reading) and a directory target.
  EXPECT_FALSE(fs_.copy_file(tree_.path("gone"), tree_.path("dst")));
  ASSERT_EQ(::mkfifo(tree_.path("fifo").c_str(), 0644), 0);
  EXPECT_FALSE(fs_.copy_file(tree_.path("fifo"), tree_.path("dst")));
  tree_.write("src", "new");
  tree_.write("dir/inner", "kept");
  EXPECT_FALSE(fs_.copy_file(tree_.path("src"), tree_.path("dir")));
  EXPECT_EQ(test::read_file(tree_.path("dir/inner")), "kept");
  EXPECT_EQ(test::read_file(tree_.path("dst")), "precious");
  EXPECT_EQ(names_in(tree_.root()), (std::vector<std::string>{"dir", "dst", "fifo", "src"}));
  EXPECT_EQ(names_in(tree_.path("dir")), std::vector<std::string>{"inner"});
}

TEST_F(Platform, AWriteThatFailsHalfwayLeavesTheTargetAndNoTemporary) {
  tree_.write("src", std::string(3 << 20, 'n'));
  tree_.write("dst", "precious");
  // A file-size limit makes the write fail after the first megabyte, for root too.
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::signal(SIGXFSZ, SIG_IGN);
    const struct rlimit limit = {1 << 20, 1 << 20};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    ::_exit(fs_.copy_file(tree_.path("src"), tree_.path("dst")) ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1) << "the copy must report its failure";
  EXPECT_EQ(test::read_file(tree_.path("dst")), "precious");
  EXPECT_EQ(names_in(tree_.root()), (std::vector<std::string>{"dst", "src"}));
}

TEST_F(Platform, RemoveAndDirectoryOperations) {
  tree_.write("ro", "x");
  ::chmod(tree_.path("ro").c_str(), 0444);
  EXPECT_TRUE(fs_.remove_file(tree_.path("ro")));
  EXPECT_FALSE(fs_.remove_file(tree_.path("ro")));
  EXPECT_TRUE(fs_.make_directory(tree_.path("d")));
  EXPECT_FALSE(fs_.make_directory(tree_.path("d")));
  EXPECT_FALSE(fs_.make_directory(tree_.path("x/y")));
  tree_.write("d/f", "");
  EXPECT_FALSE(fs_.remove_directory(tree_.path("d")));
  ::unlink(tree_.path("d/f").c_str());
  EXPECT_TRUE(fs_.remove_directory(tree_.path("d")));
}

TEST_F(Platform, ResolvesLinksDotsAndMissingTails) {
  tree_.mkdir("real/sub");
  ASSERT_EQ(::symlink("real", tree_.path("link").c_str()), 0);
  const std::string real = fs_.resolve_path(tree_.path("real"));
  EXPECT_EQ(fs_.resolve_path(tree_.path("link/")), real);
  EXPECT_EQ(fs_.resolve_path(tree_.path("real/sub/..")), real);
  EXPECT_EQ(fs_.resolve_path(tree_.path("link/new/deeper/")), real + "/new/deeper");
  EXPECT_EQ(fs_.resolve_path(tree_.path("link/new/../other")), real + "/other");
  EXPECT_EQ(fs_.resolve_path("/"), "/");
}

TEST(PlatformText, TimeTextHasTheFixedForm) {
  const std::string text = current_time_text();
  ASSERT_EQ(text.size(), 25u) << text;
  EXPECT_EQ(text.back(), '\n');
  EXPECT_EQ(text[3], ' ');
  EXPECT_EQ(text[13], ':');
  EXPECT_EQ(text[16], ':');
  EXPECT_EQ(ansi_to_oem("\xe9t\xe9"), "\xe9t\xe9");
}

}  // namespace
}  // namespace qmr
