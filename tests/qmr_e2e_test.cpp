// The real qmr binary on real temporary trees: output bytes, exit statuses and
// the trees it leaves behind.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/run_tool.h"
#include "support/temp_tree.h"

namespace qmr::test {
namespace {

namespace fs = std::filesystem;
using Args = std::vector<std::string>;

const std::string kBanner = "Quenmire. Version 1.02\n";
const std::string kHelp =
    "Use:\n\tQMR /FROM:<directory> /TO:<directory> [parameters]\nParameters:\n"
    "\t/FILES:<file or wildcards> Include files, multiple strings are allowed\n"
    "\t/EX:<file or wildcards>\tExclude files, multiple strings are allowed\n"
    "\t/UPDATE\t\t\tCopies new files, deletes non-existent files\n"
    "\t/COPYONLY\t\tCopies new files only\n"
    "\t/DELONLY\t\tDeletes non-existent files only\n"
    "\t/COPYALL\t\tCopies all files, deletes non-existent files\n"
    "\t/R\t\t\tRecurse subdirectories\n"
    "\t/QUIET\t\t\tQuiet mode\n"
    "\t/H or /?\t\tThis help\n"
    // The further options, one line each, and the exit statuses.
    "\t/LISTONLY\t\tList what would be done, change nothing\n"
    "\t/THREADS:<n>\t\tCopy and delete with n workers (1 to 64)\n"
    "\t/EXDIR:<wildcards>\tExclude directories, multiple strings are allowed\n"
    "\t/STATS\t\t\tEnd with a summary line\n"
    "\t--version\t\tPrint the version\n"
    "Exit status: 0 done, 1 refused (nothing changed), 2 some action or scan failed, "
    "128+n stopped by signal n (130: Ctrl+C)\n";

// File times; Windows keeps them in units of 100 ns.
const std::int64_t kT1 = windows_tool() ? 1600000000100000000 : 1600000000100000001;
const std::int64_t kT2 = windows_tool() ? 1600000000200000000 : 1600000000200000002;

// A tree's files with their content and times, and modes where the tool keeps them.
std::map<std::string, std::string> tree_state(const std::string& root) {
  return snapshot(root, !windows_tool());
}

// A source and a destination tree side by side, named as the tool sees them.
class Mirror : public ::testing::Test {
 protected:
  void SetUp() override {
    // Wine takes names from the host in the locale's charset; a locale the
    // host lacks would garble them, which says nothing of qmr.
    const char* locale = std::getenv("QMR_E2E_LOCALE");
    if (locale != nullptr && std::setlocale(LC_ALL, locale) == nullptr) {
      GTEST_SKIP() << "the locale " << locale << " is not installed on this host";
    }
    std::setlocale(LC_ALL, "C");
  }

  std::string src(const std::string& relative = "") const { return at("src", relative); }
  std::string dst(const std::string& relative = "") const { return at("dst", relative); }
  std::string host(const std::string& relative) const { return tree_.path(relative); }

  // A progress line for the tool's spelling of a host path below the tree.
  std::string line(const std::string& word, const std::string& relative, bool ok = true) const {
    return word + ":\t" + tool_path(tree_.path(relative)) + "...\t" + (ok ? "Ok.\n" : "Fail.\n");
  }

  ToolResult qmr(Args args, RunSettings settings = {}) const {
    return run_tool(args, settings);
  }

  Args mirror_args(const std::vector<std::string>& options = {"/R"}) const {
    Args args = {"/FROM:" + src(), "/TO:" + dst()};
    args.insert(args.end(), options.begin(), options.end());
    return args;
  }

  TempTree tree_;

 private:
  std::string at(const std::string& top, const std::string& relative) const {
    return tool_path(tree_.path(relative.empty() ? top : top + "/" + relative));
  }
};

TEST_F(Mirror, HelpIsPrintedWholeAndEndsTheRun) {
  const Args cases[] = {{},         {"/H"},           {"/?"},           {"-h"},
                        {"-?"},     {"/QUIET", "/H"}, {"/H", "/QUIET"}, {"/FROM:" + src(), "/TO:" + dst(), "/?", "/R"}};
  for (const Args& args : cases) {
    const ToolResult result = qmr(args);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.output, kBanner + kHelp);
  }
  EXPECT_FALSE(fs::exists(host("dst"))) << "a help request does no work";
}

TEST_F(Mirror, ARunWithoutBothRootsIsRefused) {
  const Args cases[] = {{"/TO:" + dst()}, {"/FROM:", "/TO:" + dst()}, {"/FROM:" + src()},
                        {src(), "/TO:" + dst()}, {"/FROM:" + src(), "/TO:"}};
  for (const Args& args : cases) {
    ToolResult result = qmr(args);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.output, kBanner + "Unknown SOURCE or DESTINATION directory...\n");
    Args quiet = args;
    quiet.push_back("/QUIET");
    result = qmr(quiet);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.output, "");
  }
  EXPECT_FALSE(fs::exists(host("dst")));
}

TEST_F(Mirror, MirrorsATreeExactlyAndASecondRunDoesNothing) {
  tree_.write("src/b.txt", "bee", kT1);
  tree_.write("src/A file 100%s.txt", "percent", kT2);
  tree_.write("src/.hidden", "h", kT1);
  tree_.write("src/sub/deeper/x.bin", std::string(100000, 'x'), kT2);
  tree_.write("src/ro", "read-only", kT1);
  ::chmod(host("src/ro").c_str(), 0440);
  ::chmod(host("src/b.txt").c_str(), 0751);
  Args args = {"/FROM:" + src(), "/TO:" + dst("new/nested"), "/R"};
  ToolResult result = qmr(args);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.output,
            (kBanner + line("Copy", "src/.hidden") + line("Copy", "src/A file 100%s.txt") +
                       line("Copy", "src/b.txt") + line("Copy", "src/ro") +
                       line("Copy", "src/sub/deeper/x.bin")));
  EXPECT_EQ(tree_state(host("src")), tree_state(host("dst/new/nested")));

  result = qmr(args);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.output, kBanner);
  EXPECT_EQ(tree_state(host("src")), tree_state(host("dst/new/nested")));
}

TEST_F(Mirror, EachModeFollowsTheDecisionTable) {
  struct Row {
    const char* mode;
    std::vector<std::string> lines;  // relative to the tree: "D:" delete, "C:" copy
    std::map<std::string, std::string> dst_after;
  };
  const Row rows[] = {
      {"/UPDATE", {"D:dst/orphan", "C:src/diff", "C:src/new"},
       {{"diff", "src-diff"}, {"new", "src-new"}, {"same", "same"}}},
      {"/COPYALL", {"D:dst/orphan", "C:src/diff", "C:src/new", "C:src/same"},
       {{"diff", "src-diff"}, {"new", "src-new"}, {"same", "same"}}},
      {"/COPYONLY", {"C:src/diff", "C:src/new"},
       {{"diff", "src-diff"}, {"new", "src-new"}, {"orphan", "orphan"}, {"same", "same"}}},
      {"/DELONLY", {"D:dst/orphan"}, {{"diff", "dst-diff"}, {"same", "same"}}},
  };
  for (const Row& row : rows) {
    fs::remove_all(host("src"));
    fs::remove_all(host("dst"));
    tree_.write("src/new", "src-new", kT1);
    tree_.write("src/same", "same", kT1);
    tree_.write("src/diff", "src-diff", kT1);
    tree_.write("dst/same", "same", kT1);
    tree_.write("dst/diff", "dst-diff", kT2);  // newer, and replaced all the same
    tree_.write("dst/orphan", "orphan", kT1);
    const ToolResult result = qmr(mirror_args({row.mode}));
    std::string expected = kBanner;
    for (const std::string& l : row.lines) {
      expected += line(l[0] == 'D' ? "Delete" : "Copy", l.substr(2));
    }
    EXPECT_EQ(result.status, 0) << row.mode;
    EXPECT_EQ(result.output, expected) << row.mode;
    std::map<std::string, std::string> after;
    for (const auto& entry : fs::directory_iterator(host("dst"))) {
      after[entry.path().filename().string()] = read_file(entry.path().string());
    }
    EXPECT_EQ(after, row.dst_after) << row.mode;
  }
}

