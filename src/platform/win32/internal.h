// What the Windows tasks share: UTF-8 paths made UTF-16, absolute and with
// the \\?\ prefix, so no name passes through a code page and no length limit
// but the file system's applies; the system's texts for errors; and the open
// roots, held so that they can be neither renamed nor removed during a run.
#pragma once

#include <windows.h>

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>

#include "platform/platform.h"

namespace qmr::win32 {

FileTime file_time(const FILETIME& t);
std::wstring wide(std::string_view text);
std::string narrow(const wchar_t* text, size_t length);
std::string narrow(const std::wstring& text);

// `path` made absolute with backslashes, and "." and ".." applied by spelling,
// as Windows does for a path it is given. Every other name is kept exactly,
// trailing dots and spaces included. Returns the part that stays (drive or
// server and share, ending with a backslash) in `root_length`.
std::wstring absolute_path(std::string_view path, size_t& root_length);
// An absolute path with the prefix that lifts the 260-character limit and
// turns off any further rewriting of the names.
std::wstring with_prefix(const std::wstring& absolute);
// The spelling the wide calls take for `path`.
std::wstring native(std::string_view path);
// The plain spelling of a path the system gave with a prefix.
std::wstring without_prefix(std::wstring path);

std::string system_text(DWORD error);
std::string why(const std::string& path, DWORD error);
bool is_separator(char c);
DWORD attributes_of(const std::string& path);
bool is_directory(const std::string& path);
std::string_view parent_part(std::string_view relative);
std::optional<FileId> id_of_handle(HANDLE handle);
HANDLE open_for_query(const std::string& path);

// The flag a copy in flight passes to CopyFileEx, raised by an interrupt.
BOOL* copy_cancel_flag();

}  // namespace qmr::win32

namespace qmr {

struct NativeFileSystem::State {
  // True when no directory of `relative_dir` below `root` is a junction or
  // link; remembered per directory, since copies come in runs of one
  // directory. On failure sets the last error.
  bool plain_below(const std::string& root, std::string_view relative_dir);
  // After a directory is removed, its name may come back as something else.
  void forget();

  std::mutex mutex;
  std::unordered_set<std::string> plain;
  // The roots, held open without sharing deletion while the run lasts.
  std::map<std::string, HANDLE> roots;
};

}  // namespace qmr
