// The real qmr binary while other things happen at once: closed descriptors,
// signals at any moment, a reader that goes away, roots and directories
// swapped for links mid-run. Each race is provoked many times; a mirror must
// stay exact, nothing beside it may change, and no temporary may be left.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
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

size_t temporaries_below(const std::string& root) {
  size_t found = 0;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    found += entry.path().filename().string().rfind(".qmr-", 0) == 0;
  }
  return found;
}

// Starts qmr on `args` after `in_child` has arranged the child's descriptors
// and limits; returns its process.
pid_t spawn(const std::vector<std::string>& args, const std::function<void()>& in_child) {
  const char* chosen = std::getenv("QMR_E2E_BINARY");
  const char* binary = chosen != nullptr && *chosen != '\0' ? chosen : QMR_BINARY;
  const pid_t child = ::fork();
  if (child == 0) {
    in_child();
    std::vector<char*> argv{const_cast<char*>(binary)};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(binary, argv.data());
    _exit(127);
  }
  return child;
}

int wait_for(pid_t child) {
  int status = 0;
  ::waitpid(child, &status, 0);
  return status;
}

void redirect(int fd, const std::string& file) {
  const int opened = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ::dup2(opened, fd);
  ::close(opened);
}


class Races : public ::testing::Test {
 protected:
  void SetUp() override {
    if (windows_tool()) GTEST_SKIP() << "signals and descriptors are the POSIX build's";
  }
  std::string path(const std::string& relative) const { return tree_.path(relative); }
  std::vector<std::string> mirror() const { return {"/FROM:" + path("src"), "/TO:" + path("dst"), "/R"}; }
  // `dirs` directories of `files` small files each below src/.
  void fill_source(int dirs, int files, size_t size) {
    for (int d = 0; d < dirs; ++d) {
      for (int f = 0; f < files; ++f) {
        tree_.write("src/d" + std::to_string(d) + "/f" + std::to_string(f),
                    std::string(size, static_cast<char>('a' + (d + f) % 26)), kT1);
      }
    }
  }
  TempTree tree_;
};

TEST_F(Races, ClosedOutputOrErrorNeverLandsInACopy) {
  fill_source(8, 150, 2048);
  for (int round = 0; round < 6; ++round) {
    fs::remove_all(path("dst"));
    const int status = wait_for(spawn(mirror(), [&] {
      ::close(1);
      if (round % 2 == 1) ::close(2);
      if (round == 4) ::close(0);
    }));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "round " << round;
    EXPECT_EQ(snapshot(path("dst")), snapshot(path("src"))) << "round " << round;
  }
}

// Every file in the mirror is named in the log and is whole; every
// directory has the source's mode; no temporary is left.
void expect_clean_stop(const std::string& src, const std::string& dst, const std::string& log,
                       const std::string& context) {
  EXPECT_EQ(temporaries_below(dst), 0u) << context;
  const std::string logged = read_file(log);
  for (const auto& entry : fs::recursive_directory_iterator(dst)) {
    const std::string relative = entry.path().string().substr(dst.size());
    if (entry.is_directory()) {
      EXPECT_EQ(mode_of(entry.path()) & 07777, 0755u) << relative << " " << context;
      continue;
    }
    EXPECT_NE(logged.find("Copy:\t" + src + relative + "...\tOk.\n"), std::string::npos)
        << relative << " has no line, " << context;
    EXPECT_EQ(read_file(entry.path()), read_file(src + relative)) << context;
  }
}

TEST_F(Races, AnInterruptAtAnyMomentStopsCleanly) {
  fill_source(20, 100, 512);
  // From the scan's first listing to the last copies, at each kind of point.
  const std::vector<std::pair<int, const char*>> moments = {
      {SIGINT, "list:1"},   {SIGTERM, "list:12"},  {SIGHUP, "stage:1"},
      {SIGINT, "stage:700"}, {SIGTERM, "chunk:300"}, {SIGHUP, "commit:1"},
      {SIGINT, "commit:1500"}, {SIGTERM, "stage:1999"}, {SIGHUP, "commit:2000"}};
  for (const auto& [signal_number, point] : moments) {
    fs::remove_all(path("dst"));
    PausedRun run(mirror(), point, [&] { redirect(1, path("log")); });
    const std::string context = "signal " + std::to_string(signal_number) + " at " + point;
    ASSERT_TRUE(run.paused()) << context << ": " << run.errors();
    run.signal(signal_number);
    const int status = run.finish_interrupted();
    ASSERT_TRUE(WIFSIGNALED(status)) << context << ", status " << status;
    EXPECT_EQ(WTERMSIG(status), signal_number) << context;
    if (fs::exists(path("dst"))) expect_clean_stop(path("src"), path("dst"), path("log"), context);
  }
}

