// Windows implementation of the platform operations, on the ANSI Win32 calls.
// A copy goes to a temporary file beside its target and is moved over it only
// when complete, so a target is never left half-written. Below a destination
// root no junction or directory link is ever passed through.
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <ctime>
#include <random>

#include "platform/platform.h"
#include "platform/temporary_name.h"

namespace qmr {

namespace {

// FILETIME counts 100 ns steps since 1601.
FileTime file_time(const FILETIME& t) {
  const std::uint64_t ticks =
      (static_cast<std::uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
  return {static_cast<std::int64_t>(ticks / 10'000'000),
          static_cast<std::uint32_t>((ticks % 10'000'000) * 100)};
}

std::string system_text(DWORD error) {
  char* text = nullptr;
  const DWORD length = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error, 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string result = length > 0 && text != nullptr ? std::string(text, length) : std::string();
  if (text != nullptr) LocalFree(text);
  while (!result.empty() && (result.back() == '\n' || result.back() == '\r' || result.back() == '.')) {
    result.pop_back();
  }
  return result.empty() ? "error " + std::to_string(error) : result;
}

std::string why(const std::string& path, DWORD error) { return path + ": " + system_text(error); }

bool is_separator(char c) { return c == '\\' || c == '/'; }

bool is_directory(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Checks that no directory of `relative_dir` below `root` is a junction or
// link; on failure sets the last error.
bool plain_below(const std::string& root, std::string_view relative_dir) {
  for (size_t cut = 0; cut < relative_dir.size(); ++cut) {
    if (!is_separator(relative_dir[cut])) continue;
    const std::string dir = root + std::string(relative_dir.substr(0, cut));
    const DWORD attributes = GetFileAttributesA(dir.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return false;
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
        (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
      SetLastError(ERROR_DIRECTORY);
      return false;
    }
  }
  return true;
}

std::string_view parent_part(std::string_view relative) {
  const size_t cut = relative.find_last_of("\\/");
  return cut == std::string_view::npos ? std::string_view() : relative.substr(0, cut + 1);
}

std::string next_temporary_name() {
  thread_local std::minstd_rand generator(GetCurrentProcessId() ^ GetTickCount());
  return temporary_name(generator);
}

std::optional<FileId> id_of_handle(HANDLE handle) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(handle, &info)) return std::nullopt;
  return FileId{info.dwVolumeSerialNumber,
                (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
}

HANDLE open_for_query(const std::string& path) {
  return CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                     nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

void append_entry(const WIN32_FIND_DATAA& data, std::vector<DirEntry>& entries) {
  const std::string name = data.cFileName;
  if (name == "." || name == "..") return;
  DirEntry entry;
  entry.name = name;
  if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    // A junction or directory link is never entered: it could lead in a circle.
    if ((data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return;
    entry.kind = EntryKind::kDirectory;
  } else {
    entry.kind = EntryKind::kFile;
    entry.size = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    entry.last_write = file_time(data.ftLastWriteTime);
  }
  entries.push_back(std::move(entry));
}

std::string full_path(const std::string& path) {
  const DWORD needed = GetFullPathNameA(path.c_str(), 0, nullptr, nullptr);
  if (needed == 0) return path;
  std::string result(needed, '\0');
  const DWORD length = GetFullPathNameA(path.c_str(), needed, result.data(), nullptr);
  result.resize(length < needed ? length : 0);
  return result.empty() ? path : result;
}

// The path an existing file or directory really has, links and junctions
// followed; empty when it cannot be opened.
std::string final_path(const std::string& path) {
  const HANDLE handle = open_for_query(path);
  if (handle == INVALID_HANDLE_VALUE) return {};
  std::string result(32768, '\0');
  const DWORD length =
      GetFinalPathNameByHandleA(handle, result.data(), static_cast<DWORD>(result.size()), 0);
  CloseHandle(handle);
  if (length == 0 || length >= result.size()) return {};
  result.resize(length);
  if (result.rfind("\\\\?\\UNC\\", 0) == 0) {
    result.erase(0, 6);  // "\\?\UNC\srv" becomes "\\srv"
    result[0] = '\\';
  } else if (result.rfind("\\\\?\\", 0) == 0) {
    result.erase(0, 4);
  }
  return result;
}

// The copy in flight, for the console control handler: it cancels the copy,
// whose partial temporary CopyFileEx then removes, and waits for the copying
// thread to clear up. Process-wide by nature, like the console event.
std::atomic<BOOL> g_cancel{FALSE};
std::atomic<int> g_copies_in_flight{0};

BOOL WINAPI on_console_event(DWORD) {
  g_cancel.store(TRUE);
  for (int waited = 0; waited < 100 && g_copies_in_flight.load() > 0; ++waited) Sleep(50);
  return FALSE;  // the default handler then ends the process
}

}  // namespace

struct NativeFileSystem::State {};

NativeFileSystem::NativeFileSystem() : state_(nullptr) {}
NativeFileSystem::~NativeFileSystem() = default;

const PathStyle& NativeFileSystem::path_style() const { return kWindowsPathStyle; }

void NativeFileSystem::list_directory(const std::string& dir, Listing& listing) {
  listing.entries.clear();
  listing.status = ListStatus::kOk;
  listing.reason.clear();
  auto fail = [&](ListStatus status, DWORD error) {
    listing.entries.clear();
    listing.status = status;
    listing.reason = system_text(error);
  };
  const HANDLE self = open_for_query(dir);
  if (self == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    const bool missing = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
    return fail(missing ? ListStatus::kMissing : ListStatus::kUnreadable, error);
  }
  listing.id = id_of_handle(self).value_or(FileId{});
  FILETIME written{};
  if (GetFileTime(self, nullptr, nullptr, &written)) listing.last_write = file_time(written);
  CloseHandle(self);
  listing.attributes = {};
  WIN32_FIND_DATAA data;
  const HANDLE search = FindFirstFileA((dir + "*.*").c_str(), &data);
  if (search == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    // An empty drive root has not even "." to report.
    if (error == ERROR_FILE_NOT_FOUND && is_directory(dir)) return;
    const bool missing = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
    return fail(missing ? ListStatus::kMissing : ListStatus::kUnreadable, error);
  }
  do {
    append_entry(data, listing.entries);
  } while (FindNextFileA(search, &data));
  const DWORD error = GetLastError();
  FindClose(search);
  if (error != ERROR_NO_MORE_FILES) fail(ListStatus::kUnreadable, error);
}

std::optional<FileId> NativeFileSystem::identity(const std::string& path) {
  const HANDLE handle = open_for_query(path);
  if (handle == INVALID_HANDLE_VALUE) return std::nullopt;
  const std::optional<FileId> id = id_of_handle(handle);
  CloseHandle(handle);
  return id;
}

std::string NativeFileSystem::resolve_path(const std::string& path) {
  // "." and ".." are applied by spelling first, as Windows itself does.
  std::string existing = full_path(path);
  while (existing.size() > 3 && is_separator(existing.back())) existing.pop_back();
  std::string missing;
  for (;;) {
    std::string real = final_path(existing);
    if (!real.empty()) {
      if (!missing.empty() && real.back() == '\\') real.pop_back();
      return real + missing;
    }
    const size_t cut = existing.find_last_of("\\/");
    if (cut == std::string::npos || cut + 1 >= existing.size()) break;
    std::string part = existing.substr(cut);
    part[0] = '\\';
    missing.insert(0, part);
    existing.resize(cut == 2 && existing[1] == ':' ? cut + 1 : cut);
  }
  return full_path(path);
}

// The final path already carries the spelling the directory stores.
std::string NativeFileSystem::stored_spelling(const std::string& resolved) { return resolved; }

Outcome NativeFileSystem::make_root(const std::string& path) {
  for (size_t cut = 0; cut <= path.size(); ++cut) {
    if (cut < path.size() && !is_separator(path[cut])) continue;
    const std::string prefix = path.substr(0, cut);
    // Not the start of a server path, nor a drive.
    if (prefix.empty() || prefix.back() == ':' || is_separator(prefix.back())) continue;
    if (prefix.size() > 2 && is_separator(prefix[0]) && is_separator(prefix[1]) &&
        prefix.find_first_of("\\/", 2) == std::string::npos) {
      continue;
    }
    CreateDirectoryA(prefix.c_str(), nullptr);
  }
  if (!is_directory(path)) return Outcome::failure(why(path, GetLastError()));
  return Outcome::success();
}

DirectoryMade NativeFileSystem::make_directory(const std::string& root,
                                               std::string_view relative_dir) {
  if (!plain_below(root, parent_part(relative_dir.substr(0, relative_dir.size() - 1)))) {
    return DirectoryMade::kFailed;
  }
  const std::string path = root + std::string(relative_dir);
  if (CreateDirectoryA(path.c_str(), nullptr)) return DirectoryMade::kCreated;
  if (GetLastError() != ERROR_ALREADY_EXISTS) return DirectoryMade::kFailed;
  const DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
      (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
    return DirectoryMade::kExisted;
  }
  return DirectoryMade::kFailed;
}

// Windows directories carry no POSIX owner or mode bits.
void NativeFileSystem::set_attributes(const std::string&, std::string_view, const Attributes&) {}

Outcome NativeFileSystem::copy_file(const std::string& from, const std::string& root,
                                    std::string_view relative, bool replace) {
  const std::string to = root + std::string(relative);
  const std::string_view dir = parent_part(relative);
  if (!plain_below(root, dir)) return Outcome::failure(why(root + std::string(dir), GetLastError()));
  if (!replace && GetFileAttributesA(to.c_str()) != INVALID_FILE_ATTRIBUTES) {
    return Outcome::failure(why(to, ERROR_FILE_EXISTS));
  }
  for (int attempt = 0; attempt < 16; ++attempt) {
    const std::string temporary = root + std::string(dir) + next_temporary_name();
    g_copies_in_flight.fetch_add(1);
    const BOOL copied = CopyFileExA(from.c_str(), temporary.c_str(), nullptr, nullptr,
                                    reinterpret_cast<BOOL*>(&g_cancel), COPY_FILE_FAIL_IF_EXISTS);
    const DWORD error = GetLastError();
    if (!copied) {
      g_copies_in_flight.fetch_sub(1);
      if (error == ERROR_FILE_EXISTS) continue;
      DeleteFileA(temporary.c_str());
      if (error == ERROR_FILE_NOT_FOUND || error == ERROR_ACCESS_DENIED ||
          error == ERROR_SHARING_VIOLATION) {
        const DWORD source = GetFileAttributesA(from.c_str());
        if (source == INVALID_FILE_ATTRIBUTES) return Outcome::failure(why(from, error));
      }
      return Outcome::failure(why(to, error));
    }
    // A read-only, hidden or system target would refuse to be replaced; its
    // marks are put back if it stays.
    const DWORD old_attributes = GetFileAttributesA(to.c_str());
    if (replace && old_attributes != INVALID_FILE_ATTRIBUTES) {
      SetFileAttributesA(to.c_str(), FILE_ATTRIBUTE_NORMAL);
    }
    const DWORD flags = replace ? MOVEFILE_REPLACE_EXISTING : 0;
    if (MoveFileExA(temporary.c_str(), to.c_str(), flags)) {
      g_copies_in_flight.fetch_sub(1);
      return Outcome::success();
    }
    const DWORD move_error = GetLastError();
    if (replace && old_attributes != INVALID_FILE_ATTRIBUTES) {
      SetFileAttributesA(to.c_str(), old_attributes);
    }
    SetFileAttributesA(temporary.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileA(temporary.c_str());
    g_copies_in_flight.fetch_sub(1);
    return Outcome::failure(why(to, move_error));
  }
  return Outcome::failure(why(to, ERROR_FILE_EXISTS));
}

Outcome NativeFileSystem::remove_file(const std::string& root, std::string_view relative) {
  const std::string path = root + std::string(relative);
  if (!plain_below(root, parent_part(relative))) return Outcome::failure(why(path, GetLastError()));
  const DWORD attributes = GetFileAttributesA(path.c_str());
  SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
  if (DeleteFileA(path.c_str())) return Outcome::success();
  const DWORD error = GetLastError();
  if (attributes != INVALID_FILE_ATTRIBUTES) SetFileAttributesA(path.c_str(), attributes);
  return Outcome::failure(why(path, error));
}

bool NativeFileSystem::remove_directory(const std::string& root, std::string_view relative_dir) {
  if (relative_dir.empty()) return false;  // the root stays
  if (!plain_below(root, relative_dir)) return false;
  return RemoveDirectoryA((root + std::string(relative_dir)).c_str()) != 0;
}

bool NativeFileSystem::remove_stale_temporary(const std::string& root, std::string_view relative) {
  // A copy in progress holds its temporary open without sharing deletion,
  // so the removal fails for exactly those.
  if (!plain_below(root, parent_part(relative))) return false;
  const std::string path = root + std::string(relative);
  SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
  return DeleteFileA(path.c_str()) != 0;
}

void install_interrupt_cleanup() { SetConsoleCtrlHandler(on_console_event, TRUE); }

void set_console_title(const std::string& title) { SetConsoleTitleA(title.c_str()); }

bool stdout_is_terminal() {
  return GetFileType(GetStdHandle(STD_OUTPUT_HANDLE)) == FILE_TYPE_CHAR;
}

std::string ansi_to_oem(std::string text) {
  if (!text.empty()) CharToOemA(text.data(), text.data());
  return text;
}

std::string current_time_text() {
  const std::time_t now = std::time(nullptr);
  const char* text = std::ctime(&now);
  return text != nullptr ? text : "";
}

}  // namespace qmr
