#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "support/temp_tree.h"

namespace qmr {
namespace {

std::vector<std::string> names_in(const std::string& dir) {
  std::vector<std::string> names;
  DIR* stream = ::opendir(dir.c_str());
  for (const dirent* e; (e = ::readdir(stream)) != nullptr;) {
    const std::string name = e->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  ::closedir(stream);
  std::sort(names.begin(), names.end());
  return names;
}

class Platform : public ::testing::Test {
 protected:
  // Lists the tree's root, sorted by name as the scan sorts.
  Listing list(const std::string& relative = "") {
    Listing listing;
    fs_.list_directory(root(), relative, listing);
    std::sort(listing.entries.begin(), listing.entries.end(),
              [](const DirEntry& a, const DirEntry& b) { return a.name < b.name; });
    return listing;
  }
  // Copies within the tree, the source of the kind it has now.
  Outcome copy(const std::string& from, const std::string& to, bool replace = true) {
    return copy_into(fs_, root(), from, to, replace);
  }
  Outcome copy_into(NativeFileSystem& fs, const std::string& dest_root, const std::string& from,
                    const std::string& to, bool replace) {
    struct stat st{};
    const bool link = ::lstat(tree_.path(from).c_str(), &st) == 0 && S_ISLNK(st.st_mode);
    fs.open_root(root());
    fs.open_root(dest_root);
    return fs.copy_file(
        {root(), from, link ? EntryKind::kSymlink : EntryKind::kFile, dest_root, to, replace});
  }
  std::string root() const { return tree_.root() + "/"; }
  void SetUp() override { fs_.open_root(root()); }

  // Runs `body` in a child process that has dropped root's privileges, and
  // returns its exit status.
  static int as_nobody(const std::function<int()>& body) {
    const pid_t child = ::fork();
    if (child == 0) {
      if (::getuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(99);
      ::_exit(body());
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  test::TempTree tree_;
  NativeFileSystem fs_;
};

TEST_F(Platform, ListsKindSizeTimeAndTheDirectoryItself) {
  tree_.write("b", "12345", 1700000000123456789);
  tree_.mkdir("C");
  ASSERT_EQ(::symlink("missing-target", tree_.path("dangling").c_str()), 0);
  ASSERT_EQ(::mkfifo(tree_.path("fifo").c_str(), 0644), 0);
  ::chmod(tree_.root().c_str(), 0751);
  const Listing listing = list();
  ASSERT_EQ(listing.status, ListStatus::kOk);
  std::vector<std::string> names;
  for (const DirEntry& e : listing.entries) names.push_back(e.name);
  EXPECT_EQ(names, (std::vector<std::string>{"C", "b", "dangling"}));
  EXPECT_EQ(listing.entries[1].size, 5u);
  EXPECT_EQ(listing.entries[1].last_write, (FileTime{1700000000, 123456789}));
  EXPECT_EQ(listing.entries[0].kind, EntryKind::kDirectory);
  EXPECT_EQ(listing.entries[2].kind, EntryKind::kSymlink);
  EXPECT_EQ(listing.attributes.mode, 0751u);
  EXPECT_EQ(listing.attributes.owner, ::getuid());
  EXPECT_EQ(std::optional<FileId>(listing.id), fs_.identity(tree_.root()));
  EXPECT_NE(fs_.identity(tree_.path("C")), fs_.identity(tree_.root()));
  EXPECT_EQ(fs_.identity(tree_.path("nope")), std::nullopt);
}

// Through FUSE with no attribute caching (as over SFTP), each name's attributes
// come with its lookup: a listing must still see exactly what the backing
// directory holds, also after a change made behind the mount's back.
TEST_F(Platform, ThroughFuseAListingSeesWhatTheBackingDirectoryHolds) {
  tree_.write("real/b", "12345", 1700000000123456789);
  tree_.mkdir("real/C");
  tree_.mkdir("view");
  ASSERT_EQ(::symlink("b", tree_.path("real/link").c_str()), 0);
  ::chmod(tree_.path("real/b").c_str(), 0640);
  const std::string mount = "bindfs -o attr_timeout=0,entry_timeout=0,negative_timeout=0 '" + tree_.path("real") +
                            "' '" + tree_.path("view") + "' 2>/dev/null";
  if (std::system(mount.c_str()) != 0) GTEST_SKIP() << "no bindfs through FUSE here (package bindfs)";
  const auto same_entries = [&] {
    const Listing real = list("real/"), view = list("view/");
    EXPECT_EQ(view.status, ListStatus::kOk);
    EXPECT_EQ(view.entries.size(), 3u);
    if (real.entries.size() != view.entries.size()) return false;
    for (size_t i = 0; i < real.entries.size(); ++i) {
      const DirEntry &a = real.entries[i], &b = view.entries[i];
      if (a.name != b.name || a.kind != b.kind || a.size != b.size || !(a.last_write == b.last_write) ||
          a.attributes != b.attributes) {
        ADD_FAILURE() << a.name << ": " << a.size << " " << a.last_write.seconds << "." << a.last_write.nanoseconds
                      << " against " << b.size << " " << b.last_write.seconds << "." << b.last_write.nanoseconds;
        return false;
      }
    }
    return true;
  };
  EXPECT_TRUE(same_entries());
  for (int round = 0; round < 20; ++round) {
    // Each round changes the file behind the mount and lists at once.
    tree_.write("real/b", std::string(static_cast<size_t>(round) + 1, 'x'), 1700000000000000000 + round * 1001);
    if (!same_entries()) break;
  }
  [[maybe_unused]] const int unmounted = std::system(("fusermount -u '" + tree_.path("view") + "'").c_str());
}

TEST_F(Platform, ListingTellsMissingFromUnreadable) {
  EXPECT_EQ(list("nope/").status, ListStatus::kMissing);
  tree_.write("file", "x");
  EXPECT_EQ(list("file/").status, ListStatus::kUnreadable);
  EXPECT_EQ(list("file/").reason, "Not a directory");
}

TEST_F(Platform, ADirectoryThatCannotBeSearchedIsUnreadableNotEmpty) {
  tree_.write("locked/f", "x");
  ::chmod(tree_.path("locked").c_str(), 0644);
  ::chmod(tree_.root().c_str(), 0755);
  const int status = as_nobody([&] {
    Listing listing;
    fs_.list_directory(root(), "locked/", listing);
    return listing.status == ListStatus::kUnreadable ? 0 : 1;
  });
  ::chmod(tree_.path("locked").c_str(), 0755);
  if (status == 99) GTEST_SKIP() << "cannot drop privileges here";
  EXPECT_EQ(status, 0) << "an entry that cannot be examined was dropped silently";
}

TEST_F(Platform, CopyKeepsContentModeAndNanosecondTime) {
  std::string content(3 << 20, '\0');
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7 + i / 251);
  tree_.write("src", content, 1600000000987654321);
  ::chmod(tree_.path("src").c_str(), 0751);
  tree_.write("dst", "old and longer than nothing");
  ::chmod(tree_.path("dst").c_str(), 0444);  // read-only targets are replaced too
  ASSERT_TRUE(copy("src", "dst").ok);
  EXPECT_EQ(test::read_file(tree_.path("dst")), content);
  EXPECT_EQ(test::mtime_ns(tree_.path("dst")), 1600000000987654321);
  EXPECT_EQ(test::mode_of(tree_.path("dst")), 0751u);
  EXPECT_EQ(names_in(tree_.root()), (std::vector<std::string>{"dst", "src"}));
}

TEST_F(Platform, CopyKeepsTheModeWhereTheDirectoryPassesOnAnAcl) {
  tree_.write("src", "s", 1600000000000000000);
  ::chmod(tree_.path("src").c_str(), 0644);
  tree_.mkdir("acl");
  // A default ACL that gives new files nothing beyond their owner's rw.
  const std::uint16_t blob[] = {2, 0, 0x01, 6, 0xffff, 0xffff, 0x04, 0, 0xffff, 0xffff, 0x20, 0, 0xffff, 0xffff};
  if (::setxattr(tree_.path("acl").c_str(), "system.posix_acl_default", blob, sizeof blob, 0) != 0) {
    GTEST_SKIP() << "no ACLs on this file system: " << std::strerror(errno);
  }
  ASSERT_TRUE(copy("src", "acl/f").ok);
  EXPECT_EQ(test::mode_of(tree_.path("acl/f")), 0644u);
}

TEST_F(Platform, CopyKeepsOwnerAndGroupAndNeverASetIdBitItCannotBackWithItsOwner) {
  if (::geteuid() != 0) GTEST_SKIP() << "giving files to other owners needs root";
  tree_.write("tool", "#!/bin/sh\n");
  ASSERT_EQ(::chown(tree_.path("tool").c_str(), 1234, 5678), 0);
  ASSERT_EQ(::chmod(tree_.path("tool").c_str(), 06755), 0);
  ASSERT_TRUE(copy("tool", "copy").ok);
  struct stat st{};
  ASSERT_EQ(::stat(tree_.path("copy").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 1234u);
  EXPECT_EQ(st.st_gid, 5678u);
  EXPECT_EQ(st.st_mode & 07777, 06755u);
  // A user who may not give the copy that owner gets no set-id bits at all.
  ::chmod(tree_.root().c_str(), 0777);
  const int status = as_nobody([&] {
    NativeFileSystem fs;
    if (!copy_into(fs, root(), "tool", "mine", false).ok) return 2;
    struct stat mine{};
    ::stat(tree_.path("mine").c_str(), &mine);
    return mine.st_uid == 65534 && (mine.st_mode & 07777) == 0755 ? 0 : 1;
  });
  EXPECT_EQ(status, 0);
}

TEST_F(Platform, CopyKeepsHoles) {
  const std::string path = tree_.path("sparse");
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::pwrite(fd, "data", 4, 0), 4);
  ASSERT_EQ(::pwrite(fd, "tail", 4, (off_t{1} << 30) - 4), 4);  // 1 GiB, 8 bytes of data
  ::close(fd);
  struct stat st{};
  ::stat(path.c_str(), &st);
  if (st.st_blocks * 512 >= st.st_size) GTEST_SKIP() << "this file system keeps no holes";
  ASSERT_TRUE(copy("sparse", "copy").ok);
  struct stat copied{};
  ASSERT_EQ(::stat(tree_.path("copy").c_str(), &copied), 0);
  EXPECT_EQ(copied.st_size, st.st_size);
  EXPECT_LE(copied.st_blocks, st.st_blocks + 16) << "the copy filled its holes";
  char head[4];
  char tail[4];
  const int in = ::open(tree_.path("copy").c_str(), O_RDONLY);
  ASSERT_EQ(::pread(in, head, 4, 0), 4);
  ASSERT_EQ(::pread(in, tail, 4, (off_t{1} << 30) - 4), 4);
  ::close(in);
  EXPECT_EQ(std::string(head, 4), "data");
  EXPECT_EQ(std::string(tail, 4), "tail");
}

TEST_F(Platform, CopyRecreatesALinkWithItsTime) {
  ASSERT_EQ(::symlink("../elsewhere", tree_.path("link").c_str()), 0);
  test::set_mtime_ns(tree_.path("link"), 1500000000000000001);
  ASSERT_TRUE(copy("link", "copy").ok);
  char target[64] = {};
  ASSERT_GT(::readlink(tree_.path("copy").c_str(), target, sizeof target), 0);
  EXPECT_STREQ(target, "../elsewhere");
  EXPECT_EQ(test::mtime_ns(tree_.path("copy")), 1500000000000000001);
}

TEST_F(Platform, AFailedCopyLeavesTheTargetAndNoTemporaryAndSaysWhy) {
  tree_.write("dst", "precious");
  // Missing source, a fifo source (never opened for reading) and a directory target.
  EXPECT_EQ(copy("gone", "dst").reason, tree_.path("gone") + ": No such file or directory");
  ASSERT_EQ(::mkfifo(tree_.path("fifo").c_str(), 0644), 0);
  EXPECT_FALSE(copy("fifo", "dst").ok);
  tree_.write("src", "new");
  tree_.write("dir/inner", "kept");
  EXPECT_EQ(copy("src", "dir").reason, tree_.path("dir") + ": Is a directory");
  // A new file never replaces an entry that is already there.
  EXPECT_EQ(copy("src", "dst", false).reason, tree_.path("dst") + ": File exists");
  EXPECT_EQ(test::read_file(tree_.path("dir/inner")), "kept");
  EXPECT_EQ(test::read_file(tree_.path("dst")), "precious");
  EXPECT_EQ(names_in(tree_.root()), (std::vector<std::string>{"dir", "dst", "fifo", "src"}));
  EXPECT_EQ(names_in(tree_.path("dir")), std::vector<std::string>{"inner"});
}

TEST_F(Platform, AWriteThatFailsHalfwayLeavesTheTargetAndNoTemporary) {
  tree_.write("src", std::string(3 << 20, 'n'));
  tree_.write("dst", "precious");
  // A file-size limit makes the write fail after the first megabyte, for root too.
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::signal(SIGXFSZ, SIG_IGN);
    const struct rlimit limit = {1 << 20, 1 << 20};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    const Outcome outcome = copy("src", "dst");
    // The failure is the target's, and says so.
    ::_exit(!outcome.ok && outcome.reason.rfind(tree_.path("dst") + ": ", 0) == 0 ? 1 : 0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1) << "the copy must report its failure at the target";
  EXPECT_EQ(test::read_file(tree_.path("dst")), "precious");
  EXPECT_EQ(names_in(tree_.root()), (std::vector<std::string>{"dst", "src"}));
}

TEST_F(Platform, NothingBelowTheRootIsReachedThroughALink) {
  test::TempTree outside;
  outside.write("victim", "keep");
  ::chmod(outside.root().c_str(), 0755);
  tree_.write("src", "new");
  ASSERT_EQ(::symlink(outside.root().c_str(), tree_.path("sub").c_str()), 0);
  EXPECT_FALSE(copy("src", "sub/f").ok);
  EXPECT_FALSE(copy("src", "sub/victim").ok);
  EXPECT_FALSE(fs_.remove_file(root(), "sub/victim").ok);
  EXPECT_EQ(fs_.make_directory(root(), "sub/new/"), DirectoryMade::kFailed);
  EXPECT_EQ(fs_.make_directory(root(), "sub/"), DirectoryMade::kFailed);
  fs_.set_attributes(root(), "sub/", {0700, 0, 0});
  EXPECT_FALSE(fs_.remove_directory(root(), "sub/"));
  EXPECT_EQ(names_in(outside.root()), std::vector<std::string>{"victim"});
  EXPECT_EQ(test::read_file(outside.path("victim")), "keep");
  EXPECT_EQ(test::mode_of(outside.root()) & 0777, 0755u);
  // The root itself may be a link: the user named it.
  EXPECT_TRUE(copy_into(fs_, tree_.path("sub") + "/", "src", "f", false).ok);
  EXPECT_EQ(test::read_file(outside.path("f")), "new");
}

TEST_F(Platform, DirectoriesAreMadePrivateThenSettled) {
  EXPECT_EQ(fs_.make_directory(root(), "d/"), DirectoryMade::kCreated);
  EXPECT_EQ(test::mode_of(tree_.path("d")) & 0777, 0700u);
  EXPECT_EQ(fs_.make_directory(root(), "d/"), DirectoryMade::kExisted);
  EXPECT_EQ(fs_.make_directory(root(), "x/y/"), DirectoryMade::kFailed);
  fs_.set_attributes(root(), "d/", {02751, ::getuid(), ::getgid()});
  EXPECT_EQ(test::mode_of(tree_.path("d")) & 07777, 02751u);
  tree_.write("d/f", "");
  EXPECT_FALSE(fs_.remove_directory(root(), "d/"));
  EXPECT_TRUE(fs_.remove_file(root(), "d/f").ok);
  EXPECT_TRUE(fs_.remove_directory(root(), "d/"));
  EXPECT_FALSE(fs_.remove_directory(root(), "")) << "the root stays";
  EXPECT_TRUE(fs_.make_root(tree_.path("new/deeper")).ok);
  tree_.write("plain", "x");
  EXPECT_FALSE(fs_.make_root(tree_.path("plain")).ok);
}

TEST_F(Platform, RemovesReadOnlyFilesAndStaleTemporariesButNotOneInUse) {
  tree_.write("ro", "x");
  ::chmod(tree_.path("ro").c_str(), 0444);
  EXPECT_TRUE(fs_.remove_file(root(), "ro").ok);
  EXPECT_EQ(fs_.remove_file(root(), "ro").reason, tree_.path("ro") + ": No such file or directory");
  tree_.write(".qmr-aaaaaaaa.tmp", "stale");
  tree_.write(".qmr-bbbbbbbb.tmp", "being written");
  const int held = ::open(tree_.path(".qmr-bbbbbbbb.tmp").c_str(), O_RDWR);
  ASSERT_EQ(::flock(held, LOCK_EX), 0);
  // The lock belongs to that open file, so this process's own check meets it too.
  EXPECT_TRUE(fs_.remove_stale_temporary(root(), ".qmr-aaaaaaaa.tmp"));
  EXPECT_FALSE(fs_.remove_stale_temporary(root(), ".qmr-bbbbbbbb.tmp"));
  ::close(held);
  EXPECT_EQ(names_in(tree_.root()), std::vector<std::string>{".qmr-bbbbbbbb.tmp"});
}

TEST_F(Platform, ResolvesLinksDotsAndMissingTails) {
  tree_.mkdir("real/sub");
  ASSERT_EQ(::symlink("real", tree_.path("link").c_str()), 0);
  const std::string real = fs_.resolve_path(tree_.path("real"));
  EXPECT_EQ(fs_.resolve_path(tree_.path("link/")), real);
  EXPECT_EQ(fs_.resolve_path(tree_.path("real/sub/..")), real);
  EXPECT_EQ(fs_.resolve_path(tree_.path("link/new/deeper/")), real + "/new/deeper");
  EXPECT_EQ(fs_.resolve_path(tree_.path("link/new/../other")), real + "/other");
  EXPECT_EQ(fs_.resolve_path("/"), "/");
}

TEST(PlatformText, TimeTextHasTheFixedForm) {
  const std::string text = current_time_text();
  ASSERT_EQ(text.size(), 25u) << text;
  EXPECT_EQ(text.back(), '\n');
  EXPECT_EQ(text[3], ' ');
  EXPECT_EQ(text[13], ':');
  EXPECT_EQ(text[16], ':');
  EXPECT_EQ(console_text("\xe9t\xe9"), "\xe9t\xe9");
}

}  // namespace
}  // namespace qmr