TEST_F(Mirror, PairsIgnoringCaseAndKeepsNamesThatDifferOnlyInCase) {
  tree_.write("src/Sub/a.txt", "same", kT1);
  tree_.write("dst/SUB/A.TXT", "same", kT1);
  EXPECT_EQ(qmr(mirror_args()).output, kBanner);
  EXPECT_EQ(read_file(host("dst/SUB/A.TXT")), "same");

  if (windows_tool()) return;  // one file there, whatever the case
  tree_.write("src/Sub/A.txt", "other", kT2);
  const Args args = {"/FROM:" + src("Sub"), "/TO:" + dst("two")};
  ToolResult result = qmr(args);
  EXPECT_EQ(result.output, kBanner + line("Copy", "src/Sub/A.txt") + line("Copy", "src/Sub/a.txt"));
  EXPECT_EQ(read_file(host("dst/two/A.txt")), "other");
  EXPECT_EQ(read_file(host("dst/two/a.txt")), "same");
  result = qmr(args);
  EXPECT_EQ(result.output, kBanner) << "each spelling pairs with its own copy";
}

TEST_F(Mirror, AnEmptiedDirectoryGoesButNotOneWithAnEmptySubdirectory) {
  tree_.write("src/keep.txt", "k", kT1);
  tree_.write("dst/keep.txt", "k", kT1);
  tree_.write("dst/old/x.txt", "x", kT1);
  tree_.write("dst/held/y.txt", "y", kT1);
  tree_.mkdir("dst/held/empty");
  const ToolResult result = qmr(mirror_args());
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.output,
            (kBanner + line("Delete", "dst/held/y.txt") + line("Delete", "dst/old/x.txt")));
  EXPECT_FALSE(fs::exists(host("dst/old")));
  EXPECT_TRUE(fs::exists(host("dst/held/empty")));
}

TEST_F(Mirror, WithoutRecursionSubdirectoriesAreLeftAlone) {
  tree_.write("src/top", "t", kT1);
  tree_.write("src/sub/s", "s", kT1);
  tree_.write("dst/sub/orphan", "o", kT1);
  const ToolResult result = qmr(mirror_args({}));
  EXPECT_EQ(result.output, kBanner + line("Copy", "src/top"));
  EXPECT_TRUE(fs::exists(host("dst/sub/orphan")));
  EXPECT_FALSE(fs::exists(host("dst/sub/s")));
}

TEST_F(Mirror, FilesThePatternsDoNotSelectAreDeletedFromTheDestination) {
  tree_.write("src/a.txt", "a", kT1);
  tree_.write("src/b.doc", "b", kT1);
  tree_.write("src/c.txt", "c", kT1);
  tree_.write("dst/b.doc", "b", kT1);
  const ToolResult result = qmr(mirror_args({"/FILES:*.txt", "/EX:c*.*"}));
  EXPECT_EQ(result.output,
            (kBanner + line("Delete", "dst/b.doc") + line("Copy", "src/a.txt")));
  EXPECT_EQ(snapshot(host("dst")).size(), 1u);
}

TEST_F(Mirror, ReadOnlyAndHiddenDestinationFilesAreReplacedAndDeleted) {
  // Names that begin with a dot are hidden files to Windows programs.
  for (const std::string name : {"f", ".f"}) {
    tree_.write("src/" + name, "new", kT1);
    tree_.write("dst/" + name, "old", kT2);
    tree_.write("dst/gone" + name, "g", kT2);
    ::chmod(host("dst/" + name).c_str(), 0444);
    ::chmod(host("dst/gone" + name).c_str(), 0444);
  }
  const ToolResult result = qmr(mirror_args());
  EXPECT_EQ(result.status, 0);
  for (const std::string name : {"f", ".f"}) {
    EXPECT_EQ(read_file(host("dst/" + name)), "new");
    EXPECT_FALSE(fs::exists(host("dst/gone" + name)));
  }
}

TEST_F(Mirror, WindowsClosesASlashWithABackslash) {
  if (!windows_tool()) GTEST_SKIP() << "drive paths are Windows'";
  tree_.write("src/new.txt", "e", kT1);
  tree_.write("dst/old", "o", kT1);
  const std::string dst_slash = tool_path(host("dst")) + "/";
  const ToolResult result = qmr({"/FROM:" + src(), "/TO:" + dst_slash});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.output, kBanner + "Delete:\t" + dst_slash + "\\old...\tOk.\n" + "Copy:\t" +
                               src() + "\\new.txt...\tOk.\n");
  EXPECT_EQ(read_file(host("dst/new.txt")), "e");
}

// Names that an 8-bit code page cannot hold, or holds as a path separator.
const std::string kFullwidthBackslash = "\xef\xbc\xbc";  // U+FF3C, a name character

TEST_F(Mirror, WindowsMirrorsEveryNameExactlyAndNeverLeavesTheRoots) {
  if (!windows_tool()) GTEST_SKIP() << "code pages are Windows'";
  const std::vector<std::string> names = {
      "a.txt", "\xce\xb1.txt", "cafe.txt", "caf\xc3\xa9.txt", "\xf0\x9f\x98\x80.txt",
      "\xe6\x97\xa5\xe6\x9c\xac.txt", "\xc2\xa5.txt", ".." + kFullwidthBackslash + "secret.txt"};
  for (size_t i = 0; i < names.size(); ++i) {
    tree_.write("src/" + names[i], "content " + std::to_string(i), kT1);
    tree_.write("src/\xce\xb4ir/" + names[i], "deeper " + std::to_string(i), kT2);
  }
  // What the names would reach if a code page turned U+FF3C into a backslash.
  tree_.write("secret.txt", "outside the source", kT1);
  tree_.write("data/keep.txt", "beside the mirror", kT1);
  tree_.write("victim.txt", "beside the mirror", kT1);
  tree_.write("dst/.." + kFullwidthBackslash + "data/keep.txt", "in the mirror", kT1);
  tree_.write("dst/.." + kFullwidthBackslash + "victim.txt", "in the mirror", kT1);
  tree_.write("dst/\xce\xb1-stale.txt", "stale", kT1);

  ToolResult result = qmr(mirror_args());
  EXPECT_EQ(result.status, 0) << result.output << result.errors;
  EXPECT_EQ(tree_state(host("dst")), tree_state(host("src")));
  EXPECT_EQ(read_file(host("data/keep.txt")), "beside the mirror");
  EXPECT_EQ(read_file(host("victim.txt")), "beside the mirror");
  EXPECT_EQ(read_file(host("secret.txt")), "outside the source");
  EXPECT_FALSE(fs::exists(host("dst/secret.txt")));
  // Nothing is mistaken for another name: the next run has nothing to do.
  result = qmr(mirror_args());
  EXPECT_EQ(result.output, kBanner);
  EXPECT_EQ(result.status, 0);
}

