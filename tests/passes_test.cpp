#include "sync/passes.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "inventory/scan.h"
#include "support/captured_output.h"
#include "support/fake_fs.h"

namespace qmr {
namespace {

using Log = std::vector<std::string>;

class Passes : public ::testing::Test {
 protected:
  Passes() : console_(false, false, out_.file()) {}

  void SetUp() override {
    fs_.add_file("/s/new.txt", 1, 10);
    fs_.add_file("/s/same.txt", 2, 20);
    fs_.add_file("/s/diff.txt", 3, 30);
    fs_.add_file("/d/SAME.TXT", 2, 20);
    fs_.add_file("/d/diff.txt", 3, 31);  // a newer destination is still replaced
    fs_.add_file("/d/orphan.txt", 4, 40);
    fs_.add_file("/d/old/gone.txt", 5, 50);
  }

  // Scans both trees and runs the passes as a run does; returns the failures.
  size_t run(SyncMode mode, bool recurse = true) {
    EntryList source("/s/");
    scan_tree(fs_, source, "", {}, {}, recurse);
    EntryList dest("/d/");
    scan_tree(fs_, dest, "", all_files_list, {}, recurse);
    PartnerSpellings spellings;
    size_t failures = delete_pass(fs_, console_, mode, dest, source, spellings);
    if (mode != SyncMode::kDelOnly) failures += copy_pass(fs_, console_, source, "/d/", spellings);
    return failures;
  }

  test::FakeFileSystem fs_;
  test::CapturedOutput out_;
  Console console_;
};

TEST_F(Passes, EachModeFollowsTheDecisionTable) {
  struct Row {
    SyncMode mode;
    Log log;
  };
  const Log deletes = {"remove /d/old/gone.txt", "rmdir /d/old", "remove /d/orphan.txt"};
  const Log copies = {"copy /s/diff.txt /d/diff.txt", "copy /s/new.txt /d/new.txt"};
  auto join = [](Log a, const Log& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  };
  const Row rows[] = {
      {SyncMode::kUpdate, join(deletes, copies)},
      {SyncMode::kCopyAll, join(deletes, join(copies, {"copy /s/same.txt /d/SAME.TXT"}))},
      {SyncMode::kCopyOnly, copies},
      {SyncMode::kDelOnly, deletes},
  };
  for (const Row& row : rows) {
    fs_ = test::FakeFileSystem();
    SetUp();
    EXPECT_EQ(run(row.mode), 0u);
    EXPECT_EQ(fs_.log, row.log) << "mode " << static_cast<int>(row.mode);
  }
}

TEST_F(Passes, ACopyReplacesThePartnerSpelledInAnotherCase) {
  fs_.add_file("/s/Sub/Name.txt", 7, 70);
  fs_.add_file("/d/SUB/name.TXT", 6, 60);
  fs_.log.clear();
  run(SyncMode::kCopyOnly);
  EXPECT_EQ(fs_.files.count("/d/Sub/Name.txt"), 0u) << "no second file beside the partner";
  EXPECT_EQ(fs_.files.at("/d/SUB/name.TXT").size, 7u);
}

TEST_F(Passes, OutputListsDeletionsBeforeCopiesWithOutcomes) {
  fs_.fail_copy.insert("/s/new.txt");
  fs_.fail_remove.insert("/d/orphan.txt");
  EXPECT_EQ(run(SyncMode::kUpdate), 2u);
  EXPECT_EQ(out_.text(),
            "Delete:\t/d/old/gone.txt...\tOk.\n"
            "Delete:\t/d/orphan.txt...\tFail.\n"
            "Copy:\t/s/diff.txt...\tOk.\n"
            "Copy:\t/s/new.txt...\tFail.\n");
  // A failed delete leaves its directory alone; a failed copy changes nothing.
  EXPECT_EQ(fs_.files.count("/d/orphan.txt"), 1u);
  EXPECT_EQ(fs_.files.count("/d/new.txt"), 0u);
}

TEST_F(Passes, OnlyTheEmptiedDirectoryItselfIsRemoved) {
  fs_.add_file("/d/a/b/only.txt", 1, 1);
  fs_.add_dir("/d/keep/empty_child");
  fs_.add_file("/d/keep/x.txt", 1, 1);
  fs_.log.clear();
  run(SyncMode::kDelOnly);
  EXPECT_EQ(fs_.dirs.count("/d/a/b"), 0u);
  EXPECT_EQ(fs_.dirs.count("/d/a"), 1u) << "parents are never tried";
  EXPECT_EQ(fs_.dirs.count("/d/keep"), 1u) << "an empty subdirectory keeps its parent";
}

TEST_F(Passes, TheRootGoesWhenItsLastFileIsDeletedAndComesBackForACopy) {
  fs_.files.clear();
  fs_.dirs = {"/", "/s", "/d"};
  fs_.add_file("/d/y.txt", 1, 1);
  fs_.add_file("/s/sub/z.txt", 1, 1);
  run(SyncMode::kUpdate);
  EXPECT_EQ(fs_.log, (Log{"remove /d/y.txt", "rmdir /d", "mkdir /d", "mkdir /d/sub",
                          "copy /s/sub/z.txt /d/sub/z.txt"}));
}

TEST_F(Passes, WithoutRecursionSubdirectoriesAreLeftAlone) {
  run(SyncMode::kUpdate, false);
  EXPECT_EQ(fs_.files.count("/d/old/gone.txt"), 1u);
}

TEST_F(Passes, FilesBelowAnUnreadableSourceDirectoryAreKept) {
  fs_.add_file("/s/Locked/inner.txt", 1, 1);
  fs_.add_file("/d/locked/inner.txt", 9, 9);
  fs_.add_file("/d/locked/deep/other.txt", 9, 9);
  fs_.add_file("/d/lockedness.txt", 9, 9);
  fs_.fail_list.insert("/s/Locked");
  run(SyncMode::kUpdate);
  EXPECT_EQ(fs_.files.count("/d/locked/inner.txt"), 1u);
  EXPECT_EQ(fs_.files.count("/d/locked/deep/other.txt"), 1u);
  EXPECT_EQ(fs_.files.count("/d/lockedness.txt"), 0u) << "only what lies below the directory";
}

TEST_F(Passes, ACopyOntoADirectoryFailsAndLeavesItAlone) {
  fs_.add_dir("/d/new.txt");
  fs_.add_file("/d/new.txt/keep", 1, 1);
  EXPECT_EQ(run(SyncMode::kUpdate, false), 1u);
  EXPECT_EQ(fs_.files.count("/d/new.txt/keep"), 1u);
}

}  // namespace
}  // namespace qmr
