// POSIX roots: what a path names and lies in, and the primitives the shared
// root algorithms (probing, making, resolving) stand on.
#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/native.h"
#include "platform/posix/internal.h"

namespace qmr {

using posix::DirectoryHandle;
using posix::Fd;

namespace os {

std::uint32_t process_number() { return static_cast<std::uint32_t>(::getpid()); }

PauseHooks& pauses(NativeFileSystem::State& state) { return state.pauses; }

bool markers_possible(NativeFileSystem::State& state, const std::string& source_root, const std::string& dest_root) {
  const DirectoryHandle source = state.directory(source_root, "");
  const DirectoryHandle dest = state.directory(dest_root, "");
  return source && dest && !dest->append_only;
}

MarkerMade make_marker(NativeFileSystem::State& state, const std::string& dest_root, const std::string& name,
                       std::string& refused) {
  const DirectoryHandle dest = state.directory(dest_root, "");
  if (!dest) return MarkerMade::kFailed;
  const Fd made(::openat(dest->fd.get(), name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (made.get() >= 0) return MarkerMade::kMade;
  if (errno == EEXIST) return MarkerMade::kTaken;
  if (errno != EACCES && errno != EPERM && errno != EROFS) return MarkerMade::kFailed;
  refused = std::strerror(errno);
  return MarkerMade::kRefused;
}

bool marker_seen(NativeFileSystem::State& state, const std::string& source_root, const std::string& name) {
  const DirectoryHandle source = state.directory(source_root, "");
  struct stat st{};
  return source && ::fstatat(source->fd.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

void remove_marker(NativeFileSystem::State& state, const std::string& dest_root, const std::string& name) {
  if (const DirectoryHandle dest = state.directory(dest_root, "")) ::unlinkat(dest->fd.get(), name.c_str(), 0);
}

std::string absolute_spelling(const std::string& path, size_t& root_length) {
  root_length = 1;
  if (!path.empty() && path[0] == '/') return path;
  std::vector<char> cwd(PATH_MAX + 1);
  if (::getcwd(cwd.data(), cwd.size()) == nullptr) return path;
  return std::string(cwd.data()) + "/" + path;
}

std::optional<std::string> real_path(const std::string& existing) {
  char* real = ::realpath(existing.empty() ? "/" : existing.c_str(), nullptr);
  if (real == nullptr) return std::nullopt;
  std::string resolved = real;
  std::free(real);
  return resolved;
}

Outcome make_directories(const std::string& path) {
  for (size_t start = 0; start <= path.size();) {
    const size_t end = path.find('/', start);
    const std::string prefix = path.substr(0, end);
    start = end == std::string::npos ? path.size() + 1 : end + 1;
    if (prefix.empty()) continue;
    if (::mkdir(prefix.c_str(), 0777) != 0 && errno != EEXIST) return Outcome::failure(posix::why(prefix, errno));
  }
  return Outcome::success();
}

}  // namespace os

std::optional<FileId> NativeFileSystem::identity(const std::string& path) {
  struct stat st{};
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  return FileId{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

Lineage NativeFileSystem::lineage(const std::string& path) {
  Lineage result;
  std::string existing = resolve_path(path);
  Fd dir(::open(existing.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  while (dir.get() < 0 && errno == ENOENT && existing.size() > 1) {
    result.exists = false;
    const size_t cut = existing.find_last_of('/');
    existing.resize(cut == 0 || cut == std::string::npos ? 1 : cut);
    dir.reset(::open(existing.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  }
  // Up through "..", which the kernel takes from the directory itself, never
  // from a name: "/" is its own parent. The bound guards a looping file system.
  struct stat st{};
  for (int depth = 0; dir.get() >= 0 && depth < 4096 && ::fstat(dir.get(), &st) == 0; ++depth) {
    const FileId id{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
    if (!result.ids.empty() && result.ids.back() == id) break;
    result.ids.push_back(id);
    dir = Fd(::openat(dir.get(), "..", O_PATH | O_DIRECTORY | O_CLOEXEC));
  }
  return result;
}

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
        if (part.size() == std::strlen(item->d_name) &&
            ::strncasecmp(part.c_str(), item->d_name, part.size()) == 0) {
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

}  // namespace qmr
