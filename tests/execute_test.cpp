// Carrying out a plan: what the executor changes, in which order, what it
// prints, and that the number of workers changes none of it.
#include "sync/execute.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "support/mirror_passes.h"

namespace qmr {
namespace {

TEST_F(Passes, ManyWorkersPrintAndLeaveExactlyWhatOneWorkerDoes) {
  for (const SyncMode mode :
       {SyncMode::kUpdate, SyncMode::kCopyAll, SyncMode::kCopyOnly, SyncMode::kDelOnly}) {
    std::string lines[3], errors[3];
    std::map<std::string, test::FakeFileSystem::File> files[3];
    std::map<std::string, Attributes> dirs[3];
    size_t failures[3];
    // Two workers hold a window of slots smaller than the plan: slots are reused.
    for (const unsigned workers : {1u, 2u, 7u}) {
      const int k = workers == 1 ? 0 : workers == 2 ? 1 : 2;
      test::FakeFileSystem fs;
      fill_busy_tree(fs);
      test::CapturedOutput out, err;
      EntryList source("/s/");
      scan_tree(fs, source, {{}, {}, true});
      EntryList dest("/d/");
      scan_tree(fs, dest, {all_files_list, {}, true});
      const Plan plan = make_plan(source, dest, mode, time_step(dest));
      failures[k] = execute_plan(plan, source, dest, fs, Console({false, false}, out.file(), err.file()),
                                 {false, workers}).failed;
      lines[k] = out.text();
      errors[k] = err.text();
      files[k] = fs.files;
      dirs[k] = fs.dirs;
    }
    const int mode_number = static_cast<int>(mode);
    for (int k = 1; k < 3; ++k) {
      EXPECT_EQ(lines[k], lines[0]) << "mode " << mode_number << ", run " << k;
      EXPECT_EQ(errors[k], errors[0]) << "mode " << mode_number << ", run " << k;
      EXPECT_EQ(failures[k], failures[0]) << "mode " << mode_number << ", run " << k;
      EXPECT_EQ(files[k], files[0]) << "mode " << mode_number << ", run " << k;
      EXPECT_EQ(dirs[k], dirs[0]) << "mode " << mode_number << ", run " << k;
    }
    EXPECT_GT(lines[0].size(), 1000u) << "the tree gives every mode work to do";
  }
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
  EXPECT_EQ(err_.text(),
            "qmr: cannot delete /d/orphan.txt: /d/orphan.txt: Permission denied\n"
            "qmr: cannot copy /s/new.txt: /s/new.txt: No such file or directory\n");
  // A failed delete leaves its directory alone; a failed copy changes nothing.
  EXPECT_EQ(fs_.files.count("/d/orphan.txt"), 1u);
  EXPECT_EQ(fs_.files.count("/d/new.txt"), 0u);
}

TEST_F(Passes, EmptiedDirectoriesGoWithTheAncestorsTheyEmptyForAnyNumberOfWorkers) {
  for (const unsigned workers : {1u, 7u}) {
    fs_ = test::FakeFileSystem();
    fs_.add_file("/s/keep.txt", 1, 1);
    for (int d = 0; d < 30; ++d) {
      for (int f = 0; f < 3; ++f) fs_.add_file(numbered("/d/doc/pkg", d) + numbered("/f", f), 1, 1);
    }
    fs_.add_file("/d/a/b/only.txt", 1, 1);
    fs_.add_dir("/d/keep/empty_child");
    fs_.add_file("/d/keep/x.txt", 1, 1);
    fs_.add_dir("/d/idle");  // empty before the run: not the run's to remove
    workers_ = workers;
    run(SyncMode::kDelOnly);
    EXPECT_EQ(fs_.dirs.count("/d/doc"), 0u) << workers << " workers";
    EXPECT_EQ(fs_.dirs.count("/d/a"), 0u);
    EXPECT_EQ(fs_.dirs.count("/d/keep"), 1u) << "an empty subdirectory keeps its parent";
    EXPECT_EQ(fs_.dirs.count("/d/keep/empty_child"), 1u);
    EXPECT_EQ(fs_.dirs.count("/d/idle"), 1u);
    EXPECT_EQ(fs_.dirs.count("/d"), 1u);
  }
}

TEST_F(Passes, TheRootStaysWhenItsLastFileIsDeleted) {
  fs_.files.clear();
  fs_.dirs = {{"/", {}}, {"/s", {}}, {"/d", {}}};
  fs_.add_file("/d/y.txt", 1, 1);
  fs_.add_file("/s/sub/z.txt", 1, 1);
  run(SyncMode::kDelOnly);
  EXPECT_EQ(fs_.log, (Log{"remove /d/y.txt"}));
  EXPECT_EQ(fs_.dirs.count("/d"), 1u);
}

TEST_F(Passes, DebrisOfAKilledRunGoesSilentlyInEveryMode) {
  for (const SyncMode mode :
       {SyncMode::kUpdate, SyncMode::kCopyAll, SyncMode::kCopyOnly, SyncMode::kDelOnly}) {
    fs_ = test::FakeFileSystem();
    fs_.add_file("/s/keep.txt", 1, 1);
    fs_.add_file("/d/keep.txt", 1, 1);
    fs_.add_file("/d/sub/.qmr-0a1b2c3d.tmp", 9, 9);
    fs_.add_file("/s/.qmr-zzzzzzzz.tmp", 2, 2);  // the user's own file of that form
    fs_.add_file("/d/.qmr-zzzzzzzz.tmp", 2, 2);
    fs_.add_file("/d/.qmr-short.tmp", 3, 3);  // not of the form: an ordinary file
    fs_.log.clear();
    EXPECT_EQ(run(mode), 0u) << err_.text();
    EXPECT_EQ(fs_.files.count("/d/sub/.qmr-0a1b2c3d.tmp"), 0u) << static_cast<int>(mode);
    EXPECT_EQ(fs_.files.count("/d/.qmr-zzzzzzzz.tmp"), 1u);
    EXPECT_EQ(out_.text().find("0a1b2c3d"), std::string::npos) << "no line for debris";
    EXPECT_EQ(fs_.files.count("/d/.qmr-short.tmp"), mode == SyncMode::kCopyOnly ? 1u : 0u);
  }
}

TEST_F(Passes, ANameThatIsNotOneNameIsNeverCopiedAndKeepsItsDirectorysMirror) {
  fs_.files.clear();
  fs_.add_file("/s/in\\..\\x", 1, 1, EntryKind::kUnusable);
  fs_.add_file("/s/keep", 1, 1);
  fs_.add_file("/d/sub/..\\victim", 1, 1, EntryKind::kUnusable);
  fs_.add_file("/d/sub/stale", 1, 1);
  fs_.log.clear();
  EntryList source("/s/");
  scan_tree(fs_, source, {{}, {}, true});
  EntryList dest("/d/");
  const PatternList nothing;
  ScanSettings dest_settings{all_files_list, nothing, true};
  dest_settings.destination = true;
  scan_tree(fs_, dest, dest_settings);
  ASSERT_EQ(dest.failures().size(), 1u);
  EXPECT_EQ(dest.failures()[0].relative_dir, "sub/");
  const Plan plan = make_plan(source, dest, SyncMode::kUpdate, time_step(dest));
  EXPECT_EQ(execute_plan(plan, source, dest, fs_, console_, {false, 1}).failed, 1u);
  EXPECT_EQ(fs_.log, Log{"copy /s/keep /d/keep"}) << "nothing deleted below sub/";
  EXPECT_NE(err_.text().find("/s/in\\..\\x: not a plain name"), std::string::npos) << err_.text();
}

TEST_F(Passes, TheDestinationRootKeepsItsOwnerAndMode) {
  fs_.dirs["/s"] = {0700, 0, 0};
  fs_.dirs["/d"] = {03777, 65534, 65534};
  run(SyncMode::kUpdate);
  EXPECT_EQ(fs_.dirs.at("/d"), (Attributes{03777, 65534, 65534}));
}

TEST_F(Passes, ADirectoryWhereTheSourceHasAFileGoesOnceItsFilesAreDeleted) {
  fs_.add_file("/s/x", 7, 7);
  fs_.add_file("/d/x/f", 1, 1);
  fs_.add_dir("/d/x/e1/e2");
  EXPECT_EQ(run(SyncMode::kUpdate), 0u) << err_.text();
  EXPECT_EQ(fs_.files.count("/d/x"), 1u);
  EXPECT_EQ(fs_.dirs.count("/d/x"), 0u);
  fs_.log.clear();
  EXPECT_EQ(run(SyncMode::kUpdate), 0u);
  EXPECT_TRUE(fs_.log.empty()) << "the second run is idle";
}

TEST_F(Passes, AnInterruptStopsAtTheNextActionAndEveryChangeHasItsLine) {
  for (const unsigned workers : {1u, 7u}) {
    test::FakeFileSystem fs;
    fill_busy_tree(fs);
    fs.interrupt_after_changes = 60;
    test::CapturedOutput out, err;
    EntryList source("/s/");
    scan_tree(fs, source, {{}, {}, true});
    EntryList dest("/d/");
    scan_tree(fs, dest, {all_files_list, {}, true});
    execute_plan(make_plan(source, dest, SyncMode::kUpdate, time_step(dest)), source, dest, fs,
                 Console({false, false}, out.file(), err.file()), {false, workers});
    const std::string text = out.text();
    size_t changes = 0;
    for (const std::string& entry : fs.log) {
      const size_t space = entry.find(' ');
      const std::string verb = entry.substr(0, space);
      const std::string path = entry.substr(space + 1, entry.find(' ', space + 1) - space - 1);
      if (verb == "copy" || verb == "remove") {
        ++changes;
        const std::string line = (verb == "copy" ? "Copy:\t" : "Delete:\t") + path + "...\tOk.\n";
        EXPECT_NE(text.find(line), std::string::npos) << entry << " has no line";
      }
      if (verb == "mkdir") {
        EXPECT_NE(std::find(fs.log.begin(), fs.log.end(), "attrs " + path + " 0"), fs.log.end())
            << path << " was made and never settled";
      }
    }
    EXPECT_LE(changes, 60u + workers) << workers << " workers went on after the interrupt";
    // A line for each change, and one "Stopped." at most: the action the stop caught.
    const auto stopped = static_cast<long>(text.find("...\tStopped.\n") != std::string::npos);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), static_cast<long>(changes) + stopped) << text;
  }
}

