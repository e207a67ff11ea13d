// POSIX copies: the source opened below its root without following links and
// read only when it is the regular file (or link) the scan saw, the content
// written in chunks under a temporary name beside the target, so that an
// interrupt can abandon it between two chunks, and renamed over the target
// when the copy is committed.
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "platform/posix/internal.h"
#include "platform/native.h"
#include "platform/temporary_name.h"

namespace qmr {

using posix::DirectoryHandle;
using posix::Fd;
using posix::why;

namespace {

// Big enough to keep the kernel's copy fast, small enough that an interrupt
// is answered within a fraction of a second.
constexpr off_t kChunk = off_t{8} << 20;

const char kInterrupted[] = "interrupted";

std::uint32_t process_number() { return static_cast<std::uint32_t>(::getpid()); }

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

using Progress = std::function<void(std::uint64_t)>;

void tell(const Progress& progress, off_t done) {
  if (progress) progress(static_cast<std::uint64_t>(done));
}

bool copy_by_reading(int in, int out, off_t offset, off_t end, const Progress& progress) {
  std::vector<char> buffer(size_t{1} << 20);
  while (offset < end) {
    if (pending_interrupt() != 0) return errno = EINTR, false;
    const size_t want = static_cast<size_t>(std::min<off_t>(end - offset, buffer.size()));
    const ssize_t n = ::pread(in, buffer.data(), want, offset);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return true;
    if (!write_all(out, buffer.data(), static_cast<size_t>(n), offset)) return false;
    offset += n;
    tell(progress, offset);
  }
  return true;
}

// Copies bytes [offset, end) to the same offsets, in the kernel where it can,
// a chunk at a time.
bool copy_range(int in, int out, off_t offset, off_t end, const Progress& progress) {
  while (offset < end) {
    if (pending_interrupt() != 0) return errno = EINTR, false;
    loff_t from = offset;
    loff_t to = offset;
    const size_t want = static_cast<size_t>(std::min(end - offset, kChunk));
    const ssize_t n = ::copy_file_range(in, &from, out, &to, want, 0);
    if (n > 0) {
      offset += n;
      tell(progress, offset);
      continue;
    }
    if (n == 0) return true;
    if (errno == EINTR) continue;
    if (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP ||
        errno == EPERM) {
      return copy_by_reading(in, out, offset, end, progress);
    }
    return false;
  }
  return true;
}

// Copies the content; a file with holes has only its data regions copied, so
// the copy keeps the holes. Where the file system cannot tell holes, all of it.
bool copy_content(int in, int out, const struct stat& st, const Progress& progress) {
  const off_t size = st.st_size;
  const bool sparse = static_cast<off_t>(st.st_blocks) * 512 < size;
  if (!sparse) return copy_range(in, out, 0, size, progress);
  off_t offset = 0;
  while (offset < size) {
    const off_t data = ::lseek(in, offset, SEEK_DATA);
    if (data < 0) {
      if (errno == ENXIO) break;  // only a hole is left
      return offset == 0 ? copy_range(in, out, 0, size, progress) : false;
    }
    off_t hole = ::lseek(in, data, SEEK_HOLE);
    if (hole < 0) hole = size;
    if (!copy_range(in, out, data, hole, progress)) return false;
    offset = hole;
  }
  return ::ftruncate(out, size) == 0;
}

bool same_file_state(const struct stat& a, const struct stat& b) {
  return a.st_size == b.st_size && a.st_mtim.tv_sec == b.st_mtim.tv_sec &&
         a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

// Renames the temporary onto its target; without `replace`, only when the
// target's name (in any spelling the file system takes for it) is free.
int commit_rename(const posix::OpenDirectory& dir, const std::string& temporary, const std::string& name,
                  bool replace) {
  const int dirfd = dir.fd.get();
  if (replace) return ::renameat(dirfd, temporary.c_str(), dirfd, name.c_str()) == 0 ? 0 : errno;
  if (!dir.no_exclusive_rename.load(std::memory_order_relaxed)) {
    if (::renameat2(dirfd, temporary.c_str(), dirfd, name.c_str(), RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return errno;
    dir.no_exclusive_rename.store(true, std::memory_order_relaxed);
  }
  struct stat st{};
  if (::fstatat(dirfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) return EEXIST;
  return ::renameat(dirfd, temporary.c_str(), dirfd, name.c_str()) == 0 ? 0 : errno;
}

class PosixStagedCopy final : public StagedCopy {
 public:
  PosixStagedCopy(DirectoryHandle dir, std::string temporary, std::string name,
                  std::string target_path, bool replace)
      : dir_(std::move(dir)), temporary_(std::move(temporary)), name_(std::move(name)),
        target_path_(std::move(target_path)), replace_(replace) {}
  ~PosixStagedCopy() override {
    if (!temporary_.empty()) ::unlinkat(dir_->fd.get(), temporary_.c_str(), 0);
  }
  PosixStagedCopy(const PosixStagedCopy&) = delete;
  PosixStagedCopy& operator=(const PosixStagedCopy&) = delete;

  Outcome commit() override {
    const int error = commit_rename(*dir_, temporary_, name_, replace_);
    if (error != 0) return Outcome::failure(why(target_path_, error));
    temporary_.clear();
    return Outcome::success();
  }

 private:
  DirectoryHandle dir_;
  std::string temporary_;  // empty once it is in place
  std::string name_;
  std::string target_path_;
  bool replace_;
};

// The source entry opened without following it and without opening what it
// is: a device is never opened, so no driver acts on the run's behalf.
struct SourceEntry {
  Fd path_fd;  // O_PATH: names the entry, opens nothing
  struct stat st{};
};

Outcome open_source(NativeFileSystem::State& state, const CopyOrder& order, SourceEntry& entry) {
  const std::string from = order.source_root + std::string(order.source_relative);
  const auto [dir, name] = posix::split_last(order.source_relative);
  const DirectoryHandle parent = state.directory(order.source_root, dir);
  if (!parent) return Outcome::failure(why(order.source_root + std::string(dir), errno));
  entry.path_fd.reset(::openat(parent->fd.get(), std::string(name).c_str(),
                               O_PATH | O_NOFOLLOW | O_CLOEXEC));
  if (entry.path_fd.get() < 0 || ::fstat(entry.path_fd.get(), &entry.st) != 0) {
    return Outcome::failure(why(from, errno));
  }
  const bool is_link = S_ISLNK(entry.st.st_mode);
  if (order.kind == EntryKind::kSymlink && !is_link) {
    return Outcome::failure(from + ": no longer a symbolic link");
  }
  if (order.kind != EntryKind::kSymlink && !S_ISREG(entry.st.st_mode)) {
    return Outcome::failure(from + ": no longer a regular file");
  }
  return Outcome::success();
}

// Opens the regular file behind `entry` for reading: through the descriptor
// already held, so that whatever is put at its name meanwhile is not opened.
// Without /proc, by its name, and only if it is still the same file.
Outcome open_for_reading(const SourceEntry& entry, const std::string& from, Fd& in) {
  const std::string self = "/proc/self/fd/" + std::to_string(entry.path_fd.get());
  in.reset(::open(self.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (in.get() >= 0) return Outcome::success();
  if (errno != ENOENT) return Outcome::failure(why(from, errno));
  struct stat now{};
  in.reset(::open(from.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (in.get() < 0) return Outcome::failure(why(from, errno));
  if (::fstat(in.get(), &now) != 0 || now.st_ino != entry.st.st_ino || now.st_dev != entry.st.st_dev) {
    return Outcome::failure(from + ": no longer a regular file");
  }
  return Outcome::success();
}

Outcome stage_link(const SourceEntry& entry, const std::string& from, const DirectoryHandle& dir,
                   const std::string& name, const std::string& target_path, bool replace,
                   std::unique_ptr<StagedCopy>& staged) {
  std::string target(static_cast<size_t>(entry.st.st_size) + 1, '\0');
  const ssize_t n = ::readlinkat(entry.path_fd.get(), "", target.data(), target.size());
  if (n < 0) return Outcome::failure(why(from, errno));
  if (static_cast<size_t>(n) >= target.size()) return Outcome::failure(why(from, EAGAIN));
  target.resize(static_cast<size_t>(n));
  const int dirfd = dir->fd.get();
  std::string temporary;
  int error = 0;
  const bool tried = with_temporary_name(process_number(), [&](const std::string& drawn) {
    if (::symlinkat(target.c_str(), dirfd, drawn.c_str()) == 0) {
      temporary = drawn;
    } else if (errno == EEXIST) {
      return NameTry::kTaken;
    }
    error = errno;
    return NameTry::kDone;
  });
  if (!tried) return Outcome::failure(why(target_path, EEXIST));
  if (temporary.empty()) return Outcome::failure(why(target_path, error));
  auto made = std::make_unique<PosixStagedCopy>(dir, temporary, name, target_path, replace);
  // A link's owner is kept where the run may set it; elsewhere it is the runner's.
  [[maybe_unused]] const int owned =
      ::fchownat(dirfd, temporary.c_str(), entry.st.st_uid, entry.st.st_gid, AT_SYMLINK_NOFOLLOW);
  const struct timespec times[2] = {entry.st.st_atim, entry.st.st_mtim};
  if (::utimensat(dirfd, temporary.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0) {
    return Outcome::failure(why(target_path, errno));
  }
  staged = std::move(made);
  return Outcome::success();
}

// Whether a file this process creates in `dir` with the source's mode is born
// with the source's owner, group and mode: then none is set afterwards, two
// round trips fewer on a network file system. Set-id bits are always set
// afterwards, after the owner.
bool born_right(const struct stat& source, const DirectoryHandle& dir, mode_t creation_mask) {
  const mode_t mode = source.st_mode & 07777;
  return dir->plain_creation && source.st_uid == ::geteuid() && source.st_gid == dir->new_file_group &&
         (mode & 07000) == 0 && (mode & creation_mask) == 0;
}

Outcome stage_regular(const SourceEntry& entry, const std::string& from, const DirectoryHandle& dir,
                      const std::string& name, const std::string& target_path, bool replace,
                      mode_t creation_mask, const Progress& progress, std::unique_ptr<StagedCopy>& staged) {
  Fd in;
  if (const Outcome opened = open_for_reading(entry, from, in); !opened.ok) return opened;
  const struct stat& before = entry.st;
  const int dirfd = dir->fd.get();
  // Otherwise the temporary is the runner's alone until it has the source's
  // owner and mode.
  const bool ready_made = born_right(before, dir, creation_mask);
  const mode_t mode = ready_made ? before.st_mode & 0777 : 0600;
  std::string temporary;
  Fd out;
  int error = EEXIST;
  with_temporary_name(process_number(), [&](const std::string& drawn) {
    out.reset(::openat(dirfd, drawn.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
    if (out.get() < 0 && errno == EEXIST) return NameTry::kTaken;
    temporary = drawn;
    error = errno;
    return NameTry::kDone;
  });
  if (out.get() < 0) return Outcome::failure(why(target_path, error));
  // From here the staged copy owns the temporary: any return removes it.
  auto made = std::make_unique<PosixStagedCopy>(dir, temporary, name, target_path, replace);
  // Held while the copy is written: a run that finds this file meanwhile
  // knows that it is not debris.
  ::flock(out.get(), LOCK_EX | LOCK_NB);
  if (!copy_content(in.get(), out.get(), before, progress)) {
    if (pending_interrupt() != 0) return Outcome::failure(kInterrupted);
    // Tell a read failure at the source from a write failure at the target.
    const int error = errno;
    char probe;
    if (::pread(in.get(), &probe, 1, 0) < 0) return Outcome::failure(why(from, errno));
    return Outcome::failure(why(target_path, error));
  }
  const struct timespec times[2] = {before.st_atim, before.st_mtim};
  if ((!ready_made && !posix::apply_owner_and_mode(out.get(), before)) || ::futimens(out.get(), times) != 0) {
    return Outcome::failure(why(target_path, errno));
  }
  // A source that changes while it is read would leave a copy that carries the
  // source's time without its content; such a copy is thrown away.
  struct stat after{};
  if (::fstat(in.get(), &after) != 0 || !same_file_state(before, after)) {
    return Outcome::failure(from + ": changed while it was copied");
  }
  if (::close(out.release()) != 0) return Outcome::failure(why(target_path, errno));
  staged = std::move(made);
  return Outcome::success();
}

}  // namespace

namespace os {

Outcome stage_entry(NativeFileSystem::State& state, const CopyOrder& order, std::unique_ptr<StagedCopy>& staged) {
  if (pending_interrupt() != 0) return Outcome::failure(kInterrupted);
  const std::string from = order.source_root + std::string(order.source_relative);
  const std::string target_path = order.dest_root + std::string(order.dest_relative);
  SourceEntry entry;
  if (const Outcome opened = open_source(state, order, entry); !opened.ok) return opened;
  const auto [dir, name] = posix::split_last(order.dest_relative);
  const DirectoryHandle target_dir = state.directory(order.dest_root, dir);
  if (!target_dir) return Outcome::failure(why(order.dest_root + std::string(dir), errno));
  // A name taken meanwhile is found when the copy is put in place.
  const std::string leaf(name);
  if (target_dir->append_only) {
    return Outcome::failure(order.dest_root + std::string(dir) +
                            ": append-only directory, where a temporary could not be removed");
  }
  if (S_ISLNK(entry.st.st_mode)) {
    return stage_link(entry, from, target_dir, leaf, target_path, order.replace, staged);
  }
  return stage_regular(entry, from, target_dir, leaf, target_path, order.replace, state.creation_mask,
                       state.pauses.chunks(order.progress), staged);
}


}  // namespace os

}  // namespace qmr
