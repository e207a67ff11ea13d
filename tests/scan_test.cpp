#include "inventory/scan.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

#include "support/fake_fs.h"
#include "support/temp_tree.h"

namespace qmr {
namespace {

using Names = std::vector<std::string>;

Names relative_paths(const EntryList& list) {
  Names names;
  for (const FileEntry& e : list) names.push_back(list.relative_path(e));
  return names;
}

Names directory_paths(const EntryList& list) {
  Names names;
  for (size_t i = 0; i < list.directories().size(); ++i) names.emplace_back(list.directories()[i]);
  return names;
}

class ScanTree : public ::testing::Test {
 protected:
  void SetUp() override {
    tree_.write("b.txt", "bb");
    tree_.write("A.txt", "a");
    tree_.write("a.doc", "x");
    tree_.write("readme", "r");
    tree_.write("sub/c.txt", "ccc");
    tree_.write("sub/deeper/d.doc", "d");
    tree_.write("x.txt/inside.doc", "i");
  }

  Names scan(const PatternList& include, const PatternList& exclude, bool recurse) {
    EntryList list(tree_.root() + "/");
    fs_.open_root(list.root());
    scan_tree(fs_, list, {include, exclude, recurse});
    EXPECT_TRUE(list.failures().empty());
    return relative_paths(list);
  }