TEST_F(Passes, NothingIsWrittenThroughALinkInTheDestination) {
  fs_.add_file("/s/sub/f.txt", 1, 1);
  fs_.add_file("/d/sub", 0, 1, EntryKind::kSymlink);  // a link to a directory elsewhere
  fs_.log.clear();
  EXPECT_EQ(run(SyncMode::kCopyOnly), 1u);
  EXPECT_NE(out_.text().find("Copy:\t/s/sub/f.txt...\tFail.\n"), std::string::npos);
  EXPECT_EQ(fs_.log, (Log{"copy /s/diff.txt /d/diff.txt", "copy /s/new.txt /d/new.txt"}));
  // Where deleting is allowed the link goes first, as an unpaired entry, and
  // the copy then makes a real directory.
  fs_.log.clear();
  EXPECT_EQ(run(SyncMode::kUpdate), 0u);
  EXPECT_EQ(fs_.files.count("/d/sub/f.txt"), 1u);
  EXPECT_EQ(fs_.dirs.count("/d/sub"), 1u);
}

TEST_F(Passes, DirectoriesTakeTheSourcesAttributesDeepestFirst) {
  fs_.add_dir("/s/priv", {0700, 5, 6});
  fs_.add_dir("/s/priv/inner", {0500, 5, 6});
  fs_.add_file("/s/priv/inner/key", 1, 1);
  fs_.add_dir("/s/pub", {0755, 0, 0});
  fs_.add_file("/s/pub/x", 1, 1);
  fs_.add_dir("/d/pub", {0777, 0, 0});  // exists, but with other bits
  fs_.add_file("/d/pub/x", 1, 1);
  fs_.log.clear();
  run(SyncMode::kUpdate);
  EXPECT_EQ(fs_.dirs.at("/d/priv"), (Attributes{0700, 5, 6}));
  EXPECT_EQ(fs_.dirs.at("/d/priv/inner"), (Attributes{0500, 5, 6}));
  EXPECT_EQ(fs_.dirs.at("/d/pub"), (Attributes{0755, 0, 0}));
  Log settled;
  for (const std::string& line : fs_.log) {
    if (line.rfind("attrs", 0) == 0) settled.push_back(line);
  }
  EXPECT_EQ(settled, (Log{"attrs /d/priv/inner 320", "attrs /d/priv 448", "attrs /d/pub 493"}));
  fs_.log.clear();
  run(SyncMode::kUpdate);
  EXPECT_TRUE(fs_.log.empty()) << "a second run changes nothing";
}