TEST_F(Mirror, WindowsTakesAListedNameAsOneNameNeverAsAPath) {
  if (!windows_tool()) GTEST_SKIP() << "Linux names with backslashes are seen through Wine";
  // Linux names that a Windows path would read as "..", a root or a directory.
  tree_.write("victim.txt", "beside the mirror", kT1);
  tree_.write("src/in/x.txt", "x", kT1);
  tree_.write("src/in/sub/y.txt", "y", kT1);
  tree_.write("src/data.txt", "beside the source", kT1);
  tree_.write("src/in/..\\data.txt", "junk", kT1);
  tree_.write("dst/out/x.txt", "x", kT1);
  tree_.write("dst/out/sub/y.txt", "y", kT1);
  tree_.write("dst/out/..\\victim.txt", "junk", kT1);
  tree_.write("dst/out/\\x.txt", "junk", kT1);
  tree_.write("dst/out/sub\\y.txt", "junk", kT1);
  for (const char* recurse : {"/R", "/UPDATE"}) {
    const ToolResult result = qmr({"/FROM:" + tool_path(host("src/in")), "/TO:" + tool_path(host("dst/out")), recurse});
    EXPECT_EQ(result.status, 2) << recurse;
    EXPECT_NE(result.output.find("Scan:\t" + tool_path(host("dst/out")) + "...\tFail."), std::string::npos)
        << result.output;
    EXPECT_NE(result.output.find("data.txt...\tFail."), std::string::npos) << result.output;
    EXPECT_EQ(read_file(host("victim.txt")), "beside the mirror");
    EXPECT_EQ(read_file(host("dst/out/x.txt")), "x");
    EXPECT_EQ(read_file(host("dst/out/sub/y.txt")), "y");
    EXPECT_FALSE(fs::exists(host("dst/data.txt"))) << "written beside the destination root";
  }
}

TEST_F(Mirror, WindowsDeletesALinkNeverWhatItLeadsTo) {
  if (!windows_tool()) GTEST_SKIP() << "Linux links are seen through Wine";
  tree_.write("src/keep.txt", "k", kT1);
  tree_.write("src/p.txt", "precious", kT1);
  tree_.write("elsewhere.txt", "elsewhere", kT1);
  ::chmod(host("elsewhere.txt").c_str(), 0444);
  tree_.mkdir("dst");
  fs::create_symlink(host("src/p.txt"), host("dst/into-source.txt"));
  fs::create_symlink(host("elsewhere.txt"), host("dst/elsewhere.txt"));
  fs::create_symlink(host("elsewhere.txt"), host("dst/p.txt"));  // replaced by the copy
  const ToolResult result = qmr(mirror_args());
  EXPECT_EQ(result.status, 0) << result.output << result.errors;
  EXPECT_EQ(read_file(host("src/p.txt")), "precious");
  EXPECT_EQ(read_file(host("elsewhere.txt")), "elsewhere");
  EXPECT_EQ(mode_of(host("elsewhere.txt")) & 0777, 0444u) << "its marks are untouched";
  EXPECT_FALSE(fs::exists(fs::symlink_status(host("dst/into-source.txt"))));
  EXPECT_FALSE(fs::is_symlink(host("dst/p.txt")));
  EXPECT_EQ(read_file(host("dst/p.txt")), "precious");
}

TEST_F(Mirror, WindowsNeverReachesThroughADirectoryLinkInTheDestination) {
  if (!windows_tool()) GTEST_SKIP() << "Linux directory links are seen through Wine";
  tree_.write("src/sub/f.txt", "f", kT1);
  tree_.write("src/hollow/g.txt", "g", kT1);
  tree_.write("outside/keep", "k", kT1);
  tree_.mkdir("empty");
  tree_.mkdir("dst");
  fs::create_directory_symlink(host("outside"), host("dst/sub"));
  fs::create_directory_symlink(host("empty"), host("dst/hollow"));
  for (int run = 0; run < 2; ++run) {
    // Wine has no call that removes a directory link without reaching what
    // it leads to: the links stay, and the copies below them fail.
    const ToolResult result = qmr(mirror_args());
    EXPECT_EQ(result.status, 2) << result.output << result.errors;
    EXPECT_NE(result.output.find(line("Delete", "dst/hollow", false)), std::string::npos) << result.output;
    EXPECT_NE(result.output.find(line("Copy", "src/sub/f.txt", false)), std::string::npos) << result.output;
    EXPECT_EQ(read_file(host("outside/keep")), "k");
    EXPECT_TRUE(fs::is_directory(host("empty")));
    EXPECT_TRUE(fs::is_empty(host("empty")));
  }
}

TEST_F(Mirror, WindowsNeverRenamesANameWineCouldNotDecode) {
  if (!windows_tool()) GTEST_SKIP() << "undecodable Linux names are seen through Wine";
  tree_.write("src/\xff.txt", "ff", kT1);
  tree_.write("src/\xfe.txt", "fe", kT1);
  tree_.write("src/caf\xe9.txt", "latin-1", kT1);
  tree_.write("src/plain.txt", "plain", kT1);
  tree_.write("dst/\xc3.txt", "kept", kT1);
  for (int run = 0; run < 2; ++run) {
    const ToolResult result = qmr(mirror_args());
    EXPECT_EQ(result.status, 2) << result.output << result.errors;
    EXPECT_EQ(read_file(host("dst/plain.txt")), "plain");
    EXPECT_EQ(read_file(host("dst/\xc3.txt")), "kept") << "its directory's mirror is kept";
    EXPECT_EQ(std::distance(fs::directory_iterator(host("dst")), fs::directory_iterator()), 2)
        << "a name Wine could not read lands under no other name";
  }
}

TEST_F(Mirror, WindowsCtrlCStopsAHugeCopyWithStatus130AndNoTemporary) {
  const char* wrapper = std::getenv("QMR_E2E_WRAPPER");
  const char* binary = std::getenv("QMR_E2E_BINARY");
  if (!windows_tool() || wrapper == nullptr || binary == nullptr) {
    GTEST_SKIP() << "Wine turns SIGINT into the console's Ctrl+C";
  }
  tree_.write("src/huge", std::string(size_t{24} << 20, 'h'), kT2);
  tree_.write("dst/huge", "old", kT1);
  // Stopped once the copy has written its first chunk.
  PausedRun run(mirror_args(), "chunk:1", [&] {
    const int out = ::open(host("log").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(out, 1);
    ::close(out);
  });
  ASSERT_TRUE(run.paused()) << run.errors();
  run.signal(SIGINT);
  const int status = run.finish_interrupted();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 130) << status << read_file(host("log")) << run.errors();
  EXPECT_EQ(std::distance(fs::directory_iterator(host("dst")), fs::directory_iterator()), 1)
      << "no temporary is left";
  EXPECT_EQ(fs::file_size(host("dst/huge")), 3u) << "the old file stays";
}

TEST_F(Mirror, WindowsDeletionIsOkOnlyWhenTheFileIsGone) {
  if (!windows_tool()) GTEST_SKIP() << "this checks Wine's delete-on-close";
  tree_.write("src/keep.txt", "k", kT1);
  tree_.write("dst/stuck.txt", "s", kT1);
  if (std::system(("chattr +i '" + host("dst/stuck.txt") + "' 2>/dev/null").c_str()) != 0) {
    GTEST_SKIP() << "no immutable files here (needs root and ext4 or the like)";
  }
  const ToolResult result = qmr(mirror_args());
  std::system(("chattr -i '" + host("dst/stuck.txt") + "'").c_str());
  EXPECT_EQ(result.status, 2);
  EXPECT_NE(result.output.find("stuck.txt...\tFail."), std::string::npos) << result.output;
}

TEST_F(Mirror, WindowsRootsAreReadAsWindowsReadsThemAndIdentityOfZeroIsNotTrusted) {
  if (!windows_tool()) GTEST_SKIP() << "Win32 path rules are Windows'";
  tree_.write("src/a", "a", kT1);
  tree_.mkdir("d");
  const ToolResult trimmed = qmr({"/FROM:" + src(), "/TO:" + tool_path(host("d")) + ". "});
  EXPECT_EQ(trimmed.status, 0) << trimmed.output;
  EXPECT_EQ(read_file(host("d/a")), "a") << "\"d. \" means d";
  EXPECT_EQ(std::distance(fs::directory_iterator(tree_.root()), fs::directory_iterator()), 2);
  // Two file systems that give every directory the same empty identity.
  tree_.mkdir("one");
  tree_.mkdir("two");
  if (std::system(("mount -t tmpfs q1 '" + host("one") + "' 2>/dev/null && mount -t tmpfs q2 '" +
                   host("two") + "'").c_str()) != 0) {
    GTEST_SKIP() << "cannot mount tmpfs here (needs root)";
  }
  tree_.write("one/f", "f", kT1);
  const ToolResult two = qmr({"/FROM:" + tool_path(host("one")), "/TO:" + tool_path(host("two")), "/R"});
  const ToolResult same = qmr({"/FROM:" + tool_path(host("one")), "/TO:" + tool_path(host("one")) + "\\.", "/R"});
  std::system(("umount '" + host("one") + "' '" + host("two") + "'").c_str());
  EXPECT_EQ(two.status, 0) << two.output;
  EXPECT_EQ(same.status, 1) << same.output;
}

