// The real qmr binary under faults and hostile input: a full disk, a killed run,
// names of every kind and trees deeper than a path can name. Nothing may be
// lost, nothing half-written taken for good, and the exit status tells the truth.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "support/run_tool.h"
#include "support/temp_tree.h"

namespace qmr::test {
namespace {

namespace fs = std::filesystem;

constexpr std::int64_t kT1 = 1600000000100000001;
constexpr std::int64_t kT2 = 1600000000200000002;

std::vector<std::string> temporaries_below(const std::string& root) {
  std::vector<std::string> found;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (entry.path().filename().string().rfind(".qmr-", 0) == 0) found.push_back(entry.path());
  }
  return found;
}

class Faults : public ::testing::Test {
 protected:
  void SetUp() override {
    if (windows_tool()) GTEST_SKIP() << "fault injection runs against the POSIX build";
  }
  std::string path(const std::string& relative) const { return tree_.path(relative); }
  std::vector<std::string> mirror(const std::string& extra = "/R") const {
    return {"/FROM:" + path("src"), "/TO:" + path("dst"), extra};
  }
  TempTree tree_;
};

TEST_F(Faults, AFullDiskFailsOnlyTheCopiesThatDoNotFit) {
  tree_.write("src/a-small", std::string(10000, 'a'), kT1);
  tree_.write("src/big", std::string(3 << 20, 'b'), kT2);
  tree_.write("src/z-small", std::string(10000, 'z'), kT1);
  tree_.mkdir("dst");
  if (::mount("qmr-test", path("dst").c_str(), "tmpfs", 0, "size=1m") != 0) {
    GTEST_SKIP() << "cannot mount a small file system here (needs root): " << strerror(errno);
  }
  struct Unmount {
    std::string at;
    ~Unmount() { ::umount2(at.c_str(), MNT_DETACH); }
  } unmount{path("dst")};
  tree_.write("dst/big", "old big", kT1);

  ToolResult result = run_tool(mirror());
  EXPECT_EQ(result.status, 2);
  EXPECT_EQ(result.output, "Quenmire. Version 1.02\n"
                           "Copy:\t" + path("src/a-small") + "...\tOk.\n"
                           "Copy:\t" + path("src/big") + "...\tFail.\n"
                           "Copy:\t" + path("src/z-small") + "...\tOk.\n");
  EXPECT_EQ(result.errors, "qmr: cannot copy " + path("src/big") + ": " + path("dst/big") +
                               ": No space left on device\n");
  EXPECT_EQ(read_file(path("dst/big")), "old big");
  EXPECT_EQ(mtime_ns(path("dst/big")), kT1);
  EXPECT_TRUE(temporaries_below(path("dst")).empty());

  ASSERT_EQ(::mount("qmr-test", path("dst").c_str(), "tmpfs", MS_REMOUNT, "size=8m"), 0);
  result = run_tool(mirror());
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(snapshot(path("src")), snapshot(path("dst")));
}

// Writes a file of `mebibytes` MiB: several chunks of a copy.
void write_large(TempTree& tree, const std::string& relative, int mebibytes, std::int64_t time) {
  tree.write(relative, std::string(size_t(mebibytes) << 20, 'h'), time);
}

// Output to `log`, for a run started by PausedRun.
std::function<void()> output_to(const std::string& log) {
  return [log] {
    const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(out, 1);
    ::close(out);
  };
}

TEST_F(Faults, AKilledRunLeavesTheOldFileAndTheNextRunCompletes) {
  write_large(tree_, "src/huge", 24, kT2);
  tree_.write("dst/huge", "old", kT1);
  {
    // Killed once its temporary copy has begun to fill.
    PausedRun run(mirror(), "chunk:1", output_to("/dev/null"));
    ASSERT_TRUE(run.paused()) << run.errors();
    const auto under_way = temporaries_below(path("dst"));
    ASSERT_EQ(under_way.size(), 1u);
    EXPECT_GT(fs::file_size(under_way[0]), 0u);
    run.signal(SIGKILL);
    ASSERT_TRUE(WIFSIGNALED(run.finish()));
  }
  EXPECT_EQ(read_file(path("dst/huge")), "old");
  EXPECT_EQ(mtime_ns(path("dst/huge")), kT1);
  const auto leftovers = temporaries_below(path("dst"));
  ASSERT_EQ(leftovers.size(), 1u);

  // The next run clears the debris silently, in a mode that never deletes too.
  const ToolResult result =
      run_tool({"/FROM:" + path("src"), "/TO:" + path("dst"), "/COPYONLY"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.output, "Quenmire. Version 1.02\n"
                           "Copy:\t" + path("src/huge") + "...\tOk.\n");
  EXPECT_EQ(snapshot(path("src")), snapshot(path("dst")));
}

TEST_F(Faults, AnInterruptRemovesTheTemporaryAndKeepsTheTarget) {
  tree_.write("src/a-small", "a", kT1);
  write_large(tree_, "src/huge", 24, kT2);
  tree_.write("dst/huge", "old", kT1);
  for (const int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
    // One worker: the small copy is done when the large one passes its
    // second chunk (the small one's is the first).
    PausedRun run({"/FROM:" + path("src"), "/TO:" + path("dst"), "/THREADS:1"}, "chunk:2", output_to(path("log")));
    ASSERT_TRUE(run.paused()) << run.errors();
    run.signal(signal_number);
    const int status = run.finish_interrupted();
    ASSERT_TRUE(WIFSIGNALED(status)) << "status " << status;
    // Ended by the signal itself, so a shell reports 128 + its number.
    EXPECT_EQ(WTERMSIG(status), signal_number);
    EXPECT_TRUE(temporaries_below(path("dst")).empty()) << "signal " << signal_number;
    EXPECT_EQ(read_file(path("dst/huge")), "old");
    EXPECT_EQ(mtime_ns(path("dst/huge")), kT1);
    // The log names the copy that finished, and the one the stop caught.
    EXPECT_EQ(read_file(path("log")), "Quenmire. Version 1.02\n"
                                      "Copy:\t" + path("src/a-small") + "...\tOk.\n"
                                      "Copy:\t" + path("src/huge") + "...\tStopped.\n");
    fs::remove(path("dst/a-small"));
  }
}

TEST_F(Faults, AKilledRunsLogNamesEveryFinishedCopy) {
  for (int i = 0; i < 5; ++i) tree_.write("src/a" + std::to_string(i), "a", kT1);
  write_large(tree_, "src/huge", 24, kT2);
  for (int i = 0; i < 30; ++i) tree_.write("src/z" + std::to_string(i), "z", kT1);
  tree_.mkdir("dst");
  // Killed while the large copy is under way, after the five small ones
  // (one worker; the bound on what several may leave unlogged is the
  // ordered pipeline's own test): each finished copy is in the log already.
  PausedRun run({"/FROM:" + path("src"), "/TO:" + path("dst"), "/THREADS:1"}, "chunk:6", output_to(path("log")));
  ASSERT_TRUE(run.paused()) << run.errors();
  run.signal(SIGKILL);
  run.finish();
  std::string expected = "Quenmire. Version 1.02\n";
  for (int i = 0; i < 5; ++i) expected += "Copy:\t" + path("src/a" + std::to_string(i)) + "...\tOk.\n";
  EXPECT_EQ(read_file(path("log")), expected);
  for (int i = 0; i < 30; ++i) EXPECT_FALSE(fs::exists(path("dst/z" + std::to_string(i)))) << i;
}

TEST_F(Faults, RootsThatAreOneThroughABindMountAreRefused) {
  tree_.write("data/src/precious.txt", "p", kT1);
  tree_.mkdir("alias");
  tree_.mkdir("backup");
  tree_.mkdir("data/mirror");
  if (::mount(path("data").c_str(), path("alias").c_str(), nullptr, MS_BIND, nullptr) != 0) {
    GTEST_SKIP() << "cannot make a bind mount here (needs root): " << strerror(errno);
  }
  ASSERT_EQ(::mount(path("backup").c_str(), path("data/mirror").c_str(), nullptr, MS_BIND, nullptr), 0);
  struct Unmount {
    std::vector<std::string> at;
    ~Unmount() {
      for (const std::string& p : at) ::umount2(p.c_str(), MNT_DETACH);
    }
  } unmount{{path("alias"), path("data/mirror")}};
  const auto before = snapshot(path("data"));
  struct Row {
    std::string from, to, message;
  };
  const Row rows[] = {
      {path("data/src"), path("alias"), "SOURCE directory lies inside DESTINATION...\n"},
      {path("alias/src"), path("data/src"), "SOURCE and DESTINATION are the same directory...\n"},
      {path("alias"), path("data/src"), "DESTINATION directory lies inside SOURCE...\n"},
      // The destination mounted inside the source: found by the scan.
      {path("data"), path("backup"), "DESTINATION directory lies inside SOURCE...\n"},
      {path("backup"), path("data"), "SOURCE directory lies inside DESTINATION...\n"},
  };
  for (const Row& row : rows) {
    const ToolResult result = run_tool({"/FROM:" + row.from, "/TO:" + row.to, "/R"});
    EXPECT_EQ(result.status, 1) << row.from << " " << row.to;
    EXPECT_EQ(result.output, "Quenmire. Version 1.02\n" + row.message) << row.from << " " << row.to;
  }
  EXPECT_EQ(snapshot(path("data")), before);
  EXPECT_TRUE(fs::is_empty(path("backup")));
}

TEST_F(Faults, OwnersAndDirectoryModesAreKept) {
  if (::geteuid() != 0) GTEST_SKIP() << "giving files to other owners needs root";
  tree_.write("src/home/.ssh/id", "key", kT1);
  tree_.write("src/home/tool", "#!", kT1);
  for (const char* p : {"src/home", "src/home/.ssh", "src/home/.ssh/id", "src/home/tool"}) {
    ASSERT_EQ(::lchown(path(p).c_str(), 1234, 4321), 0);
  }
  // After the owner: a change of owner clears the set-id bits.
  ::chmod(path("src/home/.ssh").c_str(), 0700);
  ::chmod(path("src/home/tool").c_str(), 04755);
  ASSERT_EQ(run_tool(mirror()).status, 0);
  struct stat st{};
  ASSERT_EQ(::stat(path("dst/home/.ssh").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u);
  EXPECT_EQ(st.st_uid, 1234u);
  ASSERT_EQ(::stat(path("dst/home/tool").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 04755u);
  EXPECT_EQ(st.st_uid, 1234u);
  EXPECT_EQ(st.st_gid, 4321u);
  // A mode changed by hand is corrected; the next run is silent again.
  ::chmod(path("dst/home/.ssh").c_str(), 0755);
  EXPECT_EQ(run_tool(mirror()).output, "Quenmire. Version 1.02\n");
  ASSERT_EQ(::stat(path("dst/home/.ssh").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u);
}

// An exFAT image mounted through FUSE: a file system that finds names
// regardless of case and stores whole seconds, as USB drives do.
class ExFat : public Faults {
 protected:
  void SetUp() override {
    Faults::SetUp();
    if (IsSkipped()) return;
    if (::geteuid() != 0) GTEST_SKIP() << "mounting an image needs root";
    const std::string image = path("exfat.img");
    tree_.mkdir("x");
    const std::string make = "truncate -s 64M '" + image + "' && mkfs.exfat '" + image +
                             "' >/dev/null 2>&1 && mount -t exfat-fuse -o loop '" + image +
                             "' '" + path("x") + "' 2>/dev/null";
    if (std::system(make.c_str()) != 0) {
      GTEST_SKIP() << "no exFAT through FUSE here (packages exfatprogs and exfat-fuse)";
    }
    mounted_ = true;
  }
  void TearDown() override {
    if (mounted_) std::system(("umount '" + path("x") + "'").c_str());
  }
  bool mounted_ = false;
};

TEST_F(ExFat, AnAliasSpelledInAnotherCaseIsRefused) {
  tree_.write("x/Data/sub/precious.txt", "p", kT1);
  const ToolResult result =
      run_tool({"/FROM:" + path("x/Data/sub"), "/TO:" + path("x/DATA"), "/R"});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.output, "Quenmire. Version 1.02\nSOURCE directory lies inside DESTINATION...\n");
  EXPECT_EQ(read_file(path("x/Data/sub/precious.txt")), "p");
}

TEST_F(ExFat, CaseTwinsLandOnceAndTheOtherFailsOnEveryRun) {
  tree_.write("src/A.TXT", "upper", kT1);
  tree_.write("src/a.txt", "lower", kT2);
  const std::vector<std::string> args = {"/FROM:" + path("src"), "/TO:" + path("x/d")};
  for (int run = 0; run < 2; ++run) {
    const ToolResult result = run_tool(args);
    EXPECT_EQ(result.status, 2);
    const std::string failed = "Copy:\t" + path("src/a.txt") + "...\tFail.\n";
    EXPECT_NE(result.output.find(failed), std::string::npos) << result.output;
    EXPECT_EQ(read_file(path("x/d/A.TXT")), "upper") << "a twin never replaces the other";
  }
}

TEST_F(ExFat, TheNumberOfWorkersNeverChangesTheOutcome) {
  // A file and a directory that are one name where case is ignored.
  tree_.write("src/A", "file", kT1);
  tree_.write("src/a/x", "below", kT1);
  tree_.write("src/b/y", "below", kT1);
  tree_.write("src/B", "file", kT1);
  ToolResult results[2];
  for (const int workers : {1, 16}) {
    const std::string to = path("x/d" + std::to_string(workers));
    ToolResult& result = results[workers == 1 ? 0 : 1];
    result = run_tool({"/FROM:" + path("src"), "/TO:" + to, "/R", "/THREADS:" + std::to_string(workers)});
    for (std::string* text : {&result.output, &result.errors}) {
      for (size_t at; (at = text->find(to)) != std::string::npos;) text->replace(at, to.size(), "DST");
    }
  }
  EXPECT_EQ(results[1].output, results[0].output);
  EXPECT_EQ(results[1].errors, results[0].errors);
  EXPECT_EQ(results[1].status, results[0].status);
  EXPECT_EQ(snapshot(path("x/d16")), snapshot(path("x/d1")));
}

TEST_F(ExFat, AMirrorOnWholeSecondsSettles) {
  for (int i = 0; i < 20; ++i) tree_.write("src/f" + std::to_string(i), "x", kT1 + i * 12345);
  tree_.write("src/sub/g", "g", kT2);
  const std::vector<std::string> args = {"/FROM:" + path("src"), "/TO:" + path("x/d"), "/R"};
  ASSERT_EQ(run_tool(args).status, 0);
  EXPECT_EQ(run_tool(args).output, "Quenmire. Version 1.02\n") << "the second run copies nothing";
  // A change of a second or more is still seen.
  set_mtime_ns(path("src/f3"), kT1 + 2000000000);
  EXPECT_EQ(run_tool(args).output, "Quenmire. Version 1.02\nCopy:\t" + path("src/f3") + "...\tOk.\n");
}

TEST_F(Faults, NamesOfEveryKindAreMirroredWhole) {
  const std::vector<std::string> names = {
      "new\nline", "tab\there", "100%s%n%%", "back\\slash", "\xff\xfe not utf-8",
      ".leading dot", "-dash", "--R", "/R", std::string(255, 'n'), " space "};
  for (size_t i = 0; i < names.size(); ++i) {
    if (names[i] == "/R") continue;  // no file can have a slash in its name
    tree_.write("src/" + names[i], "content " + std::to_string(i), kT1);
    tree_.write("src/sub/" + names[i], "deeper " + std::to_string(i), kT2);
  }
  ASSERT_EQ(::mkfifo(path("src/fifo").c_str(), 0644), 0);
  ASSERT_EQ(::symlink("self", path("src/self").c_str()), 0);
  ASSERT_EQ(::symlink("..", path("src/sub/up").c_str()), 0);

  ToolResult result = run_tool(mirror());
  EXPECT_EQ(result.status, 0) << result.output;
  auto expected = snapshot(path("src"));
  expected.erase("fifo");  // never opened, never mirrored
  EXPECT_EQ(snapshot(path("dst")), expected);
  result = run_tool(mirror());
  EXPECT_EQ(result.output, "Quenmire. Version 1.02\n") << "a second run finds every pair equal";
}

TEST_F(Faults, ATreeDeeperThanAPathCanNameIsReportedNotTruncated) {
  // Built one level at a time relative to the last, as no whole path reaches it.
  tree_.write("src/top", "t", kT1);
  const std::string level(200, 'd');
  int dir = ::open(path("src").c_str(), O_RDONLY | O_DIRECTORY);
  for (int depth = 0; depth < 24; ++depth) {
    ASSERT_EQ(::mkdirat(dir, level.c_str(), 0755), 0);
    const int next = ::openat(dir, level.c_str(), O_RDONLY | O_DIRECTORY);
    const int file = ::openat(next, "f", O_WRONLY | O_CREAT, 0644);
    ASSERT_EQ(::write(file, "x", 1), 1);
    ::close(file);
    ::close(dir);
    dir = next;
  }
  ::close(dir);

  const ToolResult result = run_tool(mirror());
  EXPECT_EQ(result.status, 2) << "what cannot be mirrored counts as a failure";
  EXPECT_NE(result.output.find("...\tFail.\n"), std::string::npos);
  EXPECT_EQ(read_file(path("dst/top")), "t");
  EXPECT_EQ(read_file(path("dst/" + level + "/f")), "x");
  // Every path printed is whole: a shortened one would name another file.
  for (size_t at = result.output.find(level); at != std::string::npos;
       at = result.output.find(level, at + level.size())) {
    EXPECT_TRUE(result.output[at - 1] == '/' &&
                (result.output[at + level.size()] == '/' ||
                 result.output.compare(at + level.size(), 3, "...") == 0));
  }
}

}  // namespace
}  // namespace qmr::test
