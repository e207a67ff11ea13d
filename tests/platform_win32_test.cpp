#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace qmr {
namespace {

namespace fs = std::filesystem;

class Platform : public ::testing::Test {
 protected:
  void SetUp() override {
    std::random_device random;
    root_ = fs::temp_directory_path() / ("qmr-test-" + std::to_string(random()));
    fs::create_directories(root_);
  }
  void TearDown() override {
    for (const auto& entry : fs::recursive_directory_iterator(root_)) {
      fs::permissions(entry.path(), fs::perms::owner_write, fs::perm_options::add);
    }
    fs::remove_all(root_);
  }

  std::string path(const std::string& relative) const { return (root_ / relative).string(); }
  std::string dir() const { return root_.string() + "\\"; }

  void write(const std::string& relative, const std::string& content) const {
    fs::create_directories((root_ / relative).parent_path());
    std::ofstream(root_ / relative, std::ios::binary) << content;
  }
  std::string read(const std::string& relative) const {
    std::ifstream in(root_ / relative, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
  }
  DirEntry entry(const std::string& name) {
    Listing listing;
    fs_.list_directory(dir(), listing);
    EXPECT_EQ(listing.status, ListStatus::kOk);
    for (const DirEntry& e : listing.entries) {
      if (e.name == name) return e;
    }
    ADD_FAILURE() << name << " not listed";
    return {};
  }
  std::vector<std::string> names() {
    Listing listing;
    fs_.list_directory(dir(), listing);
    std::vector<std::string> result;
    for (const DirEntry& e : listing.entries) result.push_back(e.name);
    std::sort(result.begin(), result.end());
    return result;
  }

  fs::path root_;
  NativeFileSystem fs_;
};

TEST_F(Platform, ListsFilesAndDirectoriesWithSizeAndTime) {
  write("a.txt", "12345");
  fs::create_directories(root_ / "sub");
  EXPECT_EQ(names(), (std::vector<std::string>{"a.txt", "sub"}));
  EXPECT_EQ(entry("a.txt").size, 5u);
  EXPECT_EQ(entry("a.txt").kind, EntryKind::kFile);
  EXPECT_NE(entry("a.txt").last_write, FileTime{});
  EXPECT_EQ(entry("sub").kind, EntryKind::kDirectory);
  Listing missing;
  fs_.list_directory(path("missing") + "\\", missing);
  EXPECT_EQ(missing.status, ListStatus::kMissing);
  EXPECT_TRUE(fs_.identity(path("sub")).has_value());
  EXPECT_NE(fs_.identity(path("sub")), fs_.identity(path("a.txt")));
}

TEST_F(Platform, CopyReplacesAReadOnlyTargetKeepingTheTime) {
  write("src", std::string(200000, 's'));
  write("dst", "old");
  fs::permissions(path("dst"), fs::perms::owner_write, fs::perm_options::remove);
  ASSERT_TRUE(fs_.copy_file(path("src"), dir(), "dst", true).ok);
  EXPECT_EQ(read("dst"), std::string(200000, 's'));
  EXPECT_EQ(entry("dst").last_write, entry("src").last_write);
  EXPECT_EQ(names(), (std::vector<std::string>{"dst", "src"}));
}

TEST_F(Platform, AFailedCopyLeavesNoTemporary) {
  write("src", "s");
  write("dir\\inner", "kept");
  EXPECT_FALSE(fs_.copy_file(path("src"), dir(), "dir", true).ok);
  EXPECT_FALSE(fs_.copy_file(path("gone"), dir(), "dst", false).ok);
  write("taken", "mine");
  EXPECT_FALSE(fs_.copy_file(path("src"), dir(), "TAKEN", false).ok) << "a new file replaces nothing";
  EXPECT_EQ(read("taken"), "mine");
  EXPECT_EQ(read("dir\\inner"), "kept");
  EXPECT_EQ(names(), (std::vector<std::string>{"dir", "src", "taken"}));
}

TEST_F(Platform, RemovesReadOnlyFilesAndOnlyEmptyDirectories) {
  write("ro", "x");
  fs::permissions(path("ro"), fs::perms::owner_write, fs::perm_options::remove);
  EXPECT_TRUE(fs_.remove_file(dir(), "ro").ok);
  EXPECT_EQ(fs_.make_directory(dir(), "d\\"), DirectoryMade::kCreated);
  EXPECT_EQ(fs_.make_directory(dir(), "d\\"), DirectoryMade::kExisted);
  write("d\\f", "");
  EXPECT_FALSE(fs_.remove_directory(dir(), "d\\"));
  EXPECT_TRUE(fs_.remove_file(dir(), "d\\f").ok);
  EXPECT_TRUE(fs_.remove_directory(dir(), "d\\"));
  EXPECT_FALSE(fs_.remove_directory(dir(), "")) << "the root stays";
}

TEST_F(Platform, ResolvesDotsAndMissingTails) {
  fs::create_directories(root_ / "real" / "sub");
  const std::string real = fs_.resolve_path(path("real"));
  EXPECT_EQ(fs_.resolve_path(path("real\\sub\\..\\")), real);
  EXPECT_EQ(fs_.resolve_path(path("real\\new\\deeper")), real + "\\new\\deeper");
  EXPECT_EQ(current_time_text().size(), 25u);
  EXPECT_EQ(ansi_to_oem("abc\xe9").size(), 4u);
}

}  // namespace
}  // namespace qmr