// A spare drive letter mapped onto a subdirectory, as Wine's "add drive"
// makes one: the same directories under two spellings, and under another
// volume serial number (0 on tmpfs). Overlapping roots are refused however
// they are named.
TEST_F(Mirror, WindowsRootsReachedThroughAnotherDriveLetterAreRefused) {
  if (!windows_tool()) GTEST_SKIP() << "drive letters are Windows'";
  const char* prefix = std::getenv("WINEPREFIX");
  const std::string dosdevices = (prefix != nullptr ? std::string(prefix) : std::string(std::getenv("HOME")) + "/.wine") + "/dosdevices/";
  char letter = 'q';
  while (letter < 'y' && fs::symlink_status(dosdevices + letter + ":").type() != fs::file_type::not_found) ++letter;
  const std::string drive = dosdevices + letter + ":";
  const auto refused_either_way = [&](const std::string& base) {
    tree_.write(base + "/mnt/src/photo.jpg", "p", kT1);
    tree_.write(base + "/other.txt", "o", kT1);
    fs::create_directory_symlink(host(base + "/mnt"), drive);
    const std::string mapped = std::string(1, static_cast<char>(letter - 'a' + 'A')) + ":\\";
    const auto before = snapshot(tree_.root());
    for (const auto& [from, to] : {std::pair{mapped + "src", tool_path(host(base))},
                                   {tool_path(host(base)), mapped + "dst"},
                                   {tool_path(host(base + "/mnt/src")), tool_path(host(base))},
                                   {mapped, tool_path(host(base + "/mnt"))}}) {
      const ToolResult result = qmr({"/FROM:" + from, "/TO:" + to, "/R"});
      EXPECT_EQ(result.status, 1) << from << " to " << to << ": " << result.output;
    }
    fs::remove(drive);
    EXPECT_EQ(snapshot(tree_.root()), before);
  };
  refused_either_way("base");
  tree_.mkdir("tmpfs");
  if (std::system(("mount -t tmpfs q3 '" + host("tmpfs") + "' 2>/dev/null").c_str()) != 0) {
    GTEST_SKIP() << "cannot mount tmpfs here (needs root): the case of a volume serial of 0 is not tried";
  }
  refused_either_way("tmpfs/base");
  std::system(("umount '" + host("tmpfs") + "'").c_str());
}

// Where names are found regardless of case, deleting one of two names that
// differ only in case leaves the other exactly as it was.
TEST_F(Mirror, WindowsDeletingACaseTwinLeavesTheOtherAlone) {
  if (!windows_tool()) GTEST_SKIP() << "names found regardless of case are Windows'";
  tree_.write("src/a.txt", "same", kT1);
  tree_.write("dst/a.txt", "same", kT1);
  tree_.write("dst/A.txt", "stale", kT1);
  ::chmod(host("dst/A.txt").c_str(), 0444);
  const mode_t kept = mode_of(host("dst/a.txt"));
  const ToolResult result = qmr(mirror_args());
  EXPECT_EQ(result.status, 0) << result.errors;
  EXPECT_EQ(result.output, kBanner + line("Delete", "dst/A.txt"));
  EXPECT_FALSE(fs::exists(host("dst/A.txt")));
  EXPECT_EQ(mode_of(host("dst/a.txt")), kept) << "the kept file took the deleted one's read-only mark";
}

TEST_F(Mirror, WindowsMirrorsPathsLongerThanTheOldLimit) {
  if (!windows_tool()) GTEST_SKIP() << "the 260-character limit is Windows'";
  tree_.write("src/keep.txt", "k", kT1);
  // Paths of about 600 and 1,200 characters, short of Linux's own 4096.
  for (const size_t length : {600u, 1200u}) {
    std::string deep = "src/" + std::to_string(length);
    while (tool_path(host(deep)).size() < length - 9) deep += "/" + std::string(40, 'd');
    tree_.write(deep + "/file.txt", "far down", kT1);
    const std::string mirrored = "dst" + deep.substr(3) + "/file.txt";
    ASSERT_GE(tool_path(host(mirrored)).size(), length);
    ToolResult result = qmr(mirror_args());
    EXPECT_EQ(result.status, 0) << result.errors;
    EXPECT_EQ(read_file(host(mirrored)), "far down");
    tree_.write(deep + "/file.txt", "changed", kT2);
    result = qmr(mirror_args());
    EXPECT_EQ(result.output, kBanner + line("Copy", deep + "/file.txt"));
    fs::remove(host(deep + "/file.txt"));
    result = qmr(mirror_args());
    EXPECT_EQ(result.output, kBanner + line("Delete", mirrored));
    EXPECT_EQ(result.status, 0);
  }
}

TEST_F(Mirror, WindowsRootsAreTakenByTheirTrueNames) {
  if (!windows_tool()) GTEST_SKIP() << "code pages are Windows'";
  // "d" + alpha + "ta" beside "data", and a source root whose name holds a
  // fullwidth backslash: best fit would turn them into other folders.
  const std::string alpha_root = "d\xce\xb1ta";
  const std::string odd_source = "inner/.." + kFullwidthBackslash + "src";
  tree_.write(odd_source + "/a.txt", "a", kT1);
  tree_.write("src/decoy.txt", "what \"inner\\..\\src\" names", kT1);
  tree_.write("data/keep.txt", "beside", kT1);
  const ToolResult result =
      qmr({"/FROM:" + tool_path(host(odd_source)), "/TO:" + tool_path(host(alpha_root)), "/R"});
  EXPECT_EQ(result.status, 0) << result.output << result.errors;
  EXPECT_EQ(read_file(host(alpha_root + "/a.txt")), "a");
  EXPECT_FALSE(fs::exists(host(alpha_root + "/decoy.txt")));
  EXPECT_EQ(snapshot(host("data")).size(), 1u) << "the folder beside is untouched";
}

TEST_F(Mirror, WindowsTakesForwardSlashesAndMakesTheMissingParents) {
  if (!windows_tool()) GTEST_SKIP() << "drive paths are Windows'";
  tree_.write("src/sub/a.txt", "a", kT1);
  std::string to = tool_path(host("new/deeper/dst"));
  std::replace(to.begin(), to.end(), '\\', '/');
  const ToolResult result = qmr({"/FROM:" + src(), "/TO:" + to, "/R"});
  EXPECT_EQ(result.status, 0) << result.output << result.errors;
  EXPECT_EQ(read_file(host("new/deeper/dst/sub/a.txt")), "a");
}

TEST_F(Mirror, WindowsPatternsTakeOneCharacterForAQuestionMark) {
  if (!windows_tool()) GTEST_SKIP() << "the POSIX build's patterns are tested in the unit suite";
  for (const std::string name : {"a.txt", "\xce\xb1.txt", "\xe6\x97\xa5.txt", "ab.txt"}) {
    tree_.write("src/" + name, name, kT1);
  }
  const ToolResult result = qmr(mirror_args({"/FILES:?.txt"}));
  EXPECT_EQ(result.status, 0);
  for (const std::string name : {"a.txt", "\xce\xb1.txt", "\xe6\x97\xa5.txt"}) {
    EXPECT_EQ(read_file(host("dst/" + name)), name);
  }
  EXPECT_FALSE(fs::exists(host("dst/ab.txt")));
}

