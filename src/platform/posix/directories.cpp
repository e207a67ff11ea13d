// POSIX directory handles and walking: the roots opened once, every directory
// below them reached from a root's handle without following a link, listings
// read through those handles, and directories made, settled and removed the
// same way.
#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <linux/magic.h>
#include <linux/openat2.h>
#include <sys/ioctl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <sys/xattr.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <tuple>

#include "platform/posix/internal.h"

namespace qmr {

namespace posix {

void Fd::reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

std::string why(const std::string& path, int error) { return path + ": " + std::strerror(error); }

FileTime file_time(const struct timespec& t) {
  return {static_cast<std::int64_t>(t.tv_sec), static_cast<std::uint32_t>(t.tv_nsec)};
}

std::pair<std::string_view, std::string_view> split_last(std::string_view relative) {
  const size_t cut = relative.find_last_of('/');
  if (cut == std::string_view::npos) return {std::string_view(), relative};
  return {relative.substr(0, cut + 1), relative.substr(cut + 1)};
}

bool apply_owner_and_mode(int fd, const struct stat& st) {
  struct stat now = st;
  if (::fchown(fd, st.st_uid, st.st_gid) != 0) {
    // The group alone, then: whatever was given, the mode follows.
    [[maybe_unused]] const int group_given = ::fchown(fd, static_cast<uid_t>(-1), st.st_gid);
    if (::fstat(fd, &now) != 0) return false;
  }
  const Attributes wanted{static_cast<std::uint32_t>(st.st_mode), st.st_uid, st.st_gid};
  return ::fchmod(fd, static_cast<mode_t>(kept_mode(wanted, now.st_uid, now.st_gid))) == 0;
}

mode_t creation_mask() {
  const mode_t mask = ::umask(022);
  ::umask(mask);
  return mask;
}

bool append_only(int dirfd) {
  int flags = 0;
  return ::ioctl(dirfd, FS_IOC_GETFLAGS, &flags) == 0 && (flags & FS_APPEND_FL) != 0;
}

}  // namespace posix

using posix::DirectoryHandle;
using posix::Fd;
using posix::why;

namespace {

constexpr size_t kKeptDirectories = 16;

std::string_view trim_separators(std::string_view relative_dir) {
  while (!relative_dir.empty() && relative_dir.back() == '/') relative_dir.remove_suffix(1);
  return relative_dir;
}

// Opens `relative_dir` below `base` one component at a time, none of them
// followed if it is a link.
Fd open_by_components(int base, std::string_view relative_dir) {
  Fd dir(::openat(base, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  size_t start = 0;
  while (dir.get() >= 0 && start < relative_dir.size()) {
    const size_t end = relative_dir.find('/', start);
    const std::string part(relative_dir.substr(start, end - start));
    start = end == std::string_view::npos ? relative_dir.size() : end + 1;
    if (part.empty()) continue;
    dir = Fd(::openat(dir.get(), part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  }
  return dir;
}

// Opens `relative_dir` below `base` in one call where the kernel can refuse
// every link and every way out on the path; false when it has no such call.
bool open_beneath(int base, std::string_view relative_dir, Fd& opened) {
  struct open_how how{};
  how.flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
  const std::string path = relative_dir.empty() ? std::string(".") : std::string(relative_dir);
  const long fd = ::syscall(SYS_openat2, base, path.c_str(), &how, sizeof how);
  if (fd < 0 && (errno == ENOSYS || errno == EPERM)) return false;  // none, or filtered
  opened.reset(static_cast<int>(fd));
  return true;
}

}  // namespace

Fd NativeFileSystem::State::open_directory(const std::string& root, std::string_view relative_dir) {
  int base = -1;
  int error = EBADF;  // a root the run never opened
  {
    const std::lock_guard<std::mutex> lock(mutex);
    const auto found = roots.find(root);
    if (found != roots.end()) std::tie(base, error) = std::pair(found->second.first.get(), found->second.second);
  }
  if (base < 0) {
    errno = error;
    return Fd();
  }
  relative_dir = trim_separators(relative_dir);
  Fd opened;
  if (openat2_missing.load(std::memory_order_relaxed) || !open_beneath(base, relative_dir, opened)) {
    openat2_missing.store(true, std::memory_order_relaxed);
    opened = open_by_components(base, relative_dir);
  }
  if (opened.get() < 0 && errno == ELOOP) errno = ENOTDIR;  // a link where a directory should be
  return opened;
}

DirectoryHandle NativeFileSystem::State::directory(const std::string& root,
                                                   std::string_view relative_dir) {
  {
    const std::lock_guard<std::mutex> lock(mutex);
    for (auto it = kept.rbegin(); it != kept.rend(); ++it) {
      if ((*it)->relative_dir == relative_dir && (*it)->root == root) return *it;
    }
  }
  const std::uint64_t seen = generation.load();
  Fd fd = open_directory(root, relative_dir);
  if (fd.get() < 0) return nullptr;
  const bool append_only = posix::append_only(fd.get());
  struct stat st{};
  const bool known = ::fstat(fd.get(), &st) == 0;
  const bool inherits_acl = ::fgetxattr(fd.get(), "system.posix_acl_default", nullptr, 0) >= 0 ||
                            (errno != ENODATA && errno != ENOTSUP);
  const gid_t group = known && (st.st_mode & S_ISGID) != 0 ? st.st_gid : ::getegid();
  auto made = std::make_shared<posix::OpenDirectory>();
  made->root = root;
  made->relative_dir = relative_dir;
  made->fd = std::move(fd);
  made->append_only = append_only;
  made->plain_creation = known && !inherits_acl;
  made->new_file_group = group;
  const DirectoryHandle handle = std::move(made);
  const std::lock_guard<std::mutex> lock(mutex);
  if (generation.load() == seen) {
    if (kept.size() >= kKeptDirectories) kept.erase(kept.begin());
    kept.push_back(handle);
  }
  return handle;
}

void NativeFileSystem::State::forget_directories() {
  const std::lock_guard<std::mutex> lock(mutex);
  generation.fetch_add(1);
  kept.clear();
}

NativeFileSystem::NativeFileSystem() : state_(new State) {}
NativeFileSystem::~NativeFileSystem() { delete state_; }

const PathStyle& NativeFileSystem::path_style() const { return kPosixPathStyle; }

int NativeFileSystem::interrupted() const { return pending_interrupt(); }

RootStatus NativeFileSystem::open_root(const std::string& root) {
  RootStatus result;
  Fd fd(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  struct stat st{};
  if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0) {
    const int error = errno;
    result.status = error == ENOENT ? ListStatus::kMissing : ListStatus::kUnreadable;
    result.reason = std::strerror(error);
    const std::lock_guard<std::mutex> lock(state_->mutex);
    state_->roots[root] = {Fd(), error};
    return result;
  }
  result.id = {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
  const std::lock_guard<std::mutex> lock(state_->mutex);
  state_->roots[root] = {std::move(fd), 0};
  return result;
}

namespace {

// How many times this thread has given up its core to wait.
long blocked_so_far() {
  struct rusage usage{};
  return ::getrusage(RUSAGE_THREAD, &usage) == 0 ? usage.ru_nvcsw : 0;
}

// A cold disk blocks a listing once or twice, one read bringing in the
// attributes of many names; a network file system once a name.
ListingWait wait_kind(long blocked, size_t names) {
  if (blocked <= 0) return ListingWait::kNever;
  if (blocked >= 16 && static_cast<size_t>(blocked) * 2 >= names) return ListingWait::kEachName;
  return ListingWait::kNowAndThen;
}

// Examines the entry `name` of `dirfd` without following it. Where a FUSE
// file system has just answered the lookup of the name, the attributes that
// came with that answer are taken: asking again, as a plain stat does once
// the file system's attribute time-out is 0, would be a second round trip
// to its server for the same answer.
int examine(int dirfd, const char* name, bool fuse, struct stat& st) {
  if (fuse) {
    struct statx sx{};
    if (::statx(dirfd, name, AT_SYMLINK_NOFOLLOW | AT_STATX_DONT_SYNC, STATX_BASIC_STATS, &sx) == 0) {
      st.st_mode = sx.stx_mode;
      st.st_uid = sx.stx_uid;
      st.st_gid = sx.stx_gid;
      st.st_size = static_cast<off_t>(sx.stx_size);
      st.st_mtim = {static_cast<time_t>(sx.stx_mtime.tv_sec), static_cast<long>(sx.stx_mtime.tv_nsec)};
      return 0;
    }
    if (errno != ENOSYS) return -1;
  }
  return ::fstatat(dirfd, name, &st, AT_SYMLINK_NOFOLLOW);
}

void fail_listing(Listing& listing, ListStatus status, int error) {
  listing.entries.clear();
  listing.status = status;
  listing.reason = std::strerror(error);
}

// The entry `name` of the open directory `dirfd` as a listing shows it;
// false to leave it out (a special file, or one that vanished meanwhile).
// On a failure to examine it, errno is set and `failed` is true.
bool entry_of(int dirfd, const struct dirent& item, bool fuse, DirEntry& entry, bool& failed) {
  const char* name = item.d_name;
  entry.name = name;
  if (item.d_type == DT_DIR) {
    entry.kind = EntryKind::kDirectory;  // its own size and time are never used
    return true;
  }
  struct stat st{};
  if (examine(dirfd, name, fuse, st) != 0) {
    failed = errno != ENOENT;  // vanished since the directory was read: left out
    return false;
  }
  if (S_ISREG(st.st_mode)) {
    entry.kind = EntryKind::kFile;
  } else if (S_ISLNK(st.st_mode)) {
    entry.kind = EntryKind::kSymlink;
  } else if (S_ISDIR(st.st_mode)) {
    entry.kind = EntryKind::kDirectory;
  } else {
    return false;  // fifos, sockets and devices are not mirrored
  }
  entry.size = static_cast<std::uint64_t>(st.st_size);
  entry.last_write = posix::file_time(st.st_mtim);
  if (entry.kind == EntryKind::kFile) {
    entry.attributes = {static_cast<std::uint32_t>(st.st_mode & 07777), static_cast<std::uint32_t>(st.st_uid),
                        static_cast<std::uint32_t>(st.st_gid)};
  }
  return true;
}

// Reads the entries of `stream`, whose descriptor is `dirfd`.
void read_listing(DIR* stream, int dirfd, bool fuse, Listing& listing) {
  for (;;) {
    errno = 0;
    const struct dirent* item = ::readdir(stream);
    if (item == nullptr) {
      if (errno != 0) fail_listing(listing, ListStatus::kUnreadable, errno);
      return;
    }
    const char* name = item->d_name;
    if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
    DirEntry entry;
    bool failed = false;
    if (entry_of(dirfd, *item, fuse, entry, failed)) {
      listing.entries.push_back(std::move(entry));
    } else if (failed) {
      return fail_listing(listing, ListStatus::kUnreadable, errno);
    }
  }
}

}  // namespace

void NativeFileSystem::list_directory(const std::string& root, std::string_view relative_dir,
                                      Listing& listing) {
  state_->pauses.at(PausePoint::kList);
  listing.entries.clear();
  listing.status = ListStatus::kOk;
  listing.reason.clear();
  // A thread that blocks on the file system gives up its core; one answered
  // from the caches does not.
  const long blocked_before = blocked_so_far();
  const auto fail = [&](ListStatus status, int error) { fail_listing(listing, status, error); };
  Fd fd = state_->open_directory(root, relative_dir);
  if (fd.get() < 0) return fail(errno == ENOENT ? ListStatus::kMissing : ListStatus::kUnreadable, errno);
  struct stat self{};
  if (::fstat(fd.get(), &self) != 0) return fail(ListStatus::kUnreadable, errno);
  listing.id = {static_cast<std::uint64_t>(self.st_dev), static_cast<std::uint64_t>(self.st_ino)};
  listing.attributes = {static_cast<std::uint32_t>(self.st_mode & 07777),
                        static_cast<std::uint32_t>(self.st_uid),
                        static_cast<std::uint32_t>(self.st_gid)};
  listing.last_write = posix::file_time(self.st_mtim);
  struct statfs where{};
  const bool fuse = ::fstatfs(fd.get(), &where) == 0 && where.f_type == FUSE_SUPER_MAGIC;
  DIR* stream = ::fdopendir(fd.get());
  if (stream == nullptr) return fail(ListStatus::kUnreadable, errno);
  read_listing(stream, fd.release(), fuse, listing);  // the stream owns the descriptor now
  ::closedir(stream);
  listing.waited = wait_kind(blocked_so_far() - blocked_before, listing.entries.size());
}


Outcome NativeFileSystem::remove_file(const std::string& root, std::string_view relative) {
  state_->pauses.at(PausePoint::kRemove);
  const auto [dir, name] = posix::split_last(relative);
  const DirectoryHandle parent = state_->directory(root, dir);
  if (!parent) return Outcome::failure(why(root + std::string(dir), errno));
  // Unlinking needs write access to the directory only, so a read-only file
  // goes without any change to its own mode.
  if (::unlinkat(parent->fd.get(), std::string(name).c_str(), 0) != 0) {
    return Outcome::failure(why(root + std::string(relative), errno));
  }
  return Outcome::success();
}

bool NativeFileSystem::remove_directory(const std::string& root, std::string_view relative_dir) {
  relative_dir = trim_separators(relative_dir);
  if (relative_dir.empty()) return false;  // the root stays
  const auto [dir, name] = posix::split_last(relative_dir);
  const DirectoryHandle parent = state_->directory(root, dir);
  if (!parent) return false;
  if (::unlinkat(parent->fd.get(), std::string(name).c_str(), AT_REMOVEDIR) != 0) return false;
  state_->forget_directories();
  return true;
}

bool NativeFileSystem::remove_stale_temporary(const std::string& root, std::string_view relative) {
  const auto [dir, name] = posix::split_last(relative);
  const DirectoryHandle parent = state_->directory(root, dir);
  if (!parent) return false;
  const std::string leaf(name);
  Fd file(::openat(parent->fd.get(), leaf.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (file.get() >= 0 && ::flock(file.get(), LOCK_EX | LOCK_NB) != 0) return false;  // in use
  return ::unlinkat(parent->fd.get(), leaf.c_str(), 0) == 0;
}

DirectoryMade NativeFileSystem::make_directory(const std::string& root,
                                               std::string_view relative_dir) {
  const auto [dir, name] = posix::split_last(trim_separators(relative_dir));
  const DirectoryHandle parent = state_->directory(root, dir);
  if (!parent) return DirectoryMade::kFailed;
  const std::string leaf(name);
  if (::mkdirat(parent->fd.get(), leaf.c_str(), 0700) == 0) return DirectoryMade::kCreated;
  struct stat st{};
  if (errno == EEXIST && ::fstatat(parent->fd.get(), leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
      S_ISDIR(st.st_mode)) {
    return DirectoryMade::kExisted;
  }
  return DirectoryMade::kFailed;
}

Outcome NativeFileSystem::set_attributes(const std::string& root, std::string_view relative_dir,
                                         const Attributes& attributes) {
  const DirectoryHandle dir = state_->directory(root, relative_dir);
  if (!dir) return Outcome::failure(why(root + std::string(relative_dir), errno));
  struct stat st{};
  st.st_mode = attributes.mode;
  st.st_uid = attributes.owner;
  st.st_gid = attributes.group;
  if (!posix::apply_owner_and_mode(dir->fd.get(), st)) return Outcome::failure(why(root + std::string(relative_dir), errno));
  return Outcome::success();
}

Outcome NativeFileSystem::set_file_attributes(const std::string& root, std::string_view relative,
                                              const Attributes& wanted, bool& changed) {
  changed = false;
  const std::string path = root + std::string(relative);
  const auto [dir, name] = posix::split_last(relative);
  const DirectoryHandle parent = state_->directory(root, dir);
  if (!parent) return Outcome::failure(why(root + std::string(dir), errno));
  // A handle on the name itself, never what a link there leads to.
  const Fd file(::openat(parent->fd.get(), std::string(name).c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
  struct stat before{};
  if (file.get() < 0 || ::fstat(file.get(), &before) != 0) return Outcome::failure(why(path, errno));
  if (!S_ISREG(before.st_mode)) return Outcome::failure(path + ": no longer a regular file");
  if (before.st_uid != wanted.owner || before.st_gid != wanted.group) {
    if (::fchownat(file.get(), "", wanted.owner, wanted.group, AT_EMPTY_PATH) != 0) {
      [[maybe_unused]] const int group_given =
          ::fchownat(file.get(), "", static_cast<uid_t>(-1), wanted.group, AT_EMPTY_PATH);
    }
  }
  struct stat now{};
  if (::fstat(file.get(), &now) != 0) return Outcome::failure(why(path, errno));
  const auto mode = static_cast<mode_t>(kept_mode(wanted, now.st_uid, now.st_gid));
  if ((now.st_mode & 07777) != mode) {
    // A path handle takes no fchmod; its /proc name reaches the same file.
    const std::string self = "/proc/self/fd/" + std::to_string(file.get());
    if (::chmod(self.c_str(), mode) != 0) return Outcome::failure(why(path, errno));
    if (::fstat(file.get(), &now) != 0) return Outcome::failure(why(path, errno));
  }
  changed = now.st_mode != before.st_mode || now.st_uid != before.st_uid || now.st_gid != before.st_gid;
  return Outcome::success();
}

bool NativeFileSystem::set_directory_time(const std::string& root, std::string_view relative_dir,
                                          FileTime time) {
  const DirectoryHandle dir = state_->directory(root, relative_dir);
  if (!dir) return false;
  const struct timespec times[2] = {{0, UTIME_OMIT},
                                    {static_cast<time_t>(time.seconds), static_cast<long>(time.nanoseconds)}};
  return ::futimens(dir->fd.get(), times) == 0;
}

bool NativeFileSystem::keeps_owners() const { return ::geteuid() == 0; }

std::optional<std::uint32_t> NativeFileSystem::bound_user() const {
  const uid_t user = ::geteuid();
  if (user == 0) return std::nullopt;
  return static_cast<std::uint32_t>(user);
}

Outcome NativeFileSystem::set_directory_mode(const std::string& root, std::string_view relative_dir,
                                             std::uint32_t mode) {
  const DirectoryHandle dir = state_->directory(root, relative_dir);
  if (!dir || ::fchmod(dir->fd.get(), static_cast<mode_t>(mode & 07777)) != 0) {
    return Outcome::failure(why(root + std::string(relative_dir), errno));
  }
  return Outcome::success();
}

}  // namespace qmr
