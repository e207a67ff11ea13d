#include "sync/plan.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "inventory/scan.h"
#include "sync/equality.h"
#include "sync/execute.h"
#include "support/captured_output.h"
#include "support/fake_fs.h"

namespace qmr {
namespace {

using Log = std::vector<std::string>;

class Passes : public ::testing::Test {
 protected:
  Passes() : console_({false, false}, out_.file(), err_.file()) {}

  void SetUp() override {
    fs_.add_file("/s/new.txt", 1, 10);
    fs_.add_file("/s/same.txt", 2, 20);
    fs_.add_file("/s/diff.txt", 3, 30);
    fs_.add_file("/d/SAME.TXT", 2, 20);
    fs_.add_file("/d/diff.txt", 3, 31);  // a newer destination is still replaced
    fs_.add_file("/d/orphan.txt", 4, 40);
    fs_.add_file("/d/old/gone.txt", 5, 50);
  }

  // Scans both trees, plans and carries the plan out as a run does; returns
  // the failures.
  size_t run(SyncMode mode, bool recurse = true, const PatternList& include = {}) {
    EntryList source("/s/");
    scan_tree(fs_, source, {include, {}, recurse});
    EntryList dest("/d/");
    scan_tree(fs_, dest, {all_files_list, {}, recurse});
    const Plan plan = make_plan(source, dest, mode, time_step(dest));
    return execute_plan(plan, source, dest, fs_, console_, {false, workers_}).failed;
  }

  // The lines a preview of the same run prints.
  std::string preview(SyncMode mode) {
    EntryList source("/s/");
    scan_tree(fs_, source, {{}, {}, true});
    EntryList dest("/d/");
    scan_tree(fs_, dest, {all_files_list, {}, true});
    test::CapturedOutput out;
    preview_plan(make_plan(source, dest, mode, time_step(dest)), source, dest, fs_,
                 Console({false, false}, out.file()));
    return out.text();
  }