TEST_F(Mirror, WindowsShowsWhatTheConsolePageLacksAsAQuestionMark) {
  // The console's code page is the locale's; the suite is run under several.
  const char* page = std::getenv("QMR_E2E_CODE_PAGE");
  if (!windows_tool() || page == nullptr) GTEST_SKIP() << "needs the Windows build and its code page";
  // e-acute, yen sign and fullwidth backslash in each page, or "?"; never a
  // look-alike such as the backslash that best fit gives the yen sign in 932.
  const std::map<std::string, std::vector<std::string>> shown = {
      {"437", {"\x82", "\x9d", "?"}}, {"866", {"?", "?", "?"}}, {"932", {"?", "?", "\x81\x5f"}}};
  ASSERT_EQ(shown.count(page), 1u) << "no expectation for code page " << page;
  const std::vector<std::string> names = {"\xc3\xa9", "\xc2\xa5", kFullwidthBackslash};
  std::string expected = kBanner;
  for (size_t i = 0; i < names.size(); ++i) {
    tree_.write("src/" + std::to_string(i) + names[i], "x", kT1);
    expected += "Copy:\t" + src() + "\\" + std::to_string(i) + shown.at(page)[i] + "...\tOk.\n";
  }
  const ToolResult result = qmr(mirror_args());
  EXPECT_EQ(result.output, expected);
  for (size_t i = 0; i < names.size(); ++i) {
    EXPECT_EQ(read_file(host("dst/" + std::to_string(i) + names[i])), "x");
  }
}

TEST_F(Mirror, AFailedCopyIsReportedAndSetsStatusTwo) {
  tree_.write("src/a", "a", kT1);
  tree_.write("src/f", "f", kT1);
  tree_.write("dst/f/inside", "kept", kT1);  // a directory where the file should go
  ToolResult result = qmr(mirror_args({}));
  EXPECT_EQ(result.status, 2);
  EXPECT_EQ(result.output,
            (kBanner + line("Copy", "src/a") + line("Copy", "src/f", false)));
  EXPECT_EQ(read_file(host("dst/f/inside")), "kept");
  result = qmr(mirror_args({"/QUIET"}));
  EXPECT_EQ(result.status, 2) << "quiet runs still tell of failures";
  EXPECT_EQ(result.output, "");
}

// Runs that would destroy a mirror or a source: refused, nothing touched.
class Refusal : public Mirror {
 protected:
  void SetUp() override {
    Mirror::SetUp();
    if (IsSkipped()) return;
    tree_.write("src/a.txt", "a", kT1);
    tree_.write("src/inner/b.txt", "b", kT1);
    tree_.write("dst/a.txt", "old", kT2);
    tree_.write("dst/only.txt", "o", kT1);
    tree_.mkdir("empty");
  }

  void expect_refused(const Args& args, const std::string& message) {
    const auto before = snapshot(tree_.root());
    ToolResult result = qmr(args);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.output, kBanner + message);
    Args quiet = args;
    quiet.push_back("/QUIET");
    result = qmr(quiet);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.output, "");
    EXPECT_EQ(snapshot(tree_.root()), before) << "a refused run must change nothing";
  }
};

TEST_F(Refusal, AMissingSourceDeletesNothing) {
  expect_refused({"/FROM:" + src("typo"), "/TO:" + dst(), "/R"}, "Cannot read SOURCE directory...\n");
  expect_refused({"/FROM:" + src("a.txt"), "/TO:" + dst("never-made")},
                 "Cannot read SOURCE directory...\n");
}

TEST_F(Refusal, AnEmptySelectionDeletesNothing) {
  const std::string message = "No SOURCE files selected, DESTINATION left unchanged...\n";
  expect_refused({"/FROM:" + tool_path(host("empty")), "/TO:" + dst()}, message);
  for (const char* mode : {"/UPDATE", "/COPYALL", "/DELONLY"}) {
    expect_refused(mirror_args({"/R", "/FILES:*.dox", mode}), message);
  }
  const auto before = snapshot(tree_.root());
  const ToolResult result = qmr(mirror_args({"/R", "/FILES:*.dox", "/COPYONLY"}));
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.output, kBanner);
  EXPECT_EQ(snapshot(tree_.root()), before);
}

TEST_F(Refusal, OverlappingRootsAreRefused) {
  const std::string same = "SOURCE and DESTINATION are the same directory...\n";
  const char sep = tool_separator();
  expect_refused({"/FROM:" + src(), "/TO:" + src() + sep}, same);
  expect_refused({"/FROM:" + src(), "/TO:" + src("inner") + sep + ".." + sep + "." + sep}, same);
  expect_refused({"/FROM:" + src("inner"), "/TO:" + src("inner"), "/R", "/COPYALL"}, same);
  expect_refused({"/FROM:" + src(), "/TO:" + src("inner/new"), "/R"},
                 "DESTINATION directory lies inside SOURCE...\n");
  expect_refused({"/FROM:" + src("inner"), "/TO:" + src(), "/R"},
                 "SOURCE directory lies inside DESTINATION...\n");
  if (!windows_tool()) {
    ASSERT_EQ(::symlink(host("src").c_str(), host("alias").c_str()), 0);
    expect_refused({"/FROM:" + host("alias"), "/TO:" + src()}, same);
  }
  // Without recursion the scans cannot reach each other: the run goes on.
  const ToolResult result = qmr({"/FROM:" + src(), "/TO:" + src("inner")});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(read_file(host("src/inner/a.txt")), "a");
}

TEST_F(Mirror, IgnoredArgumentsAreNamedAndThoseThatMustNotBeIgnoredRefuse) {
  tree_.write("src/a.txt", "a", kT1);
  tree_.write("dst/sub/b.txt", "b", kT1);
  tree_.write("dst/precious.txt", "p", kT1);
  const auto before = snapshot(tree_.root());
  // A preview request that is not understood refuses, even when quiet.
  const std::string refusals =
      "qmr: refusing to run with unknown option -n (did you mean /LISTONLY?)\n"
      "qmr: refusing to run with unknown option --dry-run (did you mean /LISTONLY?)\n";
  ToolResult result = qmr({"-n", "/FROM:" + src(), "--dry-run", "/TO:" + dst()});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.output, "");
  EXPECT_EQ(result.errors, refusals);
  result = qmr({"/QUIET", "-n", "/FROM:" + src(), "--dry-run", "/TO:" + dst(), "/RECURSE"});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.errors, refusals);
  EXPECT_EQ(snapshot(tree_.root()), before);
  // Other unknown arguments are named, and the run goes on as if they were
  // not there: without /R, sub/ is left alone.
  result = qmr({"/FROM:" + src(), "/TO:" + dst(), "/RECURSE", "stray"});
  EXPECT_EQ(result.errors,
            "qmr: ignoring unknown option /RECURSE (did you mean /R?)\n"
            "qmr: ignoring argument stray (roots are given as /FROM:<directory> and /TO:<directory>)\n");
  EXPECT_EQ(result.output, kBanner + line("Delete", "dst/precious.txt") + line("Copy", "src/a.txt"));
  EXPECT_TRUE(fs::exists(host("dst/sub/b.txt")));
  result = qmr({src(), dst()});
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.errors.find("qmr: a run needs both /FROM:<directory> and /TO:<directory>\n"),
            std::string::npos) << result.errors;
}

TEST_F(Mirror, ARefusalSaysWhatAndWhy) {
  tree_.write("src/a.txt", "a", kT1);
  tree_.write("file", "not a directory", kT1);
  ToolResult result = qmr({"/FROM:" + src("missing"), "/TO:" + dst()});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.output, kBanner + "Cannot read SOURCE directory...\n");
  EXPECT_EQ(result.errors.rfind("qmr: cannot read " + src("missing") + ": ", 0), 0u) << result.errors;
  for (const std::string& to : {tool_path(host("file")), tool_path(host("file")) + tool_separator() + "d"}) {
    result = qmr({"/FROM:" + src(), "/TO:" + to});
    EXPECT_EQ(result.status, 1) << to;
    EXPECT_EQ(result.output, kBanner) << to;
    EXPECT_EQ(std::count(result.errors.begin(), result.errors.end(), '\n'), 1) << result.errors;
    EXPECT_NE(result.errors.find(to + ": "), std::string::npos) << result.errors;
  }
  EXPECT_EQ(read_file(host("file")), "not a directory");
  result = qmr({"/FROM:" + src(), "/TO:" + src(), "/R"});
  EXPECT_EQ(result.errors, "qmr: cannot mirror " + src() + " to " + src() + ": they are the same directory\n");
}

