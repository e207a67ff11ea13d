// What the POSIX tasks share: descriptors that close themselves, the open
// roots, and the directories below them opened from those roots without
// following links and kept for the tasks that come in runs of one directory.
#pragma once

#include <sys/stat.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/pause_hooks.h"
#include "platform/platform.h"

namespace qmr::posix {

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
  int release() { return std::exchange(fd_, -1); }
  void reset(int fd = -1);

 private:
  int fd_;
};

// "<path>: <the system's text for error>".
std::string why(const std::string& path, int error);

FileTime file_time(const struct timespec& t);

// Splits "a/b/name" into "a/b/" and "name".
std::pair<std::string_view, std::string_view> split_last(std::string_view relative);

// Gives `fd` the owner and group of `st` where the process may, then the
// mode `kept_mode` allows with the owner and group it ended with.
bool apply_owner_and_mode(int fd, const struct stat& st);

// A directory where names can be added but never removed or renamed away:
// a temporary made there could never be cleaned up.
bool append_only(int dirfd);

// The process's creation mask, without changing it for good.
mode_t creation_mask();

// A directory below a root, opened from the root's handle.
struct OpenDirectory {
  std::string root;
  std::string relative_dir;
  Fd fd;
  bool append_only = false;  // learned once, when it is opened
  // A new file here takes its mode from the creation mask alone (no inherited
  // ACL), and this group; learned once, when it is opened.
  bool plain_creation = false;
  gid_t new_file_group = 0;
  // Its file system refused a rename that never replaces (an SFTP mount): the
  // copies put here check the name themselves, without asking again.
  mutable std::atomic<bool> no_exclusive_rename{false};
};

using DirectoryHandle = std::shared_ptr<const OpenDirectory>;

}  // namespace qmr::posix

namespace qmr {

struct NativeFileSystem::State {
  // The directory `relative_dir` below the open root `root`, from the kept
  // ones or opened now; null with errno set when it cannot be opened. Several
  // tasks may hold one at once: they only use it with the *at calls.
  posix::DirectoryHandle directory(const std::string& root, std::string_view relative_dir);

  // Opens `relative_dir` below the open root `root` afresh, for a listing
  // that reads it; an invalid descriptor with errno set on failure.
  posix::Fd open_directory(const std::string& root, std::string_view relative_dir);

  // After a directory is removed its name may come back as another one, so
  // no kept handle is trusted any more.
  void forget_directories();

  std::mutex mutex;
  // The roots as opened: a descriptor, or the error that kept it from opening.
  std::map<std::string, std::pair<posix::Fd, int>, std::less<>> roots;
  std::vector<posix::DirectoryHandle> kept;  // most recently used last
  std::atomic<std::uint64_t> generation{0};
  std::atomic<bool> openat2_missing{false};
  PauseHooks pauses;
  // The process's creation mask, read once while no other thread runs.
  const mode_t creation_mask = posix::creation_mask();
};

}  // namespace qmr
