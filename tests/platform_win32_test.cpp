#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <optional>
#include <string>
#include <vector>

#include <windows.h>

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
    owned_.reset();  // lets go of the roots it holds open
    for (const auto& entry : fs::recursive_directory_iterator(root_)) {
      fs::permissions(entry.path(), fs::perms::owner_write, fs::perm_options::add);
    }
    fs::remove_all(root_);
  }

  std::string path(const std::string& relative) const { return (root_ / relative).string(); }
  // Copies the file `from` (a full path) to `relative` below `root`.
  Outcome copy(const std::string& from, const std::string& root, const std::string& relative,
               bool replace) {
    const std::string source_root = from.substr(0, from.find_last_of("\\/") + 1);
    return fs_.copy_file({source_root, from.substr(source_root.size()), EntryKind::kFile, root,
                          relative, replace});
  }
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
    fs_.list_directory(dir(), "", listing);
    EXPECT_EQ(listing.status, ListStatus::kOk);
    for (const DirEntry& e : listing.entries) {
      if (e.name == name) return e;
    }
    ADD_FAILURE() << name << " not listed";
    return {};
  }
  std::vector<std::string> names() {
    Listing listing;
    fs_.list_directory(dir(), "", listing);
    std::vector<std::string> result;
    for (const DirEntry& e : listing.entries) result.push_back(e.name);
    std::sort(result.begin(), result.end());
    return result;
  }

  fs::path root_;
  std::optional<NativeFileSystem> owned_{std::in_place};
  NativeFileSystem& fs_ = *owned_;
};

// A path below the test's root from a UTF-8 name, never through a code page.
fs::path utf8_path(const fs::path& root, const std::string& name) {
  return root / fs::path(std::u8string(name.begin(), name.end()));
}

TEST_F(Platform, ListsFilesAndDirectoriesWithSizeAndTime) {
  write("a.txt", "12345");
  fs::create_directories(root_ / "sub");
  EXPECT_EQ(names(), (std::vector<std::string>{"a.txt", "sub"}));
  EXPECT_EQ(entry("a.txt").size, 5u);
  EXPECT_EQ(entry("a.txt").kind, EntryKind::kFile);
  EXPECT_NE(entry("a.txt").last_write, FileTime{});
  EXPECT_EQ(entry("sub").kind, EntryKind::kDirectory);
  Listing missing;
  fs_.list_directory(path("missing") + "\\", "", missing);
  EXPECT_EQ(missing.status, ListStatus::kMissing);
  EXPECT_TRUE(fs_.identity(path("sub")).has_value());
  EXPECT_NE(fs_.identity(path("sub")), fs_.identity(path("a.txt")));
}

TEST_F(Platform, CopyReplacesAReadOnlyTargetKeepingTheTime) {
  write("src", std::string(200000, 's'));
  write("dst", "old");
  fs::permissions(path("dst"), fs::perms::owner_write, fs::perm_options::remove);
  ASSERT_TRUE(copy(path("src"), dir(), "dst", true).ok);
  EXPECT_EQ(read("dst"), std::string(200000, 's'));
  EXPECT_EQ(entry("dst").last_write, entry("src").last_write);
  EXPECT_EQ(names(), (std::vector<std::string>{"dst", "src"}));
}

TEST_F(Platform, AFailedCopyLeavesNoTemporary) {
  write("src", "s");
  write("dir\\inner", "kept");
  EXPECT_FALSE(copy(path("src"), dir(), "dir", true).ok);
  EXPECT_FALSE(copy(path("gone"), dir(), "dst", false).ok);
  write("taken", "mine");
  EXPECT_FALSE(copy(path("src"), dir(), "TAKEN", false).ok) << "a new file replaces nothing";
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
}

TEST_F(Platform, NamesOutsideTheCodePageAreListedAndCopiedExactly) {
  const std::vector<std::string> names = {"a.txt", "\xce\xb1.txt", "..\xef\xbc\xbcx",
                                          "\xf0\x9f\x98\x80", "\xc2\xa5"};
  for (const std::string& name : names) std::ofstream(utf8_path(root_, name)) << name;
  std::vector<std::string> sorted = names;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(this->names(), sorted);
  for (const std::string& name : names) {
    ASSERT_TRUE(copy(dir() + name, dir(), "copy of " + name, false).ok) << name;
    std::ifstream in(utf8_path(root_, "copy of " + name));
    std::string content;
    std::getline(in, content);
    EXPECT_EQ(content, name);
  }
  // The fullwidth backslash is a letter of the name, not a way out of it.
  EXPECT_TRUE(fs_.remove_file(dir(), "..\xef\xbc\xbcx").ok);
  EXPECT_FALSE(fs::exists(utf8_path(root_, "..\xef\xbc\xbcx")));
  EXPECT_EQ(fs_.make_directory(dir(), "\xce\xb4\\"), DirectoryMade::kCreated);
  EXPECT_TRUE(fs::is_directory(utf8_path(root_, "\xce\xb4")));
}