TEST_F(Mirror, ADestinationThatTakesNoNewNameIsOneRefusal) {
  if (windows_tool()) GTEST_SKIP() << "permission bits are the POSIX build's";
  for (int i = 0; i < 20; ++i) tree_.write("src/f" + std::to_string(i), "x", kT1);
  tree_.mkdir("dst");
  ::chmod(tree_.root().c_str(), 0755);
  ::chmod(host("dst").c_str(), 0555);
  const ToolResult result = qmr(mirror_args(), {.unprivileged = true});
  ::chmod(host("dst").c_str(), 0755);
  if (result.status == 0) GTEST_SKIP() << "this user can write to a directory of mode 0555";
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.output, kBanner);
  EXPECT_EQ(result.errors, "qmr: cannot write to " + dst() + ": Permission denied\n");
}

// An ordinary user mirrors a read-only tree of theirs, one of whose
// directories has a group they are not in: the mirror follows every change,
// and a run with nothing to do is idle.
TEST_F(Mirror, AnOrdinaryUsersMirrorOfAReadOnlyTreeFollowsItsChanges) {
  if (windows_tool()) GTEST_SKIP() << "permission bits are the POSIX build's";
  if (::geteuid() != 0) GTEST_SKIP() << "the check needs root to drop to an unprivileged user";
  constexpr uid_t kNobody = 65534;
  tree_.write("src/a/f1", "1", kT1);
  tree_.write("src/b/g", "g", kT1);
  ::chmod(tree_.root().c_str(), 0777);
  for (const auto& entry : fs::recursive_directory_iterator(host("src"))) {
    ::lchown(entry.path().c_str(), kNobody, kNobody);
  }
  ::chown(host("src").c_str(), kNobody, kNobody);
  ::chown(host("src/b").c_str(), kNobody, 0);
  const auto close = [&] {
    ::chmod(host("src/a").c_str(), 0555);
    ::chmod(host("src").c_str(), 0555);
  };
  close();
  EXPECT_EQ(qmr(mirror_args(), {.unprivileged = true}).status, 0);
  EXPECT_EQ(mode_of(host("dst")) & 07777, 0555u);
  ToolResult result = qmr(mirror_args(), {.unprivileged = true});
  EXPECT_EQ(result.status, 0) << result.errors;
  EXPECT_EQ(result.output, kBanner) << "nothing to do";
  ::chmod(host("src").c_str(), 0755);
  ::chmod(host("src/a").c_str(), 0755);
  fs::remove(host("src/a/f1"));
  tree_.write("src/a/f2", "2", kT1);
  tree_.write("src/top", "t", kT1);
  ::lchown(host("src/a/f2").c_str(), kNobody, kNobody);
  ::lchown(host("src/top").c_str(), kNobody, kNobody);
  close();
  result = qmr(mirror_args(), {.unprivileged = true});
  EXPECT_EQ(result.status, 0) << result.errors;
  EXPECT_EQ(result.output,
            kBanner + line("Delete", "dst/a/f1") + line("Copy", "src/a/f2") + line("Copy", "src/top"));
  EXPECT_EQ(mode_of(host("dst")) & 07777, 0555u);
  EXPECT_EQ(mode_of(host("dst/a")) & 07777, 0555u);
  EXPECT_EQ(qmr(mirror_args(), {.unprivileged = true}).output, kBanner);
  ::chmod(host("src").c_str(), 0755);
  ::chmod(host("src/a").c_str(), 0755);
  ::chmod(host("dst").c_str(), 0755);
  ::chmod(host("dst/a").c_str(), 0755);
}

TEST_F(Mirror, ExcludedDirectoriesAreNeitherCopiedNorEmptied) {
  tree_.write("src/a.txt", "a", kT1);
  tree_.write("src/doc/x.txt", "x", kT1);
  tree_.write("src/deep/doc/y.txt", "y", kT1);
  tree_.write("src/deep/z.txt", "z", kT1);
  tree_.write("dst/doc/kept.txt", "kept", kT1);
  tree_.write("dst/.git/config", "kept", kT1);
  const ToolResult result = qmr(mirror_args({"/R", "/EXDIR:DOC", "/EXDIR:.g?t"}));
  EXPECT_EQ(result.status, 0) << result.errors;
  EXPECT_EQ(result.output, kBanner + line("Copy", "src/a.txt") + line("Copy", "src/deep/z.txt"));
  EXPECT_EQ(read_file(host("dst/doc/kept.txt")), "kept");
  EXPECT_EQ(read_file(host("dst/.git/config")), "kept");
  EXPECT_FALSE(fs::exists(host("dst/deep/doc")));
}

TEST_F(Mirror, AskedForAStatsLineTheRunEndsWithItsTotals) {
  tree_.write("src/new.txt", "12345", kT1);
  tree_.write("src/same.txt", "s", kT1);
  tree_.write("dst/same.txt", "s", kT1);
  tree_.write("dst/gone.txt", "g", kT1);
  const std::regex summary(
      "Summary: 1 copied \\(5 bytes\\), 1 deleted, 0 failed, 1 unchanged, 0 attributes, [0-9]+\\.[0-9]{3} s\n");
  ToolResult result = qmr(mirror_args({"/R", "/STATS", "/LISTONLY"}));
  const std::string lines = kBanner + "Delete:\t" + dst("gone.txt") + "...\tPlanned.\n" + "Copy:\t" +
                            src("new.txt") + "...\tPlanned.\n";
  ASSERT_EQ(result.output.substr(0, lines.size()), lines);
  EXPECT_TRUE(std::regex_match(result.output.substr(lines.size()), summary)) << result.output;
  result = qmr(mirror_args({"/R", "/STATS"}));
  const std::string done = kBanner + line("Delete", "dst/gone.txt") + line("Copy", "src/new.txt");
  ASSERT_EQ(result.output.substr(0, done.size()), done);
  EXPECT_TRUE(std::regex_match(result.output.substr(done.size()), summary)) << result.output;
  // Into a pipe without /STATS, or with /QUIET, there is none.
  EXPECT_EQ(qmr(mirror_args()).output, kBanner);
  EXPECT_EQ(qmr(mirror_args({"/R", "/STATS", "/QUIET"})).output, "");
}

TEST_F(Mirror, AnEqualFileTakesTheSourcesModeAndDirectoriesTheirTimes) {
  if (windows_tool()) GTEST_SKIP() << "permission bits and directory times are checked on the POSIX build";
  tree_.write("src/secret", "s", kT1);
  tree_.write("src/sub/deeper/x", "x", kT1);
  ::chmod(host("src/secret").c_str(), 0644);
  ASSERT_EQ(qmr(mirror_args()).status, 0);
  for (const char* dir : {"sub/deeper", "sub"}) set_mtime_ns(host(std::string("src/") + dir), kT2);
  // A tightened secret reaches the mirror without a copy and without a line.
  ::chmod(host("src/secret").c_str(), 0600);
  const std::string counted = "0 copied (0 bytes), 0 deleted, 0 failed, 2 unchanged, 3 attributes";
  ToolResult result = qmr(mirror_args({"/R", "/STATS", "/LISTONLY"}));
  EXPECT_NE(result.output.find(counted), std::string::npos) << result.output;
  EXPECT_EQ(mode_of(host("dst/secret")) & 0777, 0644u) << "a preview changes nothing";
  result = qmr(mirror_args({"/R", "/STATS"}));
  EXPECT_EQ(result.status, 0) << result.errors;
  EXPECT_EQ(result.output.rfind(kBanner + "Summary: " + counted, 0), 0u) << result.output;
  EXPECT_EQ(mode_of(host("dst/secret")) & 0777, 0600u);
  for (const char* dir : {"sub/deeper", "sub"}) {
    EXPECT_EQ(mtime_ns(host(std::string("dst/") + dir)), kT2) << dir;
  }
  EXPECT_EQ(tree_state(host("dst")), tree_state(host("src")));
  result = qmr(mirror_args({"/R", "/STATS"}));
  EXPECT_NE(result.output.find(", 0 attributes"), std::string::npos) << "the next run is idle";
}

