// Windows implementation of the platform operations, on the ANSI Win32 calls.
// A copy goes to a temporary file beside its target and is moved over it only
// when complete, so a target is never left half-written.
#include <direct.h>
#include <windows.h>

#include <cstdio>
#include <ctime>
#include <random>

#include "platform/platform.h"

namespace qmr {

const PathStyle kNativePathStyle = kWindowsPathStyle;

namespace {

std::int64_t filetime_ticks(const FILETIME& t) {
  return static_cast<std::int64_t>((static_cast<std::uint64_t>(t.dwHighDateTime) << 32) |
                                   t.dwLowDateTime);
}

bool is_directory(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

std::string parent_of(const std::string& path) {
  const size_t cut = path.find_last_of("\\/");
  return cut == std::string::npos ? std::string() : path.substr(0, cut + 1);
}

// A short name in the target's directory: short so that it fits whatever the
// length of the target's own name.
std::string temporary_name_for(const std::string& target) {
  static constexpr char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
  static std::minstd_rand generator(GetCurrentProcessId() ^ GetTickCount());
  std::string name = parent_of(target) + ".qmr-";
  for (int i = 0; i < 8; ++i) name += kDigits[generator() % 36];
  return name + ".tmp";
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
    entry.last_write = filetime_ticks(data.ftLastWriteTime);
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
  const HANDLE handle =
      CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
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

}  // namespace

ListStatus NativeFileSystem::list_directory(const std::string& dir,
                                            std::vector<DirEntry>& entries) {
  entries.clear();
  WIN32_FIND_DATAA data;
  const HANDLE search = FindFirstFileA((dir + "*.*").c_str(), &data);
  if (search == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    // An empty drive root has not even "." to report.
    if (error == ERROR_FILE_NOT_FOUND && is_directory(dir)) return ListStatus::kOk;
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return ListStatus::kMissing;
    return ListStatus::kUnreadable;
  }
  do {
    append_entry(data, entries);
  } while (FindNextFileA(search, &data));
  const bool complete = GetLastError() == ERROR_NO_MORE_FILES;
  FindClose(search);
  if (!complete) {
    entries.clear();
    return ListStatus::kUnreadable;
  }
  return ListStatus::kOk;
}

bool NativeFileSystem::copy_file(const std::string& from, const std::string& to) {
  for (int attempt = 0; attempt < 16; ++attempt) {
    const std::string temporary = temporary_name_for(to);
    if (!CopyFileA(from.c_str(), temporary.c_str(), TRUE)) {
      if (GetLastError() == ERROR_FILE_EXISTS) continue;
      DeleteFileA(temporary.c_str());
      return false;
    }
    // A read-only, hidden or system target would refuse to be replaced.
    SetFileAttributesA(to.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (MoveFileExA(temporary.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING)) return true;
    SetFileAttributesA(temporary.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileA(temporary.c_str());
    return false;
  }
  return false;
}

bool NativeFileSystem::remove_file(const std::string& path) {
  SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
  return std::remove(path.c_str()) == 0;
}

bool NativeFileSystem::make_directory(const std::string& path) {
  return _mkdir(path.c_str()) == 0;
}

bool NativeFileSystem::remove_directory(const std::string& path) {
  return _rmdir(path.c_str()) == 0;
}

std::string NativeFileSystem::resolve_path(const std::string& path) {
  // "." and ".." are applied by spelling first, as Windows itself does.
  std::string existing = full_path(path);
  while (existing.size() > 3 && (existing.back() == '\\' || existing.back() == '/')) {
    existing.pop_back();
  }
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