TEST_F(Platform, PathsFarBeyondTwoHundredSixtyCharactersWork) {
  std::string relative;
  for (int level = 0; level < 10; ++level) {
    relative += std::string(40, static_cast<char>('a' + level)) + "\\";
    ASSERT_EQ(fs_.make_directory(dir(), relative), DirectoryMade::kCreated) << relative.size();
  }
  write("src", "far");
  ASSERT_TRUE(copy(path("src"), dir(), relative + "f", false).ok);
  Listing listing;
  fs_.list_directory(dir() + relative, "", listing);
  ASSERT_EQ(listing.status, ListStatus::kOk);
  ASSERT_EQ(listing.entries.size(), 1u);
  EXPECT_EQ(listing.entries[0].size, 3u);
  EXPECT_TRUE(fs_.identity(dir() + relative + "f").has_value());
  EXPECT_TRUE(fs_.remove_file(dir(), relative + "f").ok);
  // Deepest first; the test's own clean-up cannot reach this far down.
  while (!relative.empty()) {
    ASSERT_TRUE(fs_.remove_directory(dir(), relative)) << relative.size();
    relative.resize(relative.size() - 41);
  }
}

TEST_F(Platform, DirectoriesMadeTopDownAreStampedAndKnownAsThemselves) {
  ASSERT_EQ(fs_.open_root(dir()).status, ListStatus::kOk);
  for (const char* made : {"a\\", "a\\b\\", "a\\b\\c\\", "a\\d\\"}) {
    ASSERT_EQ(fs_.make_directory(dir(), made), DirectoryMade::kCreated) << made;
  }
  // The one just made, and one made before its sibling.
  const FileTime stamp{13'300'000'000, 0};  // seconds since 1601: in 2022
  EXPECT_TRUE(fs_.set_directory_time(dir(), "a\\d\\", stamp));
  EXPECT_TRUE(fs_.set_directory_time(dir(), "a\\b\\c\\", stamp));
  EXPECT_EQ(fs_.make_directory(dir(), "a\\b\\"), DirectoryMade::kExisted);
  write("a\\f", "a file where a directory should go");
  EXPECT_EQ(fs_.make_directory(dir(), "a\\f\\"), DirectoryMade::kFailed);
  for (const char* made : {"a\\d\\", "a\\b\\c\\"}) {
    Listing listing;
    fs_.list_directory(dir(), made, listing);
    ASSERT_EQ(listing.status, ListStatus::kOk) << made;
    EXPECT_EQ(listing.last_write, stamp) << made;
    // What a walk meets is compared with the other root's identity.
    const std::optional<FileId> id = fs_.identity(path(made));
    if (!id) GTEST_SKIP() << "this file system gives directories no identity";
    EXPECT_EQ(listing.id, *id) << made;
  }
}

TEST_F(Platform, RootsAreTakenWithForwardSlashesDotsAndDoubledSeparators) {
  std::string slashed = path("one/two//three/");
  ASSERT_TRUE(fs_.make_root(slashed).ok);
  EXPECT_TRUE(fs::is_directory(root_ / "one" / "two" / "three"));
  write("one\\two\\three\\f", "f");
  Listing listing;
  fs_.list_directory(path("one/./two/../two/three/"), "", listing);
  ASSERT_EQ(listing.status, ListStatus::kOk);
  ASSERT_EQ(listing.entries.size(), 1u);
  EXPECT_EQ(fs_.identity(slashed), fs_.identity(path("one\\two\\three")));
}

TEST_F(Platform, ASourceHeldByAnotherProgramIsNamedAsTheFileThatFailed) {
  write("locked", "l");
  const std::wstring locked = (root_ / "locked").wstring();
  const HANDLE handle = CreateFileW(locked.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(handle, INVALID_HANDLE_VALUE);
  const Outcome outcome = copy(path("locked"), dir(), "copy", false);
  CloseHandle(handle);
  EXPECT_FALSE(outcome.ok);
  EXPECT_EQ(outcome.reason.rfind(path("locked") + ": ", 0), 0u) << outcome.reason;
}

TEST_F(Platform, AReplaceOrDeleteThatFailsKeepsTheFilesAttributes) {
  write("src", "new");
  write("held", "old");
  const std::wstring held = (root_ / "held").wstring();
  const DWORD marks = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN;
  ASSERT_TRUE(SetFileAttributesW(held.c_str(), marks));
  // Another program holds the file open and shares nothing.
  const HANDLE handle =
      CreateFileW(held.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(handle, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(copy(path("src"), dir(), "held", true).ok);
  EXPECT_EQ(GetFileAttributesW(held.c_str()) & marks, marks) << "after a failed replace";
  EXPECT_FALSE(fs_.remove_file(dir(), "held").ok);
  EXPECT_EQ(GetFileAttributesW(held.c_str()) & marks, marks) << "after a failed delete";
  CloseHandle(handle);
  EXPECT_EQ(read("held"), "old");
  EXPECT_EQ(names(), (std::vector<std::string>{"held", "src"})) << "no temporary left";
  SetFileAttributesW(held.c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST_F(Platform, TheConsoleGetsItsOwnPageAndAQuestionMarkForTheRest) {
  // Code page 437, Wine's default: e-acute, alpha and yen are in it; the
  // fullwidth backslash is not, and must not become a backslash.
  EXPECT_EQ(console_text("abc\xc3\xa9"), "abc\x82");
  EXPECT_EQ(console_text("\xce\xb1\xc2\xa5"), "\xe0\x9d");
  EXPECT_EQ(console_text("..\xef\xbc\xbc" "x"), "..?x");
}

}  // namespace
}  // namespace qmr