TEST_F(Mirror, WindowsAnEqualFileTakesTheSourcesReadOnlyMark) {
  if (!windows_tool()) GTEST_SKIP() << "Wine shows missing write bits as the read-only mark";
  tree_.write("src/ro.txt", "r", kT1);
  tree_.write("dst/ro.txt", "r", kT1);
  ::chmod(host("src/ro.txt").c_str(), 0444);
  const ToolResult result = qmr(mirror_args({"/R", "/STATS"}));
  EXPECT_EQ(result.status, 0) << result.errors;
  EXPECT_NE(result.output.find(", 1 attributes"), std::string::npos) << result.output;
  EXPECT_EQ(mode_of(host("dst/ro.txt")) & 0222, 0u);
}

TEST_F(Mirror, ListOnlyPrintsTheRunsLinesAndChangesNothing) {
  tree_.write("src/a.txt", "a", kT1);
  tree_.write("src/changed.txt", "new", kT2);
  tree_.write("src/sub/new.txt", "n", kT1);
  tree_.write("dst/a.txt", "a", kT1);
  tree_.write("dst/changed.txt", "old", kT1);
  tree_.write("dst/gone/old.txt", "o", kT1);
  tree_.write("dst/.qmr-0a1b2c3d.tmp", "debris", kT1);
  const auto before = snapshot(tree_.root());
  const ToolResult preview = qmr(mirror_args({"/R", "/LISTONLY"}));
  EXPECT_EQ(preview.status, 0);
  EXPECT_EQ(snapshot(tree_.root()), before) << "a preview must change nothing at all";
  const ToolResult fresh = qmr({"/FROM:" + src(), "/TO:" + dst("not/yet"), "/listonly"});
  EXPECT_EQ(snapshot(tree_.root()), before) << "not even the destination root";
  EXPECT_EQ(qmr(mirror_args({"/R", "/LISTONLY", "/QUIET"})).output, "");
  const ToolResult real = qmr(mirror_args({"/R"}));
  std::string expected = real.output;
  for (size_t at; (at = expected.find("Ok.")) != std::string::npos;) expected.replace(at, 3, "Planned.");
  EXPECT_EQ(preview.output, expected);
  EXPECT_NE(expected.find("Delete:"), std::string::npos);
  EXPECT_EQ(fresh.output.find("Delete:"), std::string::npos);
}

TEST_F(Mirror, HelpAndVersionAnswerTheUsualSpellings) {
  ToolResult result = qmr({"--HELP"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.output, kBanner + kHelp);
  result = qmr({"/FROM:" + src(), "--Version", "/TO:" + dst()});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.output, kBanner);
  // A help request changes nothing: an argument that would refuse a run is only named.
  result = qmr({"--dry-run", "/?"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.errors, "qmr: ignoring unknown option --dry-run (did you mean /LISTONLY?)\n");
}

TEST_F(Mirror, ManyWorkersLeaveTheTreeAndTheOutputOfOneOnRandomTrees) {
  // Random trees with new, changed, equal and orphaned files, names that
  // differ only in case (where one directory can hold both), and files
  // where the other side has a directory.
  const std::vector<std::string> dirs{"", "d1/", "d1/s/", "D1/", "d2/", "d2/s/t/"};
  const std::vector<std::string> names{"f", "F", "g", "h.txt"};
  size_t lines = 0;
  for (unsigned seed = 1; seed <= 6; ++seed) {
    std::mt19937 random(seed);
    const auto pick = [&](const std::vector<std::string>& from) { return from[random() % from.size()]; };
    const std::string round = "r" + std::to_string(seed) + "/";
    for (int i = 0; i < 60; ++i) {
      std::string path = pick(dirs) + pick(names);
      if (windows_tool()) std::transform(path.begin(), path.end(), path.begin(), [](char c) { return std::tolower(c); });
      const bool in_source = random() % 4 != 0;
      if (in_source) tree_.write(round + "src/" + path, std::string(random() % 300, 'a') + path, kT1);
      if (!in_source || random() % 3 != 0) {
        const std::string content = random() % 2 == 0 ? "old" : std::string(random() % 300, 'a') + path;
        const std::int64_t time = random() % 2 == 0 ? kT1 : kT2;
        for (const char* copy : {"dst/", "one/"}) tree_.write(round + copy + path, content, time);
      }
    }
    // "x" is a file on one side and a directory on the other.
    const bool file_in_source = seed % 2 == 0;
    tree_.write(round + (file_in_source ? "src/x" : "src/x/a"), "x", kT1);
    for (const char* copy : {"dst/", "one/"}) tree_.write(round + copy + (file_in_source ? "x/a" : "x"), "y", kT2);
    const auto run = [&](const char* copy, const char* threads) {
      return qmr({"/FROM:" + tool_path(host(round + "src")), "/TO:" + tool_path(host(round + copy)), "/R", threads});
    };
    const ToolResult many = run("dst", "/THREADS:16");
    ToolResult one = run("one", "/THREADS:1");
    // The lines name their own tree's destination; otherwise they are the same.
    for (std::string* text : {&one.output, &one.errors}) {
      const std::string from = tool_path(host(round + "one")), to = tool_path(host(round + "dst"));
      for (size_t at = text->find(from); at != std::string::npos; at = text->find(from, at)) text->replace(at, from.size(), to);
    }
    EXPECT_EQ(many.status, one.status) << seed;
    EXPECT_EQ(many.output, one.output) << seed;
    EXPECT_EQ(many.errors, one.errors) << seed;
    EXPECT_EQ(tree_state(host(round + "dst")), tree_state(host(round + "one"))) << seed;
    lines += std::count(many.output.begin(), many.output.end(), '\n');
  }
  EXPECT_GT(lines, 100u) << "the trees give the runs work to do";
}

TEST_F(Mirror, AThreadsValueThatIsNoWorkerCountIsRefused) {
  tree_.write("src/a", "a", kT1);
  for (const std::string bad : {"/THREADS:0", "/THREADS:many", "/THREADS:100"}) {
    const ToolResult result = qmr(mirror_args({"/R", bad}));
    EXPECT_EQ(result.status, 1) << bad;
    EXPECT_EQ(result.output, "") << bad;
    EXPECT_EQ(result.errors, "qmr: /THREADS: takes a number of workers from 1 to 64\n");
    EXPECT_FALSE(fs::exists(host("dst")));
  }
  const ToolResult quiet = qmr(mirror_args({"/R", "/THREADS:0", "/QUIET"}));
  EXPECT_EQ(quiet.status, 1);
  EXPECT_EQ(quiet.errors, "");
}

TEST_F(Mirror, TheDestinationRootStaysWhenItsLastFileIsDeleted) {
  tree_.write("src/keep.txt", "k", kT1);
  tree_.write("dst/x.txt", "x", kT1);
  EXPECT_EQ(qmr(mirror_args({"/DELONLY"})).output, kBanner + line("Delete", "dst/x.txt"));
  EXPECT_TRUE(fs::is_directory(host("dst")));
}

TEST_F(Mirror, NothingIsWrittenThroughALinkInTheDestination) {
  if (windows_tool()) GTEST_SKIP() << "POSIX links; Windows junctions are never entered";
  tree_.write("src/sub/f.txt", "f", kT1);
  tree_.mkdir("dst");
  tree_.write("outside/keep", "k", kT1);
  ASSERT_EQ(::symlink(host("outside").c_str(), host("dst/sub").c_str()), 0);
  const auto outside = snapshot(host("outside"));
  ToolResult result = qmr(mirror_args({"/R", "/COPYONLY"}));
  EXPECT_EQ(result.status, 2);
  EXPECT_EQ(result.output, kBanner + line("Copy", "src/sub/f.txt", false));
  EXPECT_EQ(result.errors, "qmr: cannot copy " + src("sub/f.txt") + ": " + dst("sub/") +
                               ": Not a directory\n");
  EXPECT_EQ(snapshot(host("outside")), outside);
  // Where deleting is allowed, the link goes and a real directory takes its place.
  result = qmr(mirror_args({"/R"}));
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.output, kBanner + line("Delete", "dst/sub") + line("Copy", "src/sub/f.txt"));
  EXPECT_EQ(snapshot(host("outside")), outside);
  EXPECT_EQ(tree_state(host("src")), tree_state(host("dst")));
}

