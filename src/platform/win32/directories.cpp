// Windows directories below a root: made along one path held open, given
// their marks and times; and the primitives of the shared root algorithms.
#include "platform/native.h"
#include "platform/wide_text.h"
#include "platform/win32/internal.h"

namespace qmr {

using namespace win32;

namespace os {

std::uint32_t process_number() { return GetCurrentProcessId(); }

PauseHooks& pauses(NativeFileSystem::State& state) { return state.pauses; }

bool markers_possible(NativeFileSystem::State&, const std::string&, const std::string&) { return true; }

MarkerMade make_marker(NativeFileSystem::State&, const std::string& dest_root, const std::string& name,
                       std::string& refused) {
  const HANDLE handle = CreateFileW(native(dest_root + name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle != INVALID_HANDLE_VALUE) {
    CloseHandle(handle);
    return MarkerMade::kMade;
  }
  const DWORD error = GetLastError();
  if (error == ERROR_FILE_EXISTS) return MarkerMade::kTaken;
  if (error != ERROR_ACCESS_DENIED && error != ERROR_WRITE_PROTECT) return MarkerMade::kFailed;
  refused = system_text(error);
  return MarkerMade::kRefused;
}

bool marker_seen(NativeFileSystem::State&, const std::string& source_root, const std::string& name) {
  return attributes_of(source_root + name) != INVALID_FILE_ATTRIBUTES;
}

void remove_marker(NativeFileSystem::State&, const std::string& dest_root, const std::string& name) {
  DeleteFileW(native(dest_root + name).c_str());
}

std::string absolute_spelling(const std::string& path, size_t& root_length) {
  size_t wide_root = 0;
  const std::wstring absolute = absolute_path(path, wide_root);
  root_length = narrow(absolute.substr(0, wide_root)).size();
  return narrow(absolute);
}

std::optional<std::string> real_path(const std::string& existing) {
  std::string real = final_path(existing);
  if (real.empty()) return std::nullopt;
  return real;
}

Outcome make_directories(const std::string& path) {
  size_t root_length = 0;
  const std::wstring absolute = absolute_path(path, root_length);
  const std::wstring prefixed = with_prefix(absolute);
  const size_t skip = prefixed.size() - absolute.size();  // the length of the prefix
  for (size_t cut = root_length; cut <= absolute.size(); ++cut) {
    if (cut < absolute.size() && absolute[cut] != L'\\') continue;
    if (cut > root_length) CreateDirectoryW(prefixed.substr(0, skip + cut).c_str(), nullptr);
  }
  if (!is_directory(path)) return Outcome::failure(why(path, GetLastError()));
  return Outcome::success();
}

}  // namespace os

namespace {

// Creates the directory `name` inside the open directory `parent`, or at the
// prefixed absolute path `name` when there is no parent, and returns it open;
// INVALID_HANDLE_VALUE with the last error set when it was not created.
HANDLE create_directory_at(HANDLE parent, const std::wstring& name) {
  // The system's own spelling of a prefixed path starts with \??\ for \\?\.
  std::wstring object = parent == nullptr ? L"\\??\\" + name.substr(4) : name;
  UNICODE_STRING text;
  text.Buffer = object.data();
  text.Length = static_cast<USHORT>(object.size() * sizeof(wchar_t));
  text.MaximumLength = text.Length;
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, parent, nullptr);
  IO_STATUS_BLOCK io;
  HANDLE made = INVALID_HANDLE_VALUE;
  const NTSTATUS status =
      NtCreateFile(&made, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE,
                   &attributes, &io, nullptr, FILE_ATTRIBUTE_NORMAL,
                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_CREATE,
                   FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_FOR_BACKUP_INTENT |
                       FILE_OPEN_REPARSE_POINT,
                   nullptr, 0);
  if (status == 0) return made;
  SetLastError(RtlNtStatusToDosError(status));
  return INVALID_HANDLE_VALUE;
}

}  // namespace

HANDLE NativeFileSystem::State::made_handle(const std::string& root, std::string_view relative_dir) {
  for (const Made& dir : made) {
    if (dir.relative == relative_dir && dir.root == root) return dir.handle;
  }
  return nullptr;
}

void NativeFileSystem::State::let_go_of_made(size_t keep) {
  while (made.size() > keep) {
    CloseHandle(made.back().handle);
    made.pop_back();
  }
}

DirectoryMade NativeFileSystem::make_directory(const std::string& root,
                                               std::string_view relative_dir) {
  const std::string_view parent = parent_part(relative_dir.substr(0, relative_dir.size() - 1));
  const std::wstring path = state_->below(root, relative_dir);
  HANDLE made = INVALID_HANDLE_VALUE;
  DWORD error = ERROR_SUCCESS;
  {
    // Directories are made from the top down: only those above this one stay
    // open, and one made inside the last of them is made relative to it, so
    // that the path is not walked again for every level.
    const std::lock_guard<std::mutex> lock(state_->mutex);
    auto& chain = state_->made;
    size_t keep = 0;
    while (keep < chain.size() && chain[keep].root == root &&
           relative_dir.substr(0, chain[keep].relative.size()) == chain[keep].relative &&
           chain[keep].relative.size() < relative_dir.size()) {
      ++keep;
    }
    state_->let_go_of_made(keep);
    if (!chain.empty() && chain.back().relative == parent) {
      std::wstring name = wide(relative_dir.substr(parent.size()));
      name.pop_back();  // the closing separator
      made = create_directory_at(chain.back().handle, name);
      error = GetLastError();
    }
  }
  if (made == INVALID_HANDLE_VALUE && error != ERROR_ALREADY_EXISTS) {
    if (!state_->plain_below(root, parent)) return DirectoryMade::kFailed;
    std::wstring without_separator = path;
    without_separator.pop_back();
    made = create_directory_at(nullptr, without_separator);
    error = GetLastError();
  }
  if (made != INVALID_HANDLE_VALUE) {
    const std::lock_guard<std::mutex> lock(state_->mutex);
    state_->made.push_back({root, std::string(relative_dir), made});
    return DirectoryMade::kCreated;
  }
  if (error != ERROR_ALREADY_EXISTS) return DirectoryMade::kFailed;
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
      (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
    return DirectoryMade::kExisted;
  }
  return DirectoryMade::kFailed;
}

Outcome NativeFileSystem::set_file_attributes(const std::string& root, std::string_view relative,
                                              const Attributes& wanted, bool& changed) {
  changed = false;
  const std::string path = root + std::string(relative);
  if (!state_->plain_below(root, parent_part(relative))) return Outcome::failure(why(path, GetLastError()));
  const std::wstring target = state_->below(root, relative);
  // A link's marks are its target's: never touched.
  if (leads_elsewhere(*state_, root, relative)) return Outcome::success();
  const DWORD now = GetFileAttributesW(target.c_str());
  if (now == INVALID_FILE_ATTRIBUTES) return Outcome::failure(why(path, GetLastError()));
  if ((now & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
    return Outcome::failure(path + ": no longer a regular file");
  }
  const DWORD next = (now & ~kKeptMarks) | (wanted.mode & kKeptMarks);
  if (next == now) return Outcome::success();
  if (!SetFileAttributesW(target.c_str(), next == 0 ? FILE_ATTRIBUTE_NORMAL : next)) {
    return Outcome::failure(why(path, GetLastError()));
  }
  changed = true;
  return Outcome::success();
}

bool NativeFileSystem::set_directory_time(const std::string& root, std::string_view relative_dir,
                                          FileTime time) {
  const FILETIME written = filetime_of(time);
  {
    // A directory this run made and still holds is stamped through its handle.
    const std::lock_guard<std::mutex> lock(state_->mutex);
    if (const HANDLE made = state_->made_handle(root, relative_dir); made != nullptr) {
      return SetFileTime(made, nullptr, nullptr, &written) != 0;
    }
  }
  const HANDLE dir = CreateFileW(state_->below(root, relative_dir).c_str(), FILE_WRITE_ATTRIBUTES,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (dir == INVALID_HANDLE_VALUE) return false;
  const bool set = SetFileTime(dir, nullptr, nullptr, &written) != 0;
  CloseHandle(dir);
  return set;
}

// Windows keeps no POSIX owners: only the marks are compared.
bool NativeFileSystem::keeps_owners() const { return false; }

// Windows directories carry no POSIX owner or mode bits.
Outcome NativeFileSystem::set_attributes(const std::string&, std::string_view, const Attributes&) {
  return Outcome::success();
}

std::optional<std::uint32_t> NativeFileSystem::bound_user() const { return std::nullopt; }

Outcome NativeFileSystem::set_directory_mode(const std::string&, std::string_view, std::uint32_t) {
  return Outcome::success();
}

}  // namespace qmr
