// POSIX implementation of the platform operations. Directories are read through
// an open descriptor and every entry is examined relative to it, so no path is
// resolved again per entry and links are never followed.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <random>

#include "platform/ascii.h"
#include "platform/platform.h"

namespace qmr {

const PathStyle kNativePathStyle = kPosixPathStyle;

namespace {

std::int64_t mtime_ticks(const struct stat& st) {
  return static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

// Closes a descriptor when it goes out of scope.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

bool fill_from_stat(const struct stat& st, DirEntry& entry) {
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
  entry.last_write = mtime_ticks(st);
  return true;
}

std::string parent_of(const std::string& path) {
  const size_t cut = path.find_last_of('/');
  return cut == std::string::npos ? std::string(".") : path.substr(0, cut + 1);
}

// A short name in the target's directory: short so that it fits whatever the
// length of the target's own name, hidden so that it stays out of the way.
std::string temporary_name_for(const std::string& target) {
  static constexpr char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
  thread_local std::minstd_rand generator(
      static_cast<unsigned>(::getpid()) ^ static_cast<unsigned>(std::time(nullptr)));
  std::string name = parent_of(target) + ".qmr-";
  for (int i = 0; i < 8; ++i) name += kDigits[generator() % 36];
  return name + ".tmp";
}

bool write_all(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool copy_by_reading(int in, int out, off_t offset) {
  std::vector<char> buffer(1 << 20);
  for (;;) {
    const ssize_t n = ::pread(in, buffer.data(), buffer.size(), offset);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return true;
    if (!write_all(out, buffer.data(), static_cast<size_t>(n))) return false;
    offset += n;
  }
}

// Copies the whole content, in the kernel where it can.
bool copy_content(int in, int out) {
  off_t done = 0;
  for (;;) {
    const ssize_t n = ::copy_file_range(in, nullptr, out, nullptr, size_t{1} << 30, 0);
    if (n > 0) {
      done += n;
      continue;
    }
    if (n == 0) return true;
    if (errno == EINTR) continue;
    if (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP ||
        errno == EPERM) {
      return copy_by_reading(in, out, done);
    }
    return false;
  }
}

// Makes a new entry beside `target` under a fresh temporary name with
// `create(name)`, which returns false and sets errno on failure; a name taken
// meanwhile is tried again. Returns the name, or "" when creation failed.
template <typename Create>
std::string create_temporary(const std::string& target, Create create) {
  for (int attempt = 0; attempt < 16; ++attempt) {
    std::string name = temporary_name_for(target);
    if (create(name)) return name;
    if (errno != EEXIST) break;
  }
  return {};
}

bool same_file_state(const struct stat& a, const struct stat& b) {
  return a.st_size == b.st_size && a.st_mtim.tv_sec == b.st_mtim.tv_sec &&
         a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

bool commit_temporary(const std::string& temporary, const std::string& to) {
  if (::rename(temporary.c_str(), to.c_str()) == 0) return true;
  ::unlink(temporary.c_str());
  return false;
}

bool copy_link(const std::string& from, const std::string& to, const struct stat& st) {
  std::string target(static_cast<size_t>(st.st_size) + 1, '\0');
  const ssize_t n = ::readlink(from.c_str(), target.data(), target.size());
  if (n < 0 || static_cast<size_t>(n) >= target.size()) return false;  // changed meanwhile
  target.resize(static_cast<size_t>(n));
  const std::string temporary = create_temporary(to, [&](const std::string& name) {
    return ::symlink(target.c_str(), name.c_str()) == 0;
  });
  if (temporary.empty()) return false;
  const struct timespec times[2] = {st.st_atim, st.st_mtim};
  if (::utimensat(AT_FDCWD, temporary.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0) {
    ::unlink(temporary.c_str());
    return false;
  }
  return commit_temporary(temporary, to);
}

bool copy_regular(const std::string& to, int in, const struct stat& before) {
  int fd = -1;
  const std::string temporary = create_temporary(to, [&](const std::string& name) {
    fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    return fd >= 0;
  });
  if (temporary.empty()) return false;
  Fd out(fd);
  struct stat after{};
  const struct timespec times[2] = {before.st_atim, before.st_mtim};
  // A source that changes while it is read would leave a copy that carries the
  // source's time without its content; such a copy is thrown away.
  const bool written = copy_content(in, out.get()) &&
                       ::fchmod(out.get(), before.st_mode & 07777) == 0 &&
                       ::futimens(out.get(), times) == 0 && ::fstat(in, &after) == 0 &&
                       same_file_state(before, after);
  if (!written || ::close(out.release()) != 0) {
    ::unlink(temporary.c_str());
    return false;
  }
  return commit_temporary(temporary, to);
}

}  // namespace

ListStatus NativeFileSystem::list_directory(const std::string& dir,
                                            std::vector<DirEntry>& entries) {
  entries.clear();
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT ? ListStatus::kMissing : ListStatus::kUnreadable;
  DIR* stream = ::fdopendir(fd);
  if (stream == nullptr) {
    ::close(fd);
    return ListStatus::kUnreadable;
  }
  bool read_error = false;
  for (;;) {
    errno = 0;
    const struct dirent* item = ::readdir(stream);
    if (item == nullptr) {
      read_error = errno != 0;
      break;
    }
    const char* name = item->d_name;
    if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
    DirEntry entry;
    entry.name = name;
    if (item->d_type == DT_DIR) {
      entry.kind = EntryKind::kDirectory;  // its own size and time are never used
    } else {
      struct stat st{};
      // An entry that vanished since the directory was read is simply not there.
      if (::fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
      if (!fill_from_stat(st, entry)) continue;
    }
    entries.push_back(std::move(entry));
  }
  ::closedir(stream);
  if (read_error) {
    entries.clear();
    return ListStatus::kUnreadable;
  }
  std::sort(entries.begin(), entries.end(), [](const DirEntry& a, const DirEntry& b) {
    return compare_folded_then_exact(a.name, b.name) < 0;
  });
  return ListStatus::kOk;
}

bool NativeFileSystem::copy_file(const std::string& from, const std::string& to) {
  // O_NONBLOCK: a source replaced by a fifo since the scan must not hang the run.
  Fd in(::open(from.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (in.get() < 0) {
    struct stat st{};
    if ((errno == ELOOP || errno == EMLINK) && ::lstat(from.c_str(), &st) == 0 &&
        S_ISLNK(st.st_mode)) {
      return copy_link(from, to, st);
    }
    return false;
  }
  struct stat st{};
  if (::fstat(in.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  return copy_regular(to, in.get(), st);
}

bool NativeFileSystem::remove_file(const std::string& path) {
  // Unlinking needs write access to the directory only, so a read-only file
  // goes without any change to its own mode.
  return ::unlink(path.c_str()) == 0;
}

bool NativeFileSystem::make_directory(const std::string& path) {
  return ::mkdir(path.c_str(), 0777) == 0;
}

bool NativeFileSystem::remove_directory(const std::string& path) {
  return ::rmdir(path.c_str()) == 0;
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

std::string ansi_to_oem(std::string text) { return text; }

std::string current_time_text() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  ::localtime_r(&now, &local);
  char text[64];
  const size_t n = std::strftime(text, sizeof text, "%a %b %e %H:%M:%S %Y\n", &local);
  return std::string(text, n);
}

}  // namespace qmr