TEST_F(Mirror, AStrayCaseVariantNeverTakesTheUpdate) {
  if (windows_tool()) GTEST_SKIP() << "names that differ only in case are one file on Windows";
  tree_.write("src/a.txt", "new", kT2);
  tree_.write("dst/a.txt", "old", kT1);
  tree_.write("dst/A.TXT", "stray", kT1);
  EXPECT_EQ(qmr(mirror_args({"/COPYONLY"})).output, kBanner + line("Copy", "src/a.txt"));
  EXPECT_EQ(read_file(host("dst/a.txt")), "new");
  EXPECT_EQ(read_file(host("dst/A.TXT")), "stray");
  EXPECT_EQ(qmr(mirror_args({})).output, kBanner + line("Delete", "dst/A.TXT"));
}

TEST_F(Mirror, ADirectoryThatCanBeListedButNotSearchedIsReported) {
  if (windows_tool()) GTEST_SKIP() << "permissions are tested on the POSIX build";
  tree_.write("src/a.txt", "a", kT1);
  tree_.write("src/locked/x.txt", "x", kT1);
  tree_.write("dst/a.txt", "a", kT1);
  tree_.write("dst/locked/x.txt", "x", kT1);
  for (const auto& entry : fs::recursive_directory_iterator(tree_.root())) {
    ::chmod(entry.path().c_str(), entry.is_directory() ? 0777 : 0666);
  }
  ::chmod(tree_.root().c_str(), 0777);
  ::chmod(host("src/locked").c_str(), 0644);  // readable, not searchable
  const ToolResult result = qmr(mirror_args(), {.unprivileged = true});
  ::chmod(host("src/locked").c_str(), 0777);
  if (::geteuid() != 0) GTEST_SKIP() << "the check needs root to drop to an unprivileged user";
  EXPECT_EQ(result.status, 2);
  EXPECT_EQ(result.output, kBanner + "Scan:\t" + src("locked") + "...\tFail.\n");
  EXPECT_EQ(result.errors,
            "qmr: cannot read directory " + src("locked") + ": Permission denied\n");
  EXPECT_EQ(read_file(host("dst/locked/x.txt")), "x");
}

TEST_F(Mirror, AnUnreadableSourceDirectoryCostsNoMirroredFile) {
  if (windows_tool()) GTEST_SKIP() << "permissions are tested on the POSIX build";
  tree_.write("src/a.txt", "a", kT1);
  tree_.write("src/locked/x.txt", "x", kT1);
  tree_.write("dst/locked/x.txt", "x", kT1);
  tree_.write("dst/locked/gone-from-source.txt", "g", kT1);
  // The run is made as an unprivileged user, for whom mode 0 means no access.
  for (const auto& entry : fs::recursive_directory_iterator(tree_.root())) {
    ::chmod(entry.path().c_str(), entry.is_directory() ? 0777 : 0666);
  }
  ::chmod(tree_.root().c_str(), 0777);
  ::chmod(host("src/locked").c_str(), 0);
  const ToolResult result = qmr(mirror_args(), {.unprivileged = true});
  if (::access(host("src/locked/x.txt").c_str(), R_OK) == 0 && ::geteuid() != 0) {
    GTEST_SKIP() << "this user can read a directory of mode 0";
  }
  EXPECT_EQ(result.status, 2);
  EXPECT_EQ(result.output,
            kBanner + "Scan:\t" + src("locked") + "...\tFail.\n" + line("Copy", "src/a.txt"));
  EXPECT_TRUE(fs::exists(host("dst/locked/x.txt")));
  EXPECT_TRUE(fs::exists(host("dst/locked/gone-from-source.txt")));
}

TEST_F(Mirror, OnATerminalTheTitleIsSetAndEachActionShowsAtOnce) {
  if (windows_tool()) GTEST_SKIP() << "the console title is a Windows console's";
  tree_.write("src/a", "a", kT1);
  const ToolResult result = qmr(mirror_args(), {.terminal = true});
  const std::string title_start = "\033]0;From " + src() + "/, To " + dst() + "/, ";
  ASSERT_EQ(result.output.rfind(title_start, 0), 0u) << result.output;
  const size_t title_end = result.output.find('\007');
  ASSERT_NE(title_end, std::string::npos);
  EXPECT_EQ(title_end - title_start.size(), 24u) << "the start time, without its line feed";
  const std::string rest = result.output.substr(title_end + 1);
  const std::string lines = "Quenmire. Version 1.02\r\nCopy:\t" + src("a") + "...\tOk.\r\n";
  EXPECT_EQ(rest.substr(0, lines.size()), lines);
  // A terminal gets the summary without asking.
  EXPECT_TRUE(std::regex_match(rest.substr(lines.size()),
                               std::regex("Summary: 1 copied \\(1 bytes\\), 0 deleted, 0 failed, 0 unchanged, "
                                          "1 attributes, [0-9]+\\.[0-9]{3} s\r\n")))
      << rest;
  // Into a pipe no title is written.
  EXPECT_EQ(qmr(mirror_args()).output.find('\033'), std::string::npos);
}

TEST_F(Mirror, OnATerminalALongCopyShowsItsProgressUntilTheOutcomeReplacesIt) {
  if (windows_tool()) GTEST_SKIP() << "the pty runs the POSIX build";
  tree_.write("src/big", std::string(size_t{96} << 20, 'b'), kT1);
  tree_.mkdir("slow");
  tree_.mkdir("dst");
  // A FUSE view is slow enough for the copy to outlast a second.
  if (std::system(("bindfs '" + host("slow") + "' '" + host("dst") + "' 2>/dev/null").c_str()) != 0) {
    GTEST_SKIP() << "no bindfs through FUSE here (package bindfs)";
  }
  const ToolResult result = qmr(mirror_args(), {.terminal = true});
  const ToolResult piped = qmr(mirror_args({"/R", "/COPYALL"}));
  [[maybe_unused]] const int unmounted = std::system(("fusermount -u '" + host("dst") + "'").c_str());
  std::smatch took;
  ASSERT_TRUE(std::regex_search(result.output, took, std::regex("(\\d+)\\.\\d{3} s\r\n$"))) << result.output;
  const std::regex shown("[ 0-9]{3}% [0-9]+\\.[0-9] MB/s(\b+) +\\1");
  // A figure comes with a chunk written a second or more into the copy: a
  // run of under two seconds may have had none.
  if (!std::regex_search(result.output, shown) && std::stoi(took[1]) < 2) {
    GTEST_SKIP() << "the copy took too little time to show its progress";
  }
  EXPECT_TRUE(std::regex_search(result.output, shown)) << result.output;
  // Each figure is wiped before the next, and the outcome ends the line.
  const std::string wiped = std::regex_replace(result.output, shown, "");
  EXPECT_NE(wiped.find("Copy:\t" + src("big") + "...\tOk.\r\n"), std::string::npos) << wiped;
  EXPECT_EQ(piped.output.find('%'), std::string::npos) << "nothing of it reaches a pipe";
  EXPECT_EQ(piped.output.find('\b'), std::string::npos);
}

}  // namespace
}  // namespace qmr::test
