// POSIX implementation of the platform operations. Directories are read through
// an open descriptor and every entry is examined relative to it, so links are
// never followed; below a destination root every component is opened with
// O_NOFOLLOW, so no task can be led out of the destination by a link.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <random>
#include <vector>

#include "platform/platform.h"
#include "platform/temporary_name.h"

namespace qmr {

namespace {

FileTime file_time(const struct timespec& t) {
  return {static_cast<std::int64_t>(t.tv_sec), static_cast<std::uint32_t>(t.tv_nsec)};
}

std::string why(const std::string& path, int error) { return path + ": " + std::strerror(error); }

// Closes a descriptor when it goes out of scope.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  Fd(Fd&& other) noexcept : fd_(other.release()) {}
  Fd& operator=(Fd&& other) noexcept {
    reset(other.release());
    return *this;
  }
  ~Fd() { reset(); }
  int get() const { return fd_; }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
};

// The temporaries of the copies in flight, where a signal handler can find
// them. This is process-wide by nature: a signal reaches the process, not an
// object. Each slot is claimed by one copy at a time.
struct TemporarySlot {
  std::atomic<int> dirfd{-1};
  char name[32] = {};
};
constexpr size_t kTemporarySlots = 64;
TemporarySlot g_temporaries[kTemporarySlots];

// Claims a slot for a temporary in `dirfd` while it lives.
class TemporaryGuard {
 public:
  TemporaryGuard(int dirfd, const std::string& name) {
    if (name.size() >= sizeof(TemporarySlot::name)) return;
    for (TemporarySlot& slot : g_temporaries) {
      // -2 marks a slot being filled: the handler only reads complete ones.
      int expected = -1;
      if (!slot.dirfd.compare_exchange_strong(expected, -2)) continue;
      std::memcpy(slot.name, name.c_str(), name.size() + 1);
      slot.dirfd.store(dirfd);
      slot_ = &slot;
      return;
    }
  }
  ~TemporaryGuard() {
    if (slot_ != nullptr) slot_->dirfd.store(-1);
  }
  TemporaryGuard(const TemporaryGuard&) = delete;
  TemporaryGuard& operator=(const TemporaryGuard&) = delete;

