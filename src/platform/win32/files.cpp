// Windows roots and listings: the roots opened once and held so that they
// cannot be renamed or removed while the run lasts, paths below them that
// never pass through a junction or directory link, and listings.
#include <algorithm>
#include <atomic>
#include <functional>
#include <cstdio>
#include <ctime>

#include "platform/native.h"
#include "platform/wide_text.h"
#include "platform/win32/internal.h"

namespace qmr {

namespace win32 {

// FILETIME counts 100 ns steps since 1601.
FileTime file_time(const FILETIME& t) {
  const std::uint64_t ticks =
      (static_cast<std::uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
  return {static_cast<std::int64_t>(ticks / 10'000'000),
          static_cast<std::uint32_t>((ticks % 10'000'000) * 100)};
}

FILETIME filetime_of(FileTime time) {
  const std::int64_t ticks = time.seconds * 10'000'000 + time.nanoseconds / 100;
  FILETIME result;
  result.dwLowDateTime = static_cast<DWORD>(static_cast<std::uint64_t>(ticks));
  result.dwHighDateTime = static_cast<DWORD>(static_cast<std::uint64_t>(ticks) >> 32);
  return result;
}

std::wstring wide(std::string_view text) {
  const std::u16string units = widen_utf8(text);
  return std::wstring(units.begin(), units.end());
}

std::string narrow(const wchar_t* text, size_t length) {
  return narrow_utf16(std::u16string(text, text + length));
}

std::string narrow(const std::wstring& text) { return narrow(text.data(), text.size()); }


std::wstring current_directory() {
  const DWORD needed = GetCurrentDirectoryW(0, nullptr);
  std::wstring result(needed, L'\0');
  const DWORD length = GetCurrentDirectoryW(needed, result.data());
  result.resize(length < needed ? length : 0);
  return result;
}

// The drive-relative "X:name" is taken from drive X's current directory.
std::wstring drive_directory(wchar_t drive) {
  const wchar_t drive_only[] = {drive, L':', L'\0'};
  wchar_t buffer[MAX_PATH];
  const DWORD length = GetFullPathNameW(drive_only, MAX_PATH, buffer, nullptr);
  if (length == 0 || length >= MAX_PATH) return std::wstring{drive, L':', L'\\'};
  return std::wstring(buffer, length);
}

// `path` made absolute with backslashes, and "." and ".." applied by spelling,
// as Windows does for a path it is given. Every other name is kept exactly,
// trailing dots and spaces included. Returns the part that stays (drive or
// server and share, ending with a backslash) in `root_length`.
// The full path Win32 makes of a path typed by a user: "." and ".." applied,
// trailing dots and spaces of the last name dropped, a drive-relative path
// taken from that drive's current directory.
std::wstring full_path_name(const std::wstring& path) {
  const DWORD needed = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (needed == 0) return path;
  std::wstring result(needed, L'\0');
  const DWORD length = GetFullPathNameW(path.c_str(), needed, result.data(), nullptr);
  if (length == 0 || length >= needed) return path;
  result.resize(length);
  return result;
}

std::wstring absolute_path(std::string_view path, size_t& root_length) {
  std::wstring w = wide(path);
  for (wchar_t& c : w) {
    if (c == L'/') c = L'\\';
  }
  if (w.rfind(L"\\\\?\\", 0) != 0 && w.rfind(L"\\\\.\\", 0) != 0 && !w.empty()) {
    // Read as Windows reads a path it is given; the closing separator is
    // kept apart, so that the last name is trimmed as a last name.
    const bool closed = w.back() == L'\\';
    while (w.size() > 3 && w.back() == L'\\') w.pop_back();
    w = full_path_name(w);
    if (closed && w.back() != L'\\') w += L'\\';
  }
  // Server paths ("\\server\share\...", "\\?\...") are absolute already.
  const bool has_drive = w.size() >= 2 && w[1] == L':';
  const bool rooted = !w.empty() && w[0] == L'\\';
  if (has_drive && (w.size() == 2 || w[2] != L'\\')) {
    w = drive_directory(w[0]) + L'\\' + w.substr(2);
  } else if (!has_drive && rooted && w.rfind(L"\\\\", 0) != 0) {
    w = current_directory().substr(0, 2) + w;
  } else if (!has_drive && !rooted) {
    w = current_directory() + L'\\' + w;
  }
  size_t start = 3;  // "X:\"
  if (w.rfind(L"\\\\?\\", 0) == 0 || w.rfind(L"\\\\.\\", 0) == 0) {
    const bool unc = w.compare(4, 4, L"UNC\\") == 0;
    start = unc ? 8 : 4;
    const size_t drive_end = unc ? w.find(L'\\', w.find(L'\\', start) + 1) : w.find(L'\\', start);
    start = drive_end == std::wstring::npos ? w.size() : drive_end + 1;
  } else if (w.rfind(L"\\\\", 0) == 0) {
    const size_t server_end = w.find(L'\\', 2);
    const size_t share_end = server_end == std::wstring::npos ? server_end : w.find(L'\\', server_end + 1);
    start = share_end == std::wstring::npos ? w.size() : share_end + 1;
  }
  std::wstring result = w.substr(0, start);
  if (result.empty() || result.back() != L'\\') result += L'\\';
  root_length = result.size();
  const bool closed = !w.empty() && w.back() == L'\\';
  size_t at = start;
  while (at < w.size()) {
    size_t end = w.find(L'\\', at);
    if (end == std::wstring::npos) end = w.size();
    const std::wstring part = w.substr(at, end - at);
    at = end + 1;
    if (part.empty() || part == L".") continue;
    if (part == L"..") {
      if (result.size() > root_length) {
        result.pop_back();
        result.resize(result.rfind(L'\\') + 1);
      }
      continue;
    }
    result += part;
    result += L'\\';
  }
  if (!closed && result.size() > root_length) result.pop_back();
  return result;
}

// An absolute path with the prefix that lifts the 260-character limit and
// turns off any further rewriting of the names.
std::wstring with_prefix(const std::wstring& absolute) {
  if (absolute.rfind(L"\\\\?\\", 0) == 0 || absolute.rfind(L"\\\\.\\", 0) == 0) return absolute;
  if (absolute.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + absolute.substr(2);
  return L"\\\\?\\" + absolute;
}

// The spelling the wide calls take for `path`.
std::wstring native(std::string_view path) {
  size_t root_length = 0;
  return with_prefix(absolute_path(path, root_length));
}

// The plain spelling of a path the system gave with a prefix.
std::wstring without_prefix(std::wstring path) {
  if (path.rfind(L"\\\\?\\UNC\\", 0) == 0) return L"\\\\" + path.substr(8);
  if (path.rfind(L"\\\\?\\", 0) == 0) return path.substr(4);
  return path;
}

std::string system_text(DWORD error) {
  wchar_t* text = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string result = length > 0 && text != nullptr ? narrow(text, length) : std::string();
  if (text != nullptr) LocalFree(text);
  while (!result.empty() && (result.back() == '\n' || result.back() == '\r' || result.back() == '.')) {
    result.pop_back();
  }
  return result.empty() ? "error " + std::to_string(error) : result;
}

std::string why(const std::string& path, DWORD error) { return path + ": " + system_text(error); }

bool is_separator(char c) { return c == '\\' || c == '/'; }

DWORD attributes_of(const std::string& path) { return GetFileAttributesW(native(path).c_str()); }

bool is_directory(const std::string& path) {
  const DWORD attributes = attributes_of(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

std::string_view parent_part(std::string_view relative) {
  const size_t cut = relative.find_last_of("\\/");
  return cut == std::string_view::npos ? std::string_view() : relative.substr(0, cut + 1);
}


std::optional<FileId> id_of_handle(HANDLE handle) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(handle, &info)) return std::nullopt;
  return FileId{info.dwVolumeSerialNumber,
                (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
}

HANDLE open_for_query(const std::wstring& native_path) {
  return CreateFileW(native_path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                     nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

HANDLE open_for_query(const std::string& path) { return open_for_query(native(path)); }

std::wstring final_path_of(HANDLE handle) {
  std::wstring result(32768, L'\0');
  const DWORD length =
      GetFinalPathNameByHandleW(handle, result.data(), static_cast<DWORD>(result.size()), 0);
  if (length == 0 || length >= result.size()) return {};
  result.resize(length);
  return without_prefix(result);
}

// The file index alone, read without the volume: Wine finds a volume by
// examining every directory above the file, which costs a deep tree per level.
std::optional<std::uint64_t> index_of_handle(HANDLE handle) {
  struct {
    LARGE_INTEGER index;
  } internal{};
  IO_STATUS_BLOCK status;
  if (NtQueryInformationFile(handle, &status, &internal, sizeof internal, FileInternalInformation) != 0) {
    return std::nullopt;
  }
  return static_cast<std::uint64_t>(internal.index.QuadPart);
}

// The path an existing file or directory really has, links and junctions
// followed; empty when it cannot be opened.
std::string final_path(const std::string& path) {
  const HANDLE handle = open_for_query(path);
  if (handle == INVALID_HANDLE_VALUE) return {};
  std::wstring result(32768, L'\0');
  const DWORD length =
      GetFinalPathNameByHandleW(handle, result.data(), static_cast<DWORD>(result.size()), 0);
  CloseHandle(handle);
  if (length == 0 || length >= result.size()) return {};
  result.resize(length);
  return narrow(without_prefix(result));
}

}  // namespace win32

using namespace win32;

namespace {

// Wine shows host names it cannot decode with U+FFFD in place of the bytes
// it could not read, and finds the file again by that spelling, so a copy
// would land under a name the source does not have. On Windows itself the
// character is an ordinary one.
bool undecoded(std::wstring_view name) {
  return under_wine() && name.find(L'\xFFFD') != std::wstring_view::npos;
}

FILETIME filetime_from(const LARGE_INTEGER& value) {
  FILETIME result;
  result.dwLowDateTime = value.LowPart;
  result.dwHighDateTime = static_cast<DWORD>(value.HighPart);
  return result;
}

void append_entry(const FILE_ID_BOTH_DIR_INFO& info, std::vector<DirEntry>& entries) {
  const std::wstring_view name(info.FileName, info.FileNameLength / sizeof(wchar_t));
  if (name == L"." || name == L"..") return;
  DirEntry entry;
  entry.name = narrow(name.data(), name.size());
  // A name from another system (a Linux name seen through Wine) may hold a
  // separator: joined to a path it would name something else.
  if (name.find_first_of(L"\\/") != std::wstring_view::npos || undecoded(name)) {
    entry.kind = EntryKind::kUnusable;
    entries.push_back(std::move(entry));
    return;
  }
  if ((info.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    // A junction or directory link is never entered: it could lead in a
    // circle, or out of the tree.
    const bool link = (info.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    entry.kind = link ? EntryKind::kDirectoryLink : EntryKind::kDirectory;
  } else {
    entry.kind = EntryKind::kFile;
    entry.size = static_cast<std::uint64_t>(info.EndOfFile.QuadPart);
    entry.last_write = file_time(filetime_from(info.LastWriteTime));
    entry.attributes.mode = info.FileAttributes & kKeptMarks;
  }
  entries.push_back(std::move(entry));
}

// Reads every entry of the open directory `dir`. False with the last error
// set when the listing broke off.
bool read_entries(HANDLE dir, std::vector<DirEntry>& entries) {
  // 8-byte aligned, as the records in it are.
  std::vector<std::uint64_t> buffer(64 * 1024 / sizeof(std::uint64_t));
  const DWORD bytes = static_cast<DWORD>(buffer.size() * sizeof(std::uint64_t));
  while (GetFileInformationByHandleEx(dir, FileIdBothDirectoryInfo, buffer.data(), bytes)) {
    const auto* at = reinterpret_cast<const unsigned char*>(buffer.data());
    for (;;) {
      const auto& info = *reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(at);
      append_entry(info, entries);
      if (info.NextEntryOffset == 0) break;
      at += info.NextEntryOffset;
    }
  }
  // An empty drive root has not even "." to report.
  const DWORD error = GetLastError();
  return error == ERROR_NO_MORE_FILES || error == ERROR_FILE_NOT_FOUND;
}



}  // namespace

namespace win32 {

bool leads_elsewhere(NativeFileSystem::State& state, const std::string& root,
                     std::string_view relative) {
  const HANDLE file = open_for_query(state.below(root, relative));
  if (file == INVALID_HANDLE_VALUE) return false;
  const std::wstring file_path = final_path_of(file);
  CloseHandle(file);
  const HANDLE dir = open_for_query(state.below(root, parent_part(relative)));
  if (dir == INVALID_HANDLE_VALUE) return false;
  std::wstring dir_path = final_path_of(dir);
  CloseHandle(dir);
  if (file_path.empty() || dir_path.empty()) return false;
  if (dir_path.back() != L'\\') dir_path += L'\\';
  const std::string_view name = relative.substr(parent_part(relative).size());
  return CompareStringOrdinal(file_path.c_str(), static_cast<int>(file_path.size()),
                              (dir_path + wide(name)).c_str(),
                              static_cast<int>(dir_path.size() + wide(name).size()), TRUE) != CSTR_EQUAL;
}

}  // namespace win32

std::wstring NativeFileSystem::State::below(const std::string& root, std::string_view relative) {
  std::wstring base;
  {
    const std::lock_guard<std::mutex> lock(mutex);
    if (const auto found = spellings.find(root); found != spellings.end()) base = found->second;
  }
  if (base.empty()) {
    base = native(root);
    if (base.back() != L'\\') base += L'\\';
    const std::lock_guard<std::mutex> lock(mutex);
    spellings.emplace(root, base);
  }
  return base + wide(relative);
}

// Names that did not survive decoding may be listed twice: neither is one
// name any more.
void mark_twins(std::vector<DirEntry>& entries) {
  std::map<std::string_view, size_t> seen;
  for (size_t i = 0; i < entries.size(); ++i) {
    const auto [at, added] = seen.emplace(entries[i].name, i);
    if (added) continue;
    entries[at->second].kind = EntryKind::kUnusable;
    entries[i].kind = EntryKind::kUnusable;
  }
}

bool NativeFileSystem::State::plain_below(const std::string& root, std::string_view relative_dir) {
  std::vector<size_t> cuts;  // where each directory of `relative_dir` ends
  for (size_t cut = relative_dir.find('\\'); cut != std::string_view::npos;
       cut = relative_dir.find('\\', cut + 1)) {
    cuts.push_back(cut);
  }
  // From the deepest directory up to the first one already found plain: in
  // a run, that is the parent or the directory itself, so each directory is
  // examined once per run, however deep the tree.
  size_t known = cuts.size();
  {
    const std::lock_guard<std::mutex> lock(mutex);
    while (known > 0 && plain.count(root + std::string(relative_dir.substr(0, cuts[known - 1] + 1))) == 0) {
      --known;
    }
  }
  for (size_t k = known; k < cuts.size(); ++k) {
    const DWORD attributes = GetFileAttributesW(below(root, relative_dir.substr(0, cuts[k])).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return false;
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
        (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
      SetLastError(ERROR_DIRECTORY);
      return false;
    }
    const std::lock_guard<std::mutex> lock(mutex);
    plain.insert(root + std::string(relative_dir.substr(0, cuts[k] + 1)));
  }
  return true;
}

std::uint64_t NativeFileSystem::State::volume_of(const std::string& root) {
  const std::lock_guard<std::mutex> lock(mutex);
  const auto found = volumes.find(root);
  return found == volumes.end() ? 0 : found->second;
}

void NativeFileSystem::State::forget() {
  const std::lock_guard<std::mutex> lock(mutex);
  plain.clear();
  let_go_of_made(0);
}

NativeFileSystem::NativeFileSystem() : state_(new State) {}
NativeFileSystem::~NativeFileSystem() {
  state_->let_go_of_made(0);
  for (const auto& [root, handle] : state_->roots) {
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
  }
  delete state_;
}

int NativeFileSystem::interrupted() const { return pending_interrupt(); }

RootStatus NativeFileSystem::open_root(const std::string& root) {
  RootStatus result;
  // Shared for reading and writing but not for deletion: while the run holds
  // it, the root can be neither removed nor renamed and replaced by a link.
  const HANDLE handle =
      CreateFileW(native(root).c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    const bool missing = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
    result.status = missing ? ListStatus::kMissing : ListStatus::kUnreadable;
    result.reason = system_text(error);
    return result;
  }
  result.id = id_of_handle(handle).value_or(FileId{});
  // Some file systems (tmpfs through Wine, for one) give every directory a
  // volume serial number or file index of 0: that identity tells nothing.
  result.id_known = result.id.volume != 0 && result.id.index != 0;
  const std::lock_guard<std::mutex> lock(state_->mutex);
  state_->volumes[root] = result.id.volume;
  HANDLE& kept = state_->roots[root];
  if (kept != nullptr && kept != INVALID_HANDLE_VALUE) CloseHandle(kept);
  kept = handle;
  return result;
}

const PathStyle& NativeFileSystem::path_style() const { return kWindowsPathStyle; }

void NativeFileSystem::list_directory(const std::string& root, std::string_view relative_dir,
                                      Listing& listing) {
  state_->pauses.at(PausePoint::kList);
  const std::wstring dir = state_->below(root, relative_dir);
  listing.entries.clear();
  listing.status = ListStatus::kOk;
  listing.reason.clear();
  auto fail = [&](ListStatus status, DWORD error) {
    listing.entries.clear();
    listing.status = status;
    listing.reason = system_text(error);
  };
  // One open serves the identity, the time and the entries: under Wine each
  // open costs a walk of the whole path, so a deep tree pays for it per level.
  const HANDLE self = CreateFileW(dir.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (self == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    const bool missing = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
    return fail(missing ? ListStatus::kMissing : ListStatus::kUnreadable, error);
  }
  // A walk never enters a junction or mount point, so every directory it
  // meets is on the root's volume.
  listing.id = FileId{state_->volume_of(root), index_of_handle(self).value_or(0)};
  FILETIME written{};
  if (GetFileTime(self, nullptr, nullptr, &written)) listing.last_write = file_time(written);
  listing.attributes = {};
  const bool read = read_entries(self, listing.entries);
  const DWORD error = GetLastError();
  CloseHandle(self);
  if (!read) return fail(ListStatus::kUnreadable, error);
  mark_twins(listing.entries);
}

// The final path already carries the spelling the directory stores.
std::string NativeFileSystem::stored_spelling(const std::string& resolved) { return resolved; }

}  // namespace qmr
