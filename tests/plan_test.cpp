#include "sync/plan.h"

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