 private:
  TemporarySlot* slot_ = nullptr;
};

void remove_temporaries_and_die(int signal_number) {
  for (TemporarySlot& slot : g_temporaries) {
    const int dirfd = slot.dirfd.load();
    if (dirfd >= 0) ::unlinkat(dirfd, slot.name, 0);
  }
  ::signal(signal_number, SIG_DFL);
  ::raise(signal_number);
}

std::string next_temporary_name() {
  thread_local std::minstd_rand generator(static_cast<unsigned>(::getpid()) ^
                                          static_cast<unsigned>(std::time(nullptr)) ^
                                          static_cast<unsigned>(::clock()));
  return temporary_name(generator);
}

// Splits "a/b/name" into "a/b/" and "name".
std::pair<std::string_view, std::string_view> split_last(std::string_view relative) {
  const size_t cut = relative.find_last_of('/');
  if (cut == std::string_view::npos) return {std::string_view(), relative};
  return {relative.substr(0, cut + 1), relative.substr(cut + 1)};
}

bool write_all(int fd, const char* data, size_t size, off_t offset) {
  while (size > 0) {
    const ssize_t n = ::pwrite(fd, data, size, offset);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
    offset += n;
  }
  return true;
}

bool copy_by_reading(int in, int out, off_t offset, off_t end) {
  std::vector<char> buffer(size_t{1} << 20);
  while (offset < end) {
    const size_t want = static_cast<size_t>(std::min<off_t>(end - offset, buffer.size()));
    const ssize_t n = ::pread(in, buffer.data(), want, offset);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return true;
    if (!write_all(out, buffer.data(), static_cast<size_t>(n), offset)) return false;
    offset += n;
  }
  return true;
}

// Copies bytes [offset, end) to the same offsets, in the kernel where it can.
bool copy_range(int in, int out, off_t offset, off_t end) {
  while (offset < end) {
    loff_t from = offset;
    loff_t to = offset;
    const ssize_t n = ::copy_file_range(in, &from, out, &to, static_cast<size_t>(end - offset), 0);
    if (n > 0) {
      offset += n;
      continue;
    }
    if (n == 0) return true;
    if (errno == EINTR) continue;
    if (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP ||
        errno == EPERM) {
      return copy_by_reading(in, out, offset, end);
    }
    return false;
  }
  return true;
}

// Copies the content; a file with holes has only its data regions copied, so
// the copy keeps the holes. Where the file system cannot tell holes, all of it.
bool copy_content(int in, int out, const struct stat& st) {
  const off_t size = st.st_size;
  const bool sparse = static_cast<off_t>(st.st_blocks) * 512 < size;
  if (!sparse) return copy_range(in, out, 0, size);
  off_t offset = 0;
  while (offset < size) {
    const off_t data = ::lseek(in, offset, SEEK_DATA);
    if (data < 0) {
      if (errno == ENXIO) break;  // only a hole is left
      return offset == 0 ? copy_range(in, out, 0, size) : false;
    }
    off_t hole = ::lseek(in, data, SEEK_HOLE);
    if (hole < 0) hole = size;
    if (!copy_range(in, out, data, hole)) return false;
    offset = hole;
  }
  return ::ftruncate(out, size) == 0;
}

// Gives `fd` the owner and group of `st` where the process may, then its mode.
// Where the owner (or group) cannot be kept, the setuid (setgid) bit is not
// either: a copy must never be a set-id program of someone else.
bool apply_owner_and_mode(int fd, const struct stat& st) {
  mode_t mode = st.st_mode & 07777;
  if (::fchown(fd, st.st_uid, st.st_gid) != 0) {
    mode &= ~static_cast<mode_t>(S_ISUID);
    if (::fchown(fd, static_cast<uid_t>(-1), st.st_gid) != 0) mode &= ~static_cast<mode_t>(S_ISGID);
  }
  return ::fchmod(fd, mode) == 0;
}

bool same_file_state(const struct stat& a, const struct stat& b) {
  return a.st_size == b.st_size && a.st_mtim.tv_sec == b.st_mtim.tv_sec &&
         a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

// Renames the temporary onto its target; without `replace`, only when the
// target's name (in any spelling the file system takes for it) is free.
int commit(int dirfd, const std::string& temporary, const std::string& name, bool replace) {
  if (replace) return ::renameat(dirfd, temporary.c_str(), dirfd, name.c_str()) == 0 ? 0 : errno;
  if (::renameat2(dirfd, temporary.c_str(), dirfd, name.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return errno;
  struct stat st{};
  if (::fstatat(dirfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) return EEXIST;
  return ::renameat(dirfd, temporary.c_str(), dirfd, name.c_str()) == 0 ? 0 : errno;
}

// An open destination directory, reached from the root without following
// links below it.
struct OpenDirectory {
  std::string root;
  std::string relative_dir;
  Fd fd;
  std::uint64_t generation = 0;
};

// Opens `root` (links followed) and then each component of `relative_dir`
// without following links. Returns an invalid Fd with errno set on failure.
Fd open_below(const std::string& root, std::string_view relative_dir) {
  Fd dir(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() < 0) return dir;
  size_t start = 0;
  while (start < relative_dir.size()) {
    const size_t end = relative_dir.find('/', start);
    const std::string part(relative_dir.substr(start, end - start));
    start = end == std::string_view::npos ? relative_dir.size() : end + 1;
    if (part.empty()) continue;
    Fd next(::openat(dir.get(), part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (next.get() < 0) {
      if (errno == ELOOP) errno = ENOTDIR;  // a link where a directory should be
      return next;
    }
    dir = std::move(next);
  }
  return dir;
}

}  // namespace

// Destination directories kept open between tasks: copies come in runs of one
// directory, so its components are opened once per run, not per file. Each
// task borrows one; several tasks may run at once, each with its own.
struct NativeFileSystem::State {
  std::mutex mutex;
  std::vector<OpenDirectory> idle;
  // Raised whenever a directory is removed: a handle opened before may name a
  // directory that is gone, so it is not kept.
  std::atomic<std::uint64_t> generation{0};
};

namespace {

constexpr size_t kIdleDirectories = 16;

// A directory borrowed for one task, returned when the task ends.
class DirectoryLease {
 public:
  DirectoryLease(NativeFileSystem::State& state, const std::string& root,
                 std::string_view relative_dir)
      : state_(state) {
    {
      const std::lock_guard<std::mutex> lock(state.mutex);
      for (auto it = state.idle.begin(); it != state.idle.end(); ++it) {
        if (it->root == root && it->relative_dir == relative_dir) {
          held_ = std::move(*it);
          state.idle.erase(it);
          return;
        }
      }
    }
    held_.generation = state.generation.load();
    held_.fd = open_below(root, relative_dir);
    if (held_.fd.get() < 0) return;
    held_.root = root;
    held_.relative_dir = relative_dir;
  }
  ~DirectoryLease() {
    if (held_.fd.get() < 0 || held_.generation != state_.generation.load()) return;
    const std::lock_guard<std::mutex> lock(state_.mutex);
    if (state_.idle.size() >= kIdleDirectories) state_.idle.erase(state_.idle.begin());
    state_.idle.push_back(std::move(held_));
  }
  DirectoryLease(const DirectoryLease&) = delete;
  DirectoryLease& operator=(const DirectoryLease&) = delete;

  // The directory's descriptor, or -1 with errno set.
  int fd() const { return held_.fd.get(); }

 private:
  NativeFileSystem::State& state_;
  OpenDirectory held_;
};

// Forgets every kept directory after one was removed.
void forget_directories(NativeFileSystem::State& state) {
  const std::lock_guard<std::mutex> lock(state.mutex);
  state.generation.fetch_add(1);
  state.idle.clear();
}

}  // namespace

NativeFileSystem::NativeFileSystem() : state_(new State) {}
NativeFileSystem::~NativeFileSystem() { delete state_; }

const PathStyle& NativeFileSystem::path_style() const { return kPosixPathStyle; }

void NativeFileSystem::list_directory(const std::string& dir, Listing& listing) {
  listing.entries.clear();
  listing.status = ListStatus::kOk;
  listing.reason.clear();
  auto fail = [&](ListStatus status, int error) {
    listing.entries.clear();
    listing.status = status;
    listing.reason = std::strerror(error);
  };
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return fail(errno == ENOENT ? ListStatus::kMissing : ListStatus::kUnreadable, errno);
  struct stat self{};
  if (::fstat(fd, &self) != 0) {
    fail(ListStatus::kUnreadable, errno);
    ::close(fd);
    return;
  }
  listing.id = {static_cast<std::uint64_t>(self.st_dev), static_cast<std::uint64_t>(self.st_ino)};
  listing.attributes = {static_cast<std::uint32_t>(self.st_mode & 07777),
                        static_cast<std::uint32_t>(self.st_uid),
                        static_cast<std::uint32_t>(self.st_gid)};
  listing.last_write = file_time(self.st_mtim);
  DIR* stream = ::fdopendir(fd);
  if (stream == nullptr) {
    fail(ListStatus::kUnreadable, errno);
    ::close(fd);
    return;
  }
  for (;;) {
    errno = 0;
    const struct dirent* item = ::readdir(stream);
    if (item == nullptr) {
      if (errno != 0) fail(ListStatus::kUnreadable, errno);
      break;
    }
    const char* name = item->d_name;
    if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
    DirEntry entry;
    entry.name = name;
    if (item->d_type == DT_DIR) {
      entry.kind = EntryKind::kDirectory;  // its own size and time are never used
      listing.entries.push_back(std::move(entry));
      continue;
    }
    struct stat st{};
    if (::fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno == ENOENT) continue;  // vanished since the directory was read
      fail(ListStatus::kUnreadable, errno);
      break;
    }
    if (S_ISREG(st.st_mode)) {
      entry.kind = EntryKind::kFile;
    } else if (S_ISLNK(st.st_mode)) {
      entry.kind = EntryKind::kSymlink;
    } else if (S_ISDIR(st.st_mode)) {
      entry.kind = EntryKind::kDirectory;
    } else {
      continue;  // fifos, sockets and devices are not mirrored
    }
    entry.size = static_cast<std::uint64_t>(st.st_size);
    entry.last_write = file_time(st.st_mtim);
    listing.entries.push_back(std::move(entry));
  }
  ::closedir(stream);
}

std::optional<FileId> NativeFileSystem::identity(const std::string& path) {
  struct stat st{};
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  return FileId{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

namespace {

Outcome copy_link(const std::string& from, int dirfd, const std::string& target_path,
                  const std::string& name, const struct stat& st, bool replace) {
  std::string target(static_cast<size_t>(st.st_size) + 1, '\0');
  const ssize_t n = ::readlink(from.c_str(), target.data(), target.size());
  if (n < 0) return Outcome::failure(why(from, errno));
  if (static_cast<size_t>(n) >= target.size()) return Outcome::failure(why(from, EAGAIN));
  target.resize(static_cast<size_t>(n));
  for (int attempt = 0; attempt < 16; ++attempt) {
    const std::string temporary = next_temporary_name();
    if (::symlinkat(target.c_str(), dirfd, temporary.c_str()) != 0) {
      if (errno == EEXIST) continue;
      return Outcome::failure(why(target_path, errno));
    }
    TemporaryGuard guard(dirfd, temporary);
    ::fchownat(dirfd, temporary.c_str(), st.st_uid, st.st_gid, AT_SYMLINK_NOFOLLOW);
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    int error = ::utimensat(dirfd, temporary.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0 ? 0 : errno;
    if (error == 0) error = commit(dirfd, temporary, name, replace);
    if (error == 0) return Outcome::success();
    ::unlinkat(dirfd, temporary.c_str(), 0);
    return Outcome::failure(why(target_path, error));
  }
  return Outcome::failure(why(target_path, EEXIST));
}

Outcome copy_regular(int in, const std::string& from, int dirfd, const std::string& target_path,
                     const std::string& name, const struct stat& before, bool replace) {
  std::string temporary;
  Fd out;
  for (int attempt = 0; attempt < 16 && out.get() < 0; ++attempt) {
    temporary = next_temporary_name();
    out.reset(::openat(dirfd, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (out.get() < 0 && errno != EEXIST) return Outcome::failure(why(target_path, errno));
  }
  if (out.get() < 0) return Outcome::failure(why(target_path, EEXIST));
  TemporaryGuard guard(dirfd, temporary);
  // Held while the copy is written: a run that finds this file meanwhile
  // knows that it is not debris.
  ::flock(out.get(), LOCK_EX | LOCK_NB);
  auto fail = [&](std::string reason) {
    ::unlinkat(dirfd, temporary.c_str(), 0);
    return Outcome::failure(std::move(reason));
  };
  if (!copy_content(in, out.get(), before)) {
    // Tell a read failure at the source from a write failure at the target.
    const int error = errno;
    char probe;
    if (::pread(in, &probe, 1, 0) < 0) return fail(why(from, errno));
    return fail(why(target_path, error));
  }
  const struct timespec times[2] = {before.st_atim, before.st_mtim};
  if (!apply_owner_and_mode(out.get(), before) || ::futimens(out.get(), times) != 0) {
    return fail(why(target_path, errno));
  }
  // A source that changes while it is read would leave a copy that carries the
  // source's time without its content; such a copy is thrown away.
  struct stat after{};
  if (::fstat(in, &after) != 0 || !same_file_state(before, after)) {
    return fail(from + ": changed while it was copied");
  }
  if (::close(out.release()) != 0) return fail(why(target_path, errno));
  const int error = commit(dirfd, temporary, name, replace);
  if (error != 0) return fail(why(target_path, error));
  return Outcome::success();
}

}  // namespace

Outcome NativeFileSystem::copy_file(const std::string& from, const std::string& root,
                                    std::string_view relative, bool replace) {
  const std::string target_path = root + std::string(relative);
  // O_NONBLOCK: a source replaced by a fifo since the scan must not hang the run.
  Fd in(::open(from.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat st{};
  if (in.get() < 0) {
    const int error = errno;
    if (error != ELOOP && error != EMLINK) return Outcome::failure(why(from, error));
    if (::lstat(from.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
      return Outcome::failure(why(from, error));
    }
  } else if (::fstat(in.get(), &st) != 0) {
    return Outcome::failure(why(from, errno));
  } else if (!S_ISREG(st.st_mode)) {
    return Outcome::failure(from + ": not a regular file");
  }
  const auto [dir, name] = split_last(relative);
  const DirectoryLease lease(*state_, root, dir);
  const int dirfd = lease.fd();
  if (dirfd < 0) return Outcome::failure(why(root + std::string(dir), errno));
  const std::string leaf(name);
  if (!replace) {
    struct stat existing{};
    if (::fstatat(dirfd, leaf.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0) {
      return Outcome::failure(why(target_path, EEXIST));
    }
  }
  if (in.get() < 0) return copy_link(from, dirfd, target_path, leaf, st, replace);
  return copy_regular(in.get(), from, dirfd, target_path, leaf, st, replace);
}

Outcome NativeFileSystem::remove_file(const std::string& root, std::string_view relative) {
  const auto [dir, name] = split_last(relative);
  const DirectoryLease lease(*state_, root, dir);
  const int dirfd = lease.fd();
  if (dirfd < 0) return Outcome::failure(why(root + std::string(dir), errno));
  // Unlinking needs write access to the directory only, so a read-only file
  // goes without any change to its own mode.
  if (::unlinkat(dirfd, std::string(name).c_str(), 0) != 0) {
    return Outcome::failure(why(root + std::string(relative), errno));
  }
  return Outcome::success();
}

bool NativeFileSystem::remove_directory(const std::string& root, std::string_view relative_dir) {
  while (!relative_dir.empty() && relative_dir.back() == '/') relative_dir.remove_suffix(1);
  if (relative_dir.empty()) return false;  // the root stays
  const auto [parent, name] = split_last(relative_dir);
  const DirectoryLease lease(*state_, root, parent);
  const int dirfd = lease.fd();
  if (dirfd < 0) return false;
  if (::unlinkat(dirfd, std::string(name).c_str(), AT_REMOVEDIR) != 0) return false;
  forget_directories(*state_);  // a kept directory may have been this one
  return true;
}

bool NativeFileSystem::remove_stale_temporary(const std::string& root, std::string_view relative) {
  const auto [dir, name] = split_last(relative);
  const DirectoryLease lease(*state_, root, dir);
  const int dirfd = lease.fd();
  if (dirfd < 0) return false;
  const std::string leaf(name);
  Fd file(::openat(dirfd, leaf.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (file.get() >= 0 && ::flock(file.get(), LOCK_EX | LOCK_NB) != 0) return false;  // in use
  return ::unlinkat(dirfd, leaf.c_str(), 0) == 0;
}

DirectoryMade NativeFileSystem::make_directory(const std::string& root,
                                               std::string_view relative_dir) {
  while (!relative_dir.empty() && relative_dir.back() == '/') relative_dir.remove_suffix(1);
  const auto [parent, name] = split_last(relative_dir);
  const DirectoryLease lease(*state_, root, parent);
  const int dirfd = lease.fd();
  if (dirfd < 0) return DirectoryMade::kFailed;
  const std::string leaf(name);
  if (::mkdirat(dirfd, leaf.c_str(), 0700) == 0) return DirectoryMade::kCreated;
  struct stat st{};
  if (errno == EEXIST && ::fstatat(dirfd, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
      S_ISDIR(st.st_mode)) {
    return DirectoryMade::kExisted;
  }
  return DirectoryMade::kFailed;
}

void NativeFileSystem::set_attributes(const std::string& root, std::string_view relative_dir,
                                      const Attributes& attributes) {
  const DirectoryLease lease(*state_, root, relative_dir);
  const int dirfd = lease.fd();
  if (dirfd < 0) return;
  struct stat st{};
  st.st_mode = attributes.mode;
  st.st_uid = attributes.owner;
  st.st_gid = attributes.group;
  apply_owner_and_mode(dirfd, st);
}

Outcome NativeFileSystem::make_root(const std::string& path) {
  std::string prefix;
  size_t start = 0;
  while (start <= path.size()) {
    const size_t end = path.find('/', start);
    prefix = path.substr(0, end);
    start = end == std::string::npos ? path.size() + 1 : end + 1;
    if (prefix.empty()) continue;
    if (::mkdir(prefix.c_str(), 0777) != 0 && errno != EEXIST) return Outcome::failure(why(prefix, errno));
  }
  struct stat st{};
  if (::stat(path.c_str(), &st) != 0) return Outcome::failure(why(path, errno));
  if (!S_ISDIR(st.st_mode)) return Outcome::failure(why(path, ENOTDIR));
  return Outcome::success();
}

std::string NativeFileSystem::resolve_path(const std::string& path) {
  std::string absolute = path;
  if (absolute.empty() || absolute[0] != '/') {
    std::vector<char> cwd(PATH_MAX + 1);
    if (::getcwd(cwd.data(), cwd.size()) != nullptr) absolute = std::string(cwd.data()) + "/" + path;
  }
  // Peel off components until an existing ancestor resolves, then put the
  // missing ones back, applying "." and ".." to them by their spelling.
  std::vector<std::string> missing;
  std::string existing = absolute;
  std::string resolved;
  for (;;) {
    char* real = ::realpath(existing.empty() ? "/" : existing.c_str(), nullptr);
    if (real != nullptr) {
      resolved = real;
      std::free(real);
      break;
    }
    while (!existing.empty() && existing.back() == '/') existing.pop_back();
    const size_t cut = existing.find_last_of('/');
    if (cut == std::string::npos) break;
    missing.push_back(existing.substr(cut + 1));
    existing.resize(cut);
  }
  for (auto part = missing.rbegin(); part != missing.rend(); ++part) {
    if (part->empty() || *part == ".") continue;
    if (*part == "..") {
      const size_t cut = resolved.find_last_of('/');
      resolved.resize(cut == std::string::npos || cut == 0 ? 1 : cut);
      continue;
    }
    if (resolved.empty() || resolved.back() != '/') resolved += '/';
    resolved += *part;
  }
  return resolved;
}

namespace {

bool equal_ignoring_ascii_case(std::string_view a, std::string_view b) {
  return a.size() == b.size() && ::strncasecmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace

std::string NativeFileSystem::stored_spelling(const std::string& resolved) {
  std::string result;
  size_t start = 0;
  while (start < resolved.size()) {
    const size_t end = resolved.find('/', start);
    const std::string part = resolved.substr(start, end - start);
    start = end == std::string::npos ? resolved.size() : end + 1;
    if (part.empty()) continue;
    const std::string parent = result.empty() ? "/" : result;
    std::string stored = part;
    // A name the directory finds but does not list exactly is stored in
    // another case: take the one listed spelling that matches.
    if (DIR* dir = ::opendir(parent.c_str())) {
      std::string candidate;
      int candidates = 0;
      bool exact = false;
      while (const struct dirent* item = ::readdir(dir)) {
        if (part == item->d_name) exact = true;
        if (equal_ignoring_ascii_case(part, item->d_name)) {
          candidate = item->d_name;
          ++candidates;
        }
      }
      ::closedir(dir);
      if (!exact && candidates == 1) stored = candidate;
    }
    result += "/" + stored;
  }
  return result.empty() ? "/" : result;
}

void install_interrupt_cleanup() {
  struct sigaction action{};
  action.sa_handler = remove_temporaries_and_die;
  sigemptyset(&action.sa_mask);
  for (const int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction old{};
    // A signal ignored by the caller (nohup) stays ignored.
    if (::sigaction(signal_number, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
    ::sigaction(signal_number, &action, nullptr);
  }
}

void set_console_title(const std::string& title) {
  if (!stdout_is_terminal()) return;
  // Control bytes in a path could end the escape sequence early and smuggle
  // other sequences to the terminal; they are left out of the title.
  std::string safe;
  for (const char c : title) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte != 0x7f) safe += c;
  }
  std::fputs(("\033]0;" + safe + "\007").c_str(), stdout);
}

bool stdout_is_terminal() { return ::isatty(STDOUT_FILENO) == 1; }

std::vector<std::string> command_line_arguments(int argc, const char* const* argv) {
  return std::vector<std::string>(argv, argv + argc);
}

// Names are bytes on POSIX: printed as they are, whatever their encoding.
std::string console_text(std::string_view text) { return std::string(text); }

std::string current_time_text() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  ::localtime_r(&now, &local);
  char text[64];
  const size_t n = std::strftime(text, sizeof text, "%a %b %e %H:%M:%S %Y\n", &local);
  return std::string(text, n);
}

}  // namespace qmr
