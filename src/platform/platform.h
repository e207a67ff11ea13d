// The operating-system services qmr uses: listing a directory, copying and removing
// files, creating and removing directories, the console title and code-page text.
// Each OS has one implementation file; callers see plain data and results only.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qmr {

// How paths are spelled on a platform. Kept as data so that the path rules
// (directory prefixes, root closing, overlap) can be tested for every platform.
struct PathStyle {
  char separator;
  bool drive_prefixes;    // "C:" names a drive, not a directory to create
  bool case_insensitive;  // file names that differ in ASCII case are one file
};

inline constexpr PathStyle kPosixPathStyle{'/', false, false};
inline constexpr PathStyle kWindowsPathStyle{'\\', true, true};
extern const PathStyle kNativePathStyle;

enum class EntryKind : std::uint8_t { kFile, kDirectory, kSymlink };

struct DirEntry {
  std::string name;
  EntryKind kind = EntryKind::kFile;
  std::uint64_t size = 0;
  std::int64_t last_write = 0;  // opaque ticks, compared for equality only
};

enum class ListStatus { kOk, kMissing, kUnreadable };

// The file-system operations the scan and the passes need. The sync code takes it
// by reference so that tests can put an in-memory tree with injected failures
// in place of the real one.
class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // How this file system spells paths.
  virtual const PathStyle& path_style() const = 0;

  // Files, symbolic links and subdirectories of `dir` (which ends with a
  // separator), without "." and "..", each with size and last-write time.
  // Links are reported, never followed; devices, fifos and sockets are left out.
  virtual ListStatus list_directory(const std::string& dir, std::vector<DirEntry>& entries) = 0;

  // Replaces `to` with a copy of `from` carrying its content, permission bits and
  // last-write time, so that a later run finds the two equal. The target is
  // replaced whole or not at all; read-only marks on it do not stop the copy.
  virtual bool copy_file(const std::string& from, const std::string& to) = 0;

  // Removes a file even when it is marked read-only.
  virtual bool remove_file(const std::string& path) = 0;

  // Creates one directory level / removes a directory only when it is empty.
  virtual bool make_directory(const std::string& path) = 0;
  virtual bool remove_directory(const std::string& path) = 0;

  // An absolute spelling of `path` with links, "." and ".." resolved; a part
  // that does not exist yet is appended to its nearest existing ancestor.
  virtual std::string resolve_path(const std::string& path) = 0;
};

class NativeFileSystem final : public FileSystem {
 public:
  const PathStyle& path_style() const override { return kNativePathStyle; }
  ListStatus list_directory(const std::string& dir, std::vector<DirEntry>& entries) override;
  bool copy_file(const std::string& from, const std::string& to) override;
  bool remove_file(const std::string& path) override;
  bool make_directory(const std::string& path) override;
  bool remove_directory(const std::string& path) override;
  std::string resolve_path(const std::string& path) override;
};

// Shows `title` as the console window's title where the platform has one.
void set_console_title(const std::string& title);

bool stdout_is_terminal();

// Converts 8-bit text from the system code page to the console's code page,
// keeping its length.
std::string ansi_to_oem(std::string text);

// Local time of now, "Www Mmm dd hh:mm:ss yyyy\n".
std::string current_time_text();

}  // namespace qmr
