#include "sync/run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "console/messages.h"
#include "support/captured_output.h"
#include "support/fake_fs.h"
#include "sync/execute.h"

namespace qmr {
namespace {

using Log = std::vector<std::string>;

class RunSync : public ::testing::Test {
 protected:
  int run(RunOptions options, bool quiet = false) {
    options.quiet = quiet;
    const Console console({quiet, false}, out_.file(), err_.file());
    return run_sync(options, fs_, console);
  }

  static RunOptions options(std::string from, std::string to, bool recurse = true,
                            SyncMode mode = SyncMode::kUpdate) {
    RunOptions o;
    o.source_root = std::move(from);
    o.dest_root = std::move(to);
    o.recurse = recurse;
    o.mode = mode;
    return o;
  }

  test::FakeFileSystem fs_;
  test::CapturedOutput out_;
  test::CapturedOutput err_;
};

TEST_F(RunSync, MirrorsAndReportsAfterTheBanner) {
  fs_.add_file("/s/a.txt", 1, 1);
  fs_.add_file("/d/b.txt", 1, 1);
  EXPECT_EQ(run(options("/s", "/d/")), kExitOk);
  EXPECT_EQ(out_.text(),
            "Quenmire. Version 1.02\n"
            "Delete:\t/d/b.txt...\tOk.\n"
            "Copy:\t/s/a.txt...\tOk.\n");
}

TEST_F(RunSync, TheDestinationRootIsMadeInEveryMode) {
  for (const SyncMode mode :
       {SyncMode::kUpdate, SyncMode::kCopyAll, SyncMode::kCopyOnly, SyncMode::kDelOnly}) {
    fs_ = test::FakeFileSystem();
    fs_.add_file("/s/a", 1, 1);
    EXPECT_EQ(run(options("/s", "/new/deep/d", true, mode), true), kExitOk);
    EXPECT_EQ(fs_.dirs.count("/new/deep/d"), 1u) << static_cast<int>(mode);
  }
}

TEST_F(RunSync, AMissingOrUnreadableSourceChangesNothing) {
  fs_.add_file("/d/keep.txt", 1, 1);
  EXPECT_EQ(run(options("/missing", "/d")), kExitRefused);
  fs_.add_dir("/locked");
  fs_.fail_list.insert("/locked");
  EXPECT_EQ(run(options("/locked", "/d2")), kExitRefused);
  EXPECT_EQ(out_.text(),
            "Quenmire. Version 1.02\nCannot read SOURCE directory...\n"
            "Quenmire. Version 1.02\nCannot read SOURCE directory...\n");
  EXPECT_TRUE(fs_.log.empty()) << "nothing may be created or deleted";
}

TEST_F(RunSync, ANameTooLongToKeepIsARefusalNotACrash) {
  fs_.add_file("/s/a.txt", 1, 1);
  fs_.add_file("/s/" + std::string(70000, 'n'), 1, 1);
  fs_.add_file("/d/b.txt", 1, 1);
  EXPECT_EQ(run(options("/s", "/d")), kExitRefused);
  EXPECT_NE(err_.text().find("file name too long"), std::string::npos) << err_.text();
  EXPECT_TRUE(fs_.log.empty()) << "nothing may be created or deleted";
}

TEST_F(RunSync, AnEmptySelectionNeverEmptiesTheMirror) {
  fs_.add_file("/s/a.doc", 1, 1);
  fs_.add_file("/d/a.doc", 1, 1);
  for (const SyncMode mode : {SyncMode::kUpdate, SyncMode::kCopyAll, SyncMode::kDelOnly}) {
    RunOptions o = options("/s", "/d", true, mode);
    o.include_patterns = {"*.dox"};
    EXPECT_EQ(run(o), kExitRefused);
  }
  fs_.add_dir("/empty");
  EXPECT_EQ(run(options("/empty", "/d")), kExitRefused);
  EXPECT_TRUE(fs_.log.empty());
  EXPECT_EQ(out_.text().find("Delete"), std::string::npos);

  // Copying only cannot lose anything: the run goes on and does nothing.
  RunOptions copy_only = options("/s", "/d", true, SyncMode::kCopyOnly);
  copy_only.include_patterns = {"*.dox"};
  EXPECT_EQ(run(copy_only), kExitOk);
  // Nor does an empty selection into an empty destination.
  EXPECT_EQ(run(options("/empty", "/fresh")), kExitOk);
  EXPECT_EQ(fs_.log, (Log{"mkdir /fresh", "attrs /fresh 0"}));

  // A selection whose every file is already mirrored is no empty selection.
  fs_.log.clear();
  fs_.add_file("/d/extra.doc", 1, 1);
  EXPECT_EQ(run(options("/s", "/d")), kExitOk);
  EXPECT_EQ(fs_.log, (Log{"remove /d/extra.doc"}));
}

TEST_F(RunSync, OverlappingRootsAreRefused) {
  fs_.add_file("/s/a", 1, 1);
  fs_.add_file("/s/in/b", 1, 1);
  fs_.add_file("/real/c", 1, 1);
  fs_.aliases["/link"] = "/real";
  struct Row {
    const char* from;
    const char* to;
    bool recurse;
    int status;
    const char* message;
  };
  const Row rows[] = {
      {"/s", "/s/", false, kExitRefused, "SOURCE and DESTINATION are the same directory...\n"},
      {"/link", "/real", true, kExitRefused, "SOURCE and DESTINATION are the same directory...\n"},
      {"/s", "/s/in", true, kExitRefused, "DESTINATION directory lies inside SOURCE...\n"},
      {"/s/in", "/s", true, kExitRefused, "SOURCE directory lies inside DESTINATION...\n"},
      {"/link", "/real/x/y", true, kExitRefused, "DESTINATION directory lies inside SOURCE...\n"},
  };
  for (const Row& row : rows) {
    test::CapturedOutput out;
    const Console console({false, false}, out.file());
    EXPECT_EQ(run_sync(options(row.from, row.to, row.recurse), fs_, console), row.status);
    EXPECT_EQ(out.text(), std::string("Quenmire. Version 1.02\n") + row.message);
  }
  EXPECT_TRUE(fs_.log.empty());
  // Without recursion neither scan reaches the other root.
  EXPECT_EQ(run(options("/s", "/s/in", false), true), kExitOk);
}

TEST_F(RunSync, UnreadableDirectoriesAreReportedAndCountAsFailures) {
  fs_.add_file("/s/a", 1, 1);
  fs_.add_file("/s/locked/x", 1, 1);
  fs_.add_file("/d/locked/x", 1, 1);
  fs_.add_file("/d/shut/y", 1, 1);
  fs_.fail_list.insert("/s/locked");
  fs_.fail_list.insert("/d/shut");
  EXPECT_EQ(run(options("/s", "/d")), kExitSomeFailed);
  EXPECT_EQ(out_.text(),
            "Quenmire. Version 1.02\n"
            "Scan:\t/s/locked...\tFail.\n"
            "Scan:\t/d/shut...\tFail.\n"
            "Copy:\t/s/a...\tOk.\n");
  EXPECT_EQ(err_.text(),
            "qmr: cannot read directory /s/locked: Permission denied\n"
            "qmr: cannot read directory /d/shut: Permission denied\n");
  EXPECT_EQ(fs_.files.count("/d/locked/x"), 1u);
  EXPECT_EQ(fs_.files.count("/d/shut/y"), 1u);
}

TEST_F(RunSync, QuietRunsPrintNothingButKeepTheirStatus) {
  fs_.add_file("/s/a", 1, 1);
  fs_.fail_copy.insert("/s/a");
  EXPECT_EQ(run(options("/s", "/d"), true), kExitSomeFailed);
  EXPECT_EQ(run(options("/nowhere", "/d"), true), kExitRefused);
  EXPECT_EQ(out_.text(), "");
  EXPECT_EQ(err_.text(), "");
}

TEST_F(RunSync, RootsReachedThroughABindMountAreTheSameDirectory) {
  fs_.add_file("/t/data/src/precious.txt", 1, 1);
  fs_.add_dir("/t/alias");
  fs_.mounts["/t/alias"] = "/t/data";
  // The source lies inside the destination, seen through the alias.
  EXPECT_EQ(run(options("/t/data/src", "/t/alias")), kExitRefused);
  EXPECT_EQ(run(options("/t/data", "/t/alias")), kExitRefused);
  // The destination mounted inside the source: the source scan meets it.
  fs_.add_dir("/b");
  fs_.add_dir("/t/data/mirror");
  fs_.mounts["/t/data/mirror"] = "/b";
  EXPECT_EQ(run(options("/t/data", "/b")), kExitRefused);
  EXPECT_EQ(out_.text(),
            "Quenmire. Version 1.02\nSOURCE directory lies inside DESTINATION...\n"
            "Quenmire. Version 1.02\nSOURCE and DESTINATION are the same directory...\n"
            "Quenmire. Version 1.02\nDESTINATION directory lies inside SOURCE...\n");
  EXPECT_TRUE(fs_.log.empty()) << "nothing may be created or deleted";
  EXPECT_EQ(fs_.files.count("/t/data/src/precious.txt"), 1u);
}

TEST_F(RunSync, APassThroughViewOfTheSourceIsRefusedBeforeAnyChange) {
  fs_.add_file("/s/a.txt", 1, 1);
  fs_.add_file("/s/b.doc", 1, 1);
  fs_.add_dir("/view");
  fs_.views["/view"] = "/s";
  ASSERT_NE(fs_.identity("/view"), fs_.identity("/s")) << "identity cannot see this alias";
  RunOptions o = options("/s", "/view");
  o.include_patterns = {"*.txt"};
  fs_.log.clear();
  EXPECT_EQ(run(o), kExitRefused);
  EXPECT_EQ(out_.text(), std::string(kBanner) + kSameRootsMessage);
  EXPECT_TRUE(fs_.log.empty());
  EXPECT_EQ(fs_.files.count("/s/b.doc"), 1u);
}

TEST_F(RunSync, ADestinationRootThatCannotBeMadeOrIsNoDirectoryIsOneRefusal) {
  fs_.add_file("/s/a.txt", 1, 1);
  fs_.add_file("/s/b.txt", 1, 1);
  fs_.add_file("/blocked", 1, 1);  // a file where the root's parent should be
  EXPECT_EQ(run(options("/s", "/blocked/d")), kExitRefused);
  const std::string made = "qmr: cannot create directory /blocked/d: /blocked: Not a directory\n";
  EXPECT_EQ(err_.text(), made);
  fs_.log.clear();
  EXPECT_EQ(run(options("/s", "/blocked")), kExitRefused);
  EXPECT_EQ(err_.text(), made + "qmr: cannot use /blocked: Not a directory\n");
  EXPECT_TRUE(fs_.log.empty());
}

TEST_F(RunSync, AnInterruptedRunEndsWithTheSignalsStatus) {
  fs_.add_file("/s/a.txt", 1, 1);
  fs_.interrupt.store(15);
  EXPECT_EQ(run(options("/s", "/d")), 128 + 15);
  EXPECT_EQ(fs_.files.count("/d/a.txt"), 0u) << "nothing is done after an interrupt";
  // Stopped during the copies: the summary says so.
  fs_.interrupt.store(0);
  fs_.add_file("/s/b.txt", 1, 1);
  fs_.interrupt_after_changes = 1;
  RunOptions o = options("/s", "/d");
  o.stats = true;
  o.threads = 1;
  EXPECT_EQ(run(o), 128 + 2);
  EXPECT_NE(out_.text().find("Summary: 1 copied (1 bytes), 0 deleted, 0 failed, 0 unchanged, 0 attributes, "
                             "stopped by signal 2, "), std::string::npos) << out_.text();
}

TEST(SummaryLine, AddsAFieldOnlyWhenItIsNotZero) {
  RunTotals totals{3, 300, 2, 1, 7, 4};
  EXPECT_EQ(summary_line(totals, 0, std::chrono::milliseconds(1234)),
            "Summary: 3 copied (300 bytes), 2 deleted, 1 failed, 7 unchanged, 4 attributes, 1.234 s");
  totals.renamed = 5;
  totals.not_kept = 6;
  EXPECT_EQ(summary_line(totals, 2, std::chrono::milliseconds(5)),
            "Summary: 3 copied (300 bytes), 2 deleted, 1 failed, 7 unchanged, 4 attributes, 5 renamed, "
            "6 not kept, stopped by signal 2, 0.005 s");
}

TEST_F(RunSync, ListOnlyPrintsThePlanAndChangesNothing) {
  fs_.add_file("/s/a", 1, 1);
  fs_.add_file("/d/b", 1, 1);
  fs_.add_file("/d/.qmr-0a1b2c3d.tmp", 1, 1);
  RunOptions o = options("/s", "/new");
  o.list_only = true;
  EXPECT_EQ(run(o), kExitOk);
  o.dest_root = "/d";
  EXPECT_EQ(run(o), kExitOk);
  EXPECT_EQ(out_.text(),
            "Quenmire. Version 1.02\nCopy:\t/s/a...\tPlanned.\n"
            "Quenmire. Version 1.02\nDelete:\t/d/b...\tPlanned.\nCopy:\t/s/a...\tPlanned.\n");
  EXPECT_TRUE(fs_.log.empty()) << "no root, no debris removal, nothing";
  fs_.fail_list.insert("/s");
  EXPECT_EQ(run(o), kExitRefused);
}

// An ordinary user's mirror of a read-only tree. The user's directories that
// are closed to them are opened while the run writes in them (the root for
// its write probe too) and end with the mode they should have: their
// source's, or their own where they mirror nothing. One of another owner
// stays closed, and what the run tries there fails.
TEST_F(RunSync, AUsersClosedDirectoriesAreOpenedWhileTheRunWritesInThem) {
  constexpr std::uint32_t kUser = 1000;
  fs_.user = kUser;
  fs_.owners_kept = false;
  const Attributes closed{0555, kUser, kUser};
  for (const char* dir : {"/s", "/s/a", "/s/theirs", "/d", "/d/a"}) fs_.add_dir(dir, closed);
  fs_.add_dir("/d/theirs", {0555, 0, 0});
  fs_.add_dir("/d/gone", {0500, kUser, kUser});
  fs_.add_file("/s/a/new", 1, 1);
  fs_.add_file("/s/theirs/new", 1, 1);
  fs_.add_file("/d/a/old", 1, 1);
  fs_.add_file("/d/gone/stuck", 1, 1);
  fs_.fail_remove.insert("/d/gone/stuck");
  EXPECT_EQ(run(options("/s", "/d")), kExitSomeFailed);
  EXPECT_EQ(fs_.files.count("/d/a/new"), 1u);
  EXPECT_EQ(fs_.files.count("/d/a/old"), 0u);
  EXPECT_EQ(fs_.files.count("/d/theirs/new"), 0u);
  EXPECT_NE(err_.text().find("qmr: cannot copy /s/theirs/new: /d/theirs/new: Permission denied\n"),
            std::string::npos) << err_.text();
  for (const auto& [dir, mode] : {std::pair{"/d", 0555u}, {"/d/a", 0555u}, {"/d/gone", 0500u}, {"/d/theirs", 0555u}}) {
    EXPECT_EQ(fs_.dirs[dir].mode, mode) << dir;
  }
  EXPECT_EQ(std::count(fs_.log.begin(), fs_.log.end(), "mode /d 755"), 1) << "opened once, for the probe";
  // The mirror is complete but for what is not the user's: the next run
  // opens the root for its probe, and closes it again.
  fs_.log.clear();
  fs_.fail_remove.clear();
  fs_.files.erase("/d/gone/stuck");
  fs_.dirs.erase("/d/gone");
  EXPECT_EQ(run(options("/s", "/d")), kExitSomeFailed);
  EXPECT_EQ(fs_.log, (Log{"mode /d 755", "mode /d 555"}));
}

// A stopped run leaves the directories it did not finish open to the user,
// so that the next run completes them; those it finished, and a root it
// made, have their source's mode.
TEST_F(RunSync, AStoppedRunLeavesWhatItDidNotFinishWritable) {
  constexpr std::uint32_t kUser = 1000;
  fs_.user = kUser;
  fs_.owners_kept = false;
  for (const char* dir : {"/s", "/s/a", "/s/b"}) fs_.add_dir(dir, {0555, kUser, kUser});
  for (const char* file : {"/s/a/1", "/s/b/1", "/s/b/2"}) fs_.add_file(file, 1, 1);
  RunOptions o = options("/s", "/d");
  o.threads = 1;
  fs_.interrupt_after_changes = 2;
  EXPECT_EQ(run(o), 128 + 2);
  EXPECT_EQ(fs_.files.count("/d/b/2"), 0u);
  for (const auto& [dir, mode] : {std::pair{"/d", 0555u}, {"/d/a", 0555u}, {"/d/b", 0755u}}) {
    EXPECT_EQ(fs_.dirs[dir].mode, mode) << dir;
  }
  fs_.interrupt.store(0);
  EXPECT_EQ(run(o), kExitOk);
  EXPECT_EQ(fs_.files.count("/d/b/2"), 1u);
  EXPECT_EQ(fs_.dirs["/d/b"].mode, 0555u);
}

}  // namespace
}  // namespace qmr