  test::FakeFileSystem fs_;
  test::CapturedOutput out_;
  test::CapturedOutput err_;
  Console console_;
  unsigned workers_ = 1;
};

// A tree of many directories with every kind of action, and failures among them.
std::string numbered(const char* prefix, int n) {
  std::string text(prefix);
  text += std::to_string(n);
  return text;
}

void fill_busy_tree(test::FakeFileSystem& fs) {
  for (int d = 0; d < 40; ++d) {
    const std::string dir = numbered("/dir", d) + numbered("/sub", d % 3) + "/";
    for (int f = 0; f < 12; ++f) {
      const std::string name = numbered("f", f);
      fs.add_file("/s" + dir + name, 1, f % 4 == 0 ? 1 : 2);
      if (f % 3 != 0) fs.add_file("/d" + dir + name, 1, 1);
      if (f % 5 == 0) fs.add_file("/d" + dir + "gone" + name, 1, 1);
    }
    if (d % 7 == 0) fs.add_file(numbered("/d/only", d) + "/x", 1, 1);
    if (d % 6 == 0) fs.add_file("/d" + dir + ".qmr-0a1b2c3d.tmp", 1, 1);
  }
  fs.fail_copy.insert("/s/dir4/sub1/f7");
  fs.fail_remove.insert("/d/dir9/sub0/gonef5");
}

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

TEST_F(Passes, EachModeFollowsTheDecisionTable) {
  struct Row {
    SyncMode mode;
    Log log;
  };
  const Log deletes = {"remove /d/old/gone.txt", "remove /d/orphan.txt", "rmdir /d/old"};
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

TEST_F(Passes, EachFileHasOnePartnerAndAStrayCaseVariantIsNobodys) {
  fs_.files.clear();
  fs_.add_file("/s/a.txt", 5, 50);
  fs_.add_file("/d/a.txt", 1, 10);
  fs_.add_file("/d/A.TXT", 1, 10);
  fs_.log.clear();
  run(SyncMode::kCopyOnly);
  EXPECT_EQ(fs_.log, (Log{"copy /s/a.txt /d/a.txt"})) << "the stray is kept and left alone";
  fs_.log.clear();
  run(SyncMode::kUpdate);
  EXPECT_EQ(fs_.log, (Log{"remove /d/A.TXT"}));
  EXPECT_EQ(fs_.files.at("/d/a.txt").size, 5u);
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

TEST_F(Passes, ANameOfTheTemporaryFormIsDebrisOnlyWhereTheSourceWasReadAndHasNoSuchFile) {
  fs_.files.clear();
  fs_.add_file("/s/a.txt", 1, 1);
  fs_.add_file("/s/.qmr-aaaaaaaa.tmp", 2, 2);  // the user's, not selected below
  fs_.add_file("/d/.qmr-aaaaaaaa.tmp", 2, 2);
  fs_.add_file("/s/locked/x.txt", 1, 1);
  fs_.fail_list.insert("/s/locked");
  fs_.add_file("/d/locked/.qmr-bbbbbbbb.tmp", 2, 2);
  fs_.log.clear();
  run(SyncMode::kCopyOnly, true, {"*.txt"});
  EXPECT_EQ(fs_.log, Log{"copy /s/a.txt /d/a.txt"}) << "neither is debris";
  fs_.log.clear();
  run(SyncMode::kUpdate, true, {"*.txt"});
  EXPECT_EQ(fs_.log, Log{"remove /d/.qmr-aaaaaaaa.tmp"}) << "an unselected file, deleted with its line";
  EXPECT_NE(out_.text().find("Delete:\t/d/.qmr-aaaaaaaa.tmp...\tOk."), std::string::npos);
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

TEST(Attributes, AnEqualFileTakesTheModeACopyWouldGiveIt) {
  test::FakeFileSystem fs;
  const Attributes secret{0600, 1, 1}, setuid{04755, 1, 1};
  fs.add_file("/s/secret", 1, 10);
  fs.files["/s/secret"].attributes = secret;
  fs.add_file("/s/tool", 1, 10);
  fs.files["/s/tool"].attributes = setuid;
  fs.add_file("/s/changed", 1, 10);
  fs.files["/s/changed"].attributes = secret;
  fs.add_file("/d/SECRET", 1, 10);
  fs.files["/d/SECRET"].attributes = {0644, 1, 1};
  fs.add_file("/d/tool", 1, 10);
  fs.files["/d/tool"].attributes = {0755, 2, 1};  // another owner
  fs.add_file("/d/changed", 1, 11);
  // A directory whose group only differs: where owners are not kept, no run
  // can give it, so it is no change.
  fs.add_dir("/s/shared", {0755, 1, 7});
  fs.add_dir("/d/shared", {0755, 1, 9});
  EntryList source("/s/"), dest("/d/");
  scan_tree(fs, source, {{}, {}, true});
  scan_tree(fs, dest, {all_files_list, {}, true});
  // Where owners are kept, the owner differs too; where not, the setuid bit
  // of a file whose owner cannot be given is not wanted either.
  EXPECT_EQ(make_plan(source, dest, SyncMode::kUpdate, time_step(dest), true).attributes.size(), 2u);
  EXPECT_EQ(make_plan(source, dest, SyncMode::kUpdate, time_step(dest), true).settle.size(), 1u);
  Listing source_dir, dest_dir;
  source_dir.attributes = {0755, 1, 7};
  dest_dir.attributes = {0755, 1, 9};
  EXPECT_FALSE(SettledPairs(SyncMode::kUpdate, true).settled_directory(source_dir, dest_dir));
  EXPECT_TRUE(SettledPairs(SyncMode::kUpdate, false).settled_directory(source_dir, dest_dir));
  const Plan plan = make_plan(source, dest, SyncMode::kUpdate, time_step(dest), false);
  EXPECT_TRUE(plan.settle.empty());
  ASSERT_EQ(plan.attributes.size(), 1u) << "an unequal file is copied, not updated";
  EXPECT_EQ(make_plan(source, dest, SyncMode::kDelOnly, time_step(dest), true).attributes.size(), 0u);
  test::CapturedOutput out, err;
  const RunTotals totals =
      execute_plan(plan, source, dest, fs, Console({false, false}, out.file(), err.file()), {false, 1});
  EXPECT_EQ(fs.files["/d/SECRET"].attributes, secret) << "through the partner's own spelling";
  EXPECT_EQ(totals.attributes, 1u);
  EXPECT_EQ(out.text(), "Copy:\t/s/changed...\tOk.\n") << "no line of its own";
}

// A plan in paths, for comparing plans made from lists that hold different files.
Log describe(const Plan& plan, const EntryList& source, const EntryList& dest) {
  Log lines;
  const auto add = [&](const Action& a) {
    const bool from_source = a.kind() == ActionKind::kCopy || a.kind() == ActionKind::kAttributes;
    const std::string path = from_source ? source.relative_path(source[a.entry]) : dest.relative_path(dest[a.entry]);
    lines.push_back(std::to_string(static_cast<int>(a.kind())) + (a.replace() ? " replace " : " ") + path +
                    (from_source ? " -> " + copy_target(plan, a, source) : ""));
  };
  for (const Action a : plan.actions) add(a);
  for (const Action& a : plan.attributes) add(a);
  for (const auto& [name, dirs, list] : {std::tuple{"settle ", &plan.settle, &source},
                                         std::tuple{"clear ", &plan.clear, &dest},
                                         std::tuple{"retime ", &plan.retime, &source}}) {
    for (const std::uint32_t d : *dirs) lines.push_back(name + std::string(list->directories()[d]));
  }
  lines.push_back("unchanged " + std::to_string(plan.unchanged));
  return lines;
}

TEST(JointScan, PlansWhatTwoSeparateScansPlanOnRandomTrees) {
  std::mt19937 random(2026);
  const auto pick = [&](auto options) { return options[random() % options.size()]; };
  const std::vector<std::string> dirs{"", "a/", "A/", "a/b/", "A/b/", "a/B/", "m/", "m/n/"};
  const std::vector<std::string> names{"x", "X", "y", ".qmr-0a1b2c3d.tmp"};
  const std::vector<FileTime> times{{10, 0}, {10, 500000000}, {11, 0}, {12, 7}};
  size_t settled = 0, forgotten = 0;
  for (int round = 0; round < 400; ++round) {
    test::FakeFileSystem fs;
    fs.owners_kept = random() % 2 == 0;
    std::map<std::string, test::FakeFileSystem::File> source_files;
    for (int i = 0, n = static_cast<int>(random() % 14); i < n; ++i) {
      test::FakeFileSystem::File f{1 + random() % 2, pick(times), EntryKind::kFile, {}};
      f.attributes.mode = random() % 4 == 0 ? 0600 : 0644;
      source_files[pick(dirs) + pick(names)] = f;
    }
    // Some directories hold a file "c" on one side and files on the other.
    if (random() % 3 == 0) fs.add_file("/s/c", 1, 10); else if (random() % 2 == 0) fs.add_file("/s/c/x", 1, 10);
    if (random() % 3 == 0) fs.add_file("/d/c/y", 1, 10); else if (random() % 2 == 0) fs.add_file("/d/c", 1, 11);
    const bool whole_seconds = random() % 4 == 0;
    for (const auto& [path, file] : source_files) {
      fs.add_file("/s/" + path, file.size, file.time);
      fs.files["/s/" + path].attributes = file.attributes;
      const int fate = static_cast<int>(random() % 5);
      if (fate == 0) continue;  // no partner
      test::FakeFileSystem::File mirror = file;
      if (fate == 1) mirror.time = pick(times);
      if (fate == 2) mirror.attributes.mode = 0640;
      if (whole_seconds) mirror.time.nanoseconds = 0;
      const std::string at = fate == 3 ? pick(dirs) + pick(names) : path;  // perhaps another case
      if (at == "c" || at.starts_with("c/")) continue;
      fs.add_file("/d/" + at, mirror.size, mirror.time);
      fs.files["/d/" + at].attributes = mirror.attributes;
    }
    if (random() % 6 == 0) fs.fail_list.insert(pick(std::vector<std::string>{"/s/a", "/d/A", "/s/a/b", "/d/a/B"}));
    // Directory pairs that differ in time or attributes, or are empty.
    for (const std::string side : {"/s/", "/d/"}) {
      if (random() % 3 == 0) fs.add_dir(side + pick(dirs) + "e");
      const std::string dir = side + pick(dirs);
      if (dir.size() == 3 || fs.dirs.count(dir.substr(0, dir.size() - 1)) == 0) continue;
      if (random() % 2 == 0) fs.dir_times[dir.substr(0, dir.size() - 1)] = pick(times);
      else fs.dirs[dir.substr(0, dir.size() - 1)].mode = 0700;
    }
    for (const SyncMode mode : {SyncMode::kUpdate, SyncMode::kCopyAll, SyncMode::kCopyOnly, SyncMode::kDelOnly}) {
      EntryList source("/s/"), dest("/d/");
      const PatternList none;
      const ScanSettings source_settings{none, none, true}, dest_settings{all_files_list, none, true};
      scan_tree(fs, source, source_settings);
      scan_tree(fs, dest, dest_settings);
      const Plan apart = make_plan(source, dest, mode, time_step(dest), fs.owners_kept);
      EntryList source_kept("/s/"), dest_kept("/d/");
      SettledPairs settle(mode, fs.owners_kept);
      scan_trees(fs, source_kept, source_settings, dest_kept, dest_settings, &settle);
      settled += source_kept.settled_pairs;
      forgotten += dest.directories().size() - dest_kept.directories().size();
      const Plan together = make_plan(source_kept, dest_kept, mode, time_step(dest_kept, settle.seen()), fs.owners_kept);
      ASSERT_EQ(describe(together, source_kept, dest_kept), describe(apart, source, dest))
          << "round " << round << ", mode " << static_cast<int>(mode);
      ASSERT_EQ(source_kept.failures().size() + dest_kept.failures().size(),
                source.failures().size() + dest.failures().size());
    }
  }
  EXPECT_GT(settled, 1000u) << "the trees hold many pairs that need nothing";
  EXPECT_GT(forgotten, 100u) << "and directories that need nothing";
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

// Runs are kept as their first action: each must come back as pushed,
// whether a segment breaks its run by kind, flag or a gap, or not at all.
TEST(ActionList, GivesBackEveryActionAsPushed) {
  std::mt19937 random(7);
  for (int round = 0; round < 20; ++round) {
    ActionList list;
    std::vector<Action> expected;
    std::uint32_t entry = 0;
    const auto length = std::uniform_int_distribution<int>(0, 700)(random);
    for (int i = 0; i < length; ++i) {
      const auto roll = random() % 200;
      entry += roll == 0 ? 2 : 1;
      const auto kind = roll == 1 ? ActionKind::kDelete : ActionKind::kCopy;
      expected.emplace_back(kind, roll == 2, roll == 3 ? 0 : entry);
      list.push_back(expected.back());
    }
    ASSERT_EQ(list.size(), expected.size());
    size_t i = 0;
    for (const Action a : list) {
      ASSERT_EQ(a.kind(), expected[i].kind()) << i;
      ASSERT_EQ(a.replace(), expected[i].replace()) << i;
      ASSERT_EQ(a.entry, expected[i].entry) << i;
      ++i;
    }
  }
}

}  // namespace
}  // namespace qmr