// An ordinary user's mirror of a read-only directory, stopped with a few
// copies left: the directory stays open to its owner, so that the next run
// completes it, and that run closes it again.
TEST_F(Races, AStopKeepsAnUnfinishedReadOnlyDirectoryWritable) {
  if (::geteuid() != 0) GTEST_SKIP() << "the check needs root to drop to an unprivileged user";
  constexpr uid_t kNobody = 65534;
  for (int f = 0; f < 20; ++f) tree_.write("src/ro/f" + std::to_string(f), "x", kT1);
  ::chmod(tree_.root().c_str(), 0777);
  for (const auto& entry : fs::recursive_directory_iterator(path("src"))) ::lchown(entry.path().c_str(), kNobody, kNobody);
  ::chown(path("src").c_str(), kNobody, kNobody);
  ::chmod(path("src/ro").c_str(), 0555);
  const auto as_nobody = [&] {
    redirect(1, "/dev/null");
    if (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) _exit(126);
  };
  PausedRun run(mirror(), "stage:5", as_nobody);
  ASSERT_TRUE(run.paused()) << run.errors();
  run.signal(SIGINT);
  ASSERT_TRUE(WIFSIGNALED(run.finish_interrupted()));
  ASSERT_TRUE(fs::exists(path("dst/ro")));
  EXPECT_EQ(mode_of(path("dst/ro")) & 07777, 0755u) << "its source's mode and the owner's write and search bits";
  PausedRun again(mirror(), "", as_nobody);
  EXPECT_EQ(WEXITSTATUS(again.finish()), 0) << again.errors();
  EXPECT_EQ(snapshot(path("dst")), snapshot(path("src")));
}

TEST_F(Races, AReaderThatGoesAwayStopsTheRunCleanly) {
  fill_source(20, 60, 512);
  for (const char* point : {"stage:2", "commit:300", "stage:1100"}) {
    fs::remove_all(path("dst"));
    int pipe_fds[2];
    ASSERT_EQ(::pipe(pipe_fds), 0);
    PausedRun run(mirror(), point, [&] {
      ::dup2(pipe_fds[1], 1);
      ::close(pipe_fds[0]);
      ::close(pipe_fds[1]);
    });
    ::close(pipe_fds[1]);
    // The reader goes away, as `| head -1` does, while the run still has
    // lines to write.
    ASSERT_TRUE(run.paused()) << point << ": " << run.errors();
    ::close(pipe_fds[0]);
    const int status = run.finish();
    ASSERT_TRUE(WIFSIGNALED(status)) << point << ", status " << status;
    EXPECT_EQ(WTERMSIG(status), SIGPIPE);
    EXPECT_EQ(temporaries_below(path("dst")), 0u) << point;
    for (const auto& entry : fs::recursive_directory_iterator(path("dst"))) {
      if (entry.is_directory()) {
        EXPECT_EQ(mode_of(entry.path()) & 07777, 0755u) << entry.path();
      }
    }
  }
}

TEST_F(Races, ASizeLimitIsAFailedCopyWithItsReason) {
  tree_.write("src/big", std::string(1 << 20, 'b'), kT1);
  tree_.write("src/small", "s", kT1);
  const pid_t child = spawn(mirror(), [&] {
    redirect(1, path("log"));
    redirect(2, path("errors"));
    const struct rlimit limit{64 << 10, 64 << 10};
    ::setrlimit(RLIMIT_FSIZE, &limit);
  });
  const int status = wait_for(child);
  ASSERT_TRUE(WIFEXITED(status)) << "killed by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 2);
  EXPECT_EQ(read_file(path("log")), "Quenmire. Version 1.02\nCopy:\t" + path("src/big") +
                                        "...\tFail.\nCopy:\t" + path("src/small") + "...\tOk.\n");
  EXPECT_EQ(read_file(path("errors")),
            "qmr: cannot copy " + path("src/big") + ": " + path("dst/big") + ": File too large\n");
  EXPECT_EQ(temporaries_below(path("dst")), 0u);
}

TEST_F(Races, OutputThatCannotBeWrittenIsAFailure) {
  tree_.write("src/a", "a", kT1);
  const int status = wait_for(spawn(mirror(), [&] {
    const int full = ::open("/dev/full", O_WRONLY);
    if (full < 0) _exit(99);
    ::dup2(full, 1);
    redirect(2, path("errors"));
  }));
  if (WEXITSTATUS(status) == 99) GTEST_SKIP() << "no /dev/full here";
  EXPECT_EQ(WEXITSTATUS(status), 2);
  EXPECT_EQ(read_file(path("errors")), "qmr: cannot write the output: No space left on device\n");
  EXPECT_EQ(read_file(path("dst/a")), "a") << "the mirror itself is made";
}