TEST_F(Passes, APreviewPrintsTheSameLinesAndChangesNothing) {
  fs_.add_file("/d/.qmr-0a1b2c3d.tmp", 9, 9);
  for (const SyncMode mode :
       {SyncMode::kUpdate, SyncMode::kCopyAll, SyncMode::kCopyOnly, SyncMode::kDelOnly}) {
    const auto before = fs_.files;
    const std::string planned = preview(mode);
    EXPECT_TRUE(fs_.log.empty());
    EXPECT_EQ(fs_.files, before);
    test::FakeFileSystem copy = fs_;
    const size_t mark = out_.text().size();
    run(mode);
    std::string done = out_.text().substr(mark);
    for (size_t at; (at = done.find("Ok.")) != std::string::npos;) done.replace(at, 3, "Planned.");
    EXPECT_EQ(planned, done) << static_cast<int>(mode);
    fs_ = copy;
    fs_.log.clear();
  }
}

TEST_F(Passes, ACopyOntoADirectoryFailsAndLeavesItAlone) {
  fs_.add_dir("/d/new.txt");
  fs_.add_file("/d/new.txt/keep", 1, 1);
  EXPECT_EQ(run(SyncMode::kUpdate, false), 1u);
  EXPECT_EQ(fs_.files.count("/d/new.txt/keep"), 1u);
}

// Runs are kept as their first action: each must come back as pushed,
// whether a segment breaks its run by kind, flag or a gap, or not at all.
}  // namespace
}  // namespace qmr
