// What the Windows tasks share: UTF-8 paths made UTF-16, absolute and with
// the \\?\ prefix, so no name passes through a code page and no length limit
// but the file system's applies; the system's texts for errors; and the open
// roots, held so that they can be neither renamed nor removed during a run.
#pragma once

#include <windows.h>
#include <winternl.h>

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "platform/pause_hooks.h"
#include "platform/platform.h"

namespace qmr::win32 {

FileTime file_time(const FILETIME& t);
FILETIME filetime_of(FileTime time);
// The marks a copy keeps, and that follow the source on an equal file.
inline constexpr DWORD kKeptMarks =
    FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE;
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
// The file index alone, read without the volume.
std::optional<std::uint64_t> index_of_handle(HANDLE handle);
HANDLE open_for_query(const std::string& path);
HANDLE open_for_query(const std::wstring& native_path);
// The path an existing file or directory really has, links and junctions
// followed; empty when it cannot be opened.
std::string final_path(const std::string& path);
// The path an open file really has, links followed, without the prefix.
std::wstring final_path_of(HANDLE handle);

// The flag a copy in flight passes to CopyFileEx, raised by an interrupt.
BOOL* copy_cancel_flag();
// False under Wine, whose CopyFileEx ignores that flag, and which shows host
// names it cannot decode with U+FFFD.
bool cancel_is_honoured();
bool under_wine();

// True when `relative` below `root` is, in truth, another file: a link that
// the file system shows as a plain file (a Linux link seen through Wine).
bool leads_elsewhere(NativeFileSystem::State& state, const std::string& root,
                     std::string_view relative);

// Removes the link `target` itself: a new empty file is renamed over it and
// then deleted, so what it leads to is never touched.
Outcome remove_link(const std::wstring& target, const std::string& path);
// Removes the junction or directory link `target` as one entry.
Outcome remove_directory_link(const std::wstring& target, const std::string& path, DWORD attributes);

}  // namespace qmr::win32

namespace qmr {

struct NativeFileSystem::State {
  // The wide path of `relative` below `root`: the root normalised once, the
  // names joined to it exactly as listed, never normalised again, so that no
  // name can act as "..", a separator or a trimmed spelling.
  std::wstring below(const std::string& root, std::string_view relative);

  // True when no directory of `relative_dir` below `root` is a junction or
  // link; remembered per directory, since copies come in runs of one
  // directory. On failure sets the last error.
  bool plain_below(const std::string& root, std::string_view relative_dir);
  // After a directory is removed, its name may come back as something else.
  void forget();
  // The volume serial number of a root opened in this run; 0 when unknown.
  std::uint64_t volume_of(const std::string& root);

  // The open handle of the directory `relative_dir` if this run made it and
  // still holds it; null otherwise. With `mutex` held.
  HANDLE made_handle(const std::string& root, std::string_view relative_dir);
  // Closes the directories made, keeping the first `keep`. With `mutex` held.
  void let_go_of_made(size_t keep);

  std::mutex mutex;
  // The directories made along the path the run is making them on,
  // outermost first, each held open.
  struct Made {
    std::string root;
    std::string relative;  // with its closing separator
    HANDLE handle;
  };
  std::vector<Made> made;
  std::unordered_set<std::string> plain;
  // The roots, held open without sharing deletion while the run lasts.
  std::map<std::string, HANDLE> roots;
  std::map<std::string, std::uint64_t> volumes;
  PauseHooks pauses;
  // Each root's wide spelling, normalised once, ending with a backslash.
  std::map<std::string, std::wstring> spellings;
};

}  // namespace qmr