TEST_F(Races, TheDestinationRootSwappedForALinkNeverRedirectsTheRun) {
  // A large mirror already in place: the scans take a while, and the only
  // change is a stale file that a redirected run would look for elsewhere.
  for (int f = 0; f < 8000; ++f) tree_.write("src/big/f" + std::to_string(f), "", kT1);
  ASSERT_EQ(run_tool(mirror()).status, 0);
  tree_.write("victim/zz/important.txt", "keep", kT1);
  const auto victim = snapshot(path("victim"));
  // Swapped after the roots are opened, in the scan, before the probe, and
  // before the deletion.
  for (const char* point : {"list:1", "list:2", "list:3", "probe:1", "remove:1"}) {
    tree_.write("dst/zz/important.txt", "stale", kT1);
    PausedRun run(mirror(), point, [&] { redirect(1, "/dev/null"); });
    ASSERT_TRUE(run.paused()) << point << ": " << run.errors();
    fs::rename(path("dst"), path("dst.old"));
    fs::create_directory_symlink(path("victim"), path("dst"));
    run.finish();
    EXPECT_EQ(snapshot(path("victim")), victim) << "swapped at " << point;
    fs::remove(path("dst"));
    fs::rename(path("dst.old"), path("dst"));
  }
}

TEST_F(Races, ASourceDirectorySwappedForALinkIsNeverFollowed) {
  tree_.write("src/a-big", std::string(size_t{9} << 20, 'x'), kT1);
  tree_.write("outside/x", "secret", kT1);
  tree_.write("outside/only-outside", "secret", kT1);
  ::chmod(path("outside/x").c_str(), 0600);
  const std::vector<std::string> args = {"/FROM:" + path("src"), "/TO:" + path("dst"), "/R",
                                         "/THREADS:1"};
  // Before either root's listing, before the copy of the large file and
  // during it, and before each copy is put in place.
  for (const char* point : {"list:1", "list:2", "list:3", "stage:1", "chunk:1", "stage:2", "commit:2"}) {
    fs::remove_all(path("dst"));
    fs::remove(path("src/sub"));
    fs::remove_all(path("src/sub.real"));
    tree_.write("src/sub/x", "public", kT1);
    PausedRun run(args, point, [&] { redirect(1, "/dev/null"); });
    const std::string context = std::string("swapped at ") + point;
    ASSERT_TRUE(run.paused()) << context << ": " << run.errors();
    fs::rename(path("src/sub"), path("src/sub.real"));
    fs::create_directory_symlink(path("outside"), path("src/sub"));
    run.finish();
    // Swapped before the scan came to it, it is a link, mirrored as one.
    if (fs::is_symlink(path("dst/sub"))) continue;
    EXPECT_FALSE(fs::exists(path("dst/sub/only-outside"))) << context;
    if (fs::exists(path("dst/sub/x"))) {
      EXPECT_EQ(read_file(path("dst/sub/x")), "public") << context;
    }
  }
}

TEST_F(Races, OnATerminalANameCannotDriveTheTerminal) {
  tree_.write("src/a\033[2Jb\nc\x9b" "d", "x", kT1);
  const ToolResult result = run_tool(mirror(), {.terminal = true});
  EXPECT_EQ(result.status, 0);
  EXPECT_NE(result.output.find(path("src/a?[2Jb?c?d") + "...\tOk."), std::string::npos)
      << result.output;
  EXPECT_EQ(result.output.find("\033[2J"), std::string::npos);
}

// Runs `command` through the shell; true when it succeeded.
bool shell(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

TEST_F(Races, APassThroughViewOfTheSourceIsRefused) {
  tree_.write("src/a.txt", "a", kT1);
  tree_.write("src/b.doc", "b", kT1);
  tree_.mkdir("view");
  if (!shell("bindfs '" + path("src") + "' '" + path("view") + "'")) {
    GTEST_SKIP() << "no bindfs through FUSE here (package bindfs)";
  }
  const ToolResult result = run_tool({"/FROM:" + path("src"), "/TO:" + path("view"), "/FILES:*.txt"});
  shell("umount '" + path("view") + "'");
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.output, "Quenmire. Version 1.02\nSOURCE and DESTINATION are the same directory...\n");
  EXPECT_EQ(read_file(path("src/b.doc")), "b");
}

TEST_F(Races, AnAppendOnlyDestinationIsNeverLeftATemporary) {
  tree_.write("src/a", std::string(100000, 'a'), kT1);
  tree_.write("dst/a", "old");
  if (!shell("chattr +a '" + path("dst") + "'")) {
    GTEST_SKIP() << "no append-only directories here (needs root and ext4 or the like)";
  }
  struct Unmark {
    std::string at;
    ~Unmark() { shell("chattr -a '" + at + "'"); }
  } unmark{path("dst")};
  for (int run = 0; run < 3; ++run) {
    const ToolResult result = run_tool(mirror());
    EXPECT_EQ(result.status, 2);
    EXPECT_NE(result.errors.find("append-only"), std::string::npos) << result.errors;
  }
  EXPECT_EQ(temporaries_below(path("dst")), 0u);
  EXPECT_EQ(read_file(path("dst/a")), "old");
}

}  // namespace
}  // namespace qmr::test