  test::TempTree tree_;
  NativeFileSystem fs_;
};

TEST_F(ScanTree, ListsDepthFirstInNameOrder) {
  EXPECT_EQ(scan({}, {}, true), (Names{"a.doc", "A.txt", "b.txt", "readme", "sub/c.txt",
                                       "sub/deeper/d.doc", "x.txt/inside.doc"}));
}

TEST_F(ScanTree, WithoutRecursionOnlyTheTopDirectory) {
  EXPECT_EQ(scan({}, {}, false), (Names{"a.doc", "A.txt", "b.txt", "readme"}));
}

TEST_F(ScanTree, ExcludeIsDecidedBeforeIncludeOnTheNameAlone) {
  EXPECT_EQ(scan({"*.txt"}, {"a*.*"}, true), (Names{"b.txt", "sub/c.txt"}));
  // "a*" does not select a name with a dot, so it excludes nothing here.
  EXPECT_EQ(scan({"*.txt"}, {"a*"}, true), (Names{"A.txt", "b.txt", "sub/c.txt"}));
  // Directories are entered whatever the patterns say, "x.txt" included.
  EXPECT_EQ(scan({"*.doc"}, {}, true), (Names{"a.doc", "sub/deeper/d.doc", "x.txt/inside.doc"}));
  EXPECT_EQ(scan({"*.dox"}, {}, true), Names{});
  EXPECT_EQ(scan({""}, {""}, true), Names{});
  EXPECT_EQ(scan({}, {""}, false), (Names{"a.doc", "A.txt", "b.txt", "readme"}));
}

TEST_F(ScanTree, EntriesCarrySizeTimeAndFullPath) {
  tree_.write("sub/c.txt", "ccc", 1234567891);
  EntryList list(tree_.root() + "/");
  const PatternList include{"c.txt"};
  fs_.open_root(list.root());
  scan_tree(fs_, list, {include, {}, true});
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list.path(list[0]), tree_.path("sub/c.txt"));
  EXPECT_EQ(list.directory(list[0]), "sub/");
  EXPECT_EQ(list.file_size(list[0]), 3u);
  EXPECT_EQ(list.last_write(list[0]), (FileTime{1, 234567891}));
}

TEST_F(ScanTree, HiddenReadOnlyAndLinkedFilesAreListedButLinksNeverEntered) {
  tree_.write(".hidden", "h");
  tree_.write("ro", "r");
  ::chmod(tree_.path("ro").c_str(), 0444);
  ASSERT_EQ(::symlink("sub", tree_.path("dirlink").c_str()), 0);
  ASSERT_EQ(::symlink(".", tree_.path("sub/loop").c_str()), 0);
  ASSERT_EQ(::mkfifo(tree_.path("fifo").c_str(), 0644), 0);
  const Names names = scan({}, {}, true);
  EXPECT_EQ(names, (Names{".hidden", "a.doc", "A.txt", "b.txt", "dirlink", "readme", "ro",
                          "sub/c.txt", "sub/deeper/d.doc", "sub/loop", "x.txt/inside.doc"}));
}

TEST(ScanTreeFailures, UnreadableDirectoriesAreRecordedAndSkipped) {
  test::FakeFileSystem fs;
  fs.add_file("/s/a", 1, 1);
  fs.add_file("/s/bad/x", 1, 1);
  fs.add_file("/s/good/y", 1, 1);
  fs.fail_list.insert("/s/bad");
  EntryList list("/s/");
  scan_tree(fs, list, {{}, {}, true});
  EXPECT_EQ(relative_paths(list), (Names{"a", "good/y"}));
  ASSERT_EQ(list.failures().size(), 1u);
  EXPECT_EQ(list.failures()[0].relative_dir, "bad/");
  EXPECT_EQ(list.failures()[0].status, ListStatus::kUnreadable);
  EXPECT_EQ(list.failures()[0].reason, "Permission denied");

  EntryList missing("/nowhere/");
  scan_tree(fs, missing, {{}, {}, true});
  EXPECT_TRUE(missing.empty());
  ASSERT_EQ(missing.failures().size(), 1u);
  EXPECT_EQ(missing.failures()[0].relative_dir, "");
  EXPECT_EQ(missing.failures()[0].status, ListStatus::kMissing);
}

TEST(ScanTreeFailures, AnEntryThatCannotBeExaminedMakesItsDirectoryUnreadable) {
  // A directory that may be listed but not searched: every entry's details
  // are refused. Its files must not look as if they had vanished.
  if (::geteuid() == 0) GTEST_SKIP() << "root searches any directory; the unprivileged case runs in the end-to-end suite";
  test::TempTree tree;
  tree.write("locked/f.txt", "f");
  ASSERT_EQ(::chmod(tree.path("locked").c_str(), 0644), 0);
  NativeFileSystem fs;
  EntryList list(tree.root() + "/");
  fs.open_root(list.root());
  scan_tree(fs, list, {{}, {}, true});
  ::chmod(tree.path("locked").c_str(), 0755);
  ASSERT_EQ(list.failures().size(), 1u);
  EXPECT_EQ(list.failures()[0].relative_dir, "locked/");
}

TEST(ScanTreeFailures, TheOtherRootIsNeverEntered) {
  test::FakeFileSystem fs;
  fs.add_file("/s/a", 1, 1);
  fs.add_file("/s/z/b", 1, 1);
  fs.add_dir("/d");
  fs.mounts["/s/m"] = "/d";  // the destination, bind-mounted inside the source
  fs.add_dir("/s/m");
  fs.add_file("/d/mirrored", 1, 1);
  EntryList list("/s/");
  scan_tree(fs, list, {{}, {}, true, fs.identity("/d")});
  EXPECT_TRUE(list.met_other_root);
  EXPECT_EQ(relative_paths(list), (Names{"a", "z/b"}));
}

// A walk over two trees lists each on a few threads from the start, and on
// one a worker once its listings wait for each name.
TEST(ScanTreeOrder, ListingAheadOnManyThreadsBuildsTheSameLists) {
  test::FakeFileSystem fs;
  for (int d = 0; d < 40; ++d) {
    const std::string dir = "/d" + std::to_string(d % 7) + "/e" + std::to_string(d) + "/";
    for (int f = 0; f < 5; ++f) {
      fs.add_file("/s" + dir + "f" + std::to_string(f), 1, f);
      if (f % 2 == d % 2) fs.add_file("/t" + dir + "f" + std::to_string(f), 1, f + d % 3);
    }
  }
  fs.add_file("/s/skip/x", 1, 1);
  fs.fail_list.insert("/s/d3");
  fs.fail_list.insert("/t/d5/e5");
  const PatternList skipped{"skip"}, none;
  const auto scan = [&](unsigned threads) {
    EntryList source("/s/"), dest("/t/");
    ScanSettings settings{none, none, true};
    settings.threads = threads;
    settings.excluded_directories = &skipped;
    fs.listers.clear();
    scan_trees(fs, source, settings, dest, settings, nullptr);
    return std::make_tuple(relative_paths(source), directory_paths(source), relative_paths(dest),
                           directory_paths(dest));
  };
  const auto one = scan(1);
  EXPECT_EQ(std::get<0>(one).size(), 170u);
  EXPECT_EQ(fs.listers.size(), 1u);
  for (const ListingWait wait : {ListingWait::kNever, ListingWait::kNowAndThen, ListingWait::kEachName}) {
    fs.listing_wait = wait;
    size_t most = 0;
    for (int round = 0; round < 50; ++round) {
      ASSERT_EQ(scan(8), one) << "round " << round;
      most = std::max(most, fs.listers.size());
    }
    // Up to four listers a tree, the walk included, unless each name waits.
    if (wait == ListingWait::kEachName) {
      EXPECT_GT(most, 7u);
    } else {
      EXPECT_LE(most, 7u);
    }
  }
}

TEST(ScanTreeOrder, EntriesAreSortedByTheScanWhateverTheListingOrder) {
  test::FakeFileSystem fs;  // lists in reverse order
  for (const char* name : {"/s/b", "/s/A", "/s/a", "/s/B/x", "/s/c"}) fs.add_file(name, 1, 1);
  EntryList list("/s/");
  scan_tree(fs, list, {{}, {}, true});
  EXPECT_EQ(relative_paths(list), (Names{"A", "a", "B/x", "b", "c"}));
  EXPECT_EQ(directory_paths(list), (Names{"", "B/"}));
}

}  // namespace
}  // namespace qmr
