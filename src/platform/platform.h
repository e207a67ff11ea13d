// The operating-system services qmr uses, as tasks with results a caller can act
// on: list a directory, copy a file keeping what a copy keeps, remove, make and
// settle directories below a destination root without ever leaving it.
#pragma once

#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
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

// A last-write time as whole seconds and nanoseconds since the platform's
// epoch: compared as a pair, it cannot overflow over any range a file system
// stores.
struct FileTime {
  std::int64_t seconds = 0;
  std::uint32_t nanoseconds = 0;
  friend auto operator<=>(const FileTime&, const FileTime&) = default;
};

// What makes a file itself, whatever path reaches it: device and inode, or
// volume serial number and file index.
struct FileId {
  std::uint64_t volume = 0;
  std::uint64_t index = 0;
  friend bool operator==(const FileId&, const FileId&) = default;
};

// Owner, group and permission bits of a directory; all zero where the
// platform keeps none.
struct Attributes {
  std::uint32_t mode = 0;
  std::uint32_t owner = 0;
  std::uint32_t group = 0;
  friend bool operator==(const Attributes&, const Attributes&) = default;
};

enum class EntryKind : std::uint8_t { kFile, kDirectory, kSymlink };

struct DirEntry {
  std::string name;
  EntryKind kind = EntryKind::kFile;
  std::uint64_t size = 0;
  FileTime last_write;
};

enum class ListStatus { kOk, kMissing, kUnreadable };

// One directory as listed: its entries in no particular order, and what the
// directory itself is.
struct Listing {
  ListStatus status = ListStatus::kOk;
  std::string reason;  // why it could not be read
  FileId id;
  Attributes attributes;
  FileTime last_write;
  std::vector<DirEntry> entries;
};

// The result of an action: success, or the system's reason for the failure.
struct Outcome {
  bool ok = true;
  std::string reason;
  static Outcome success() { return {}; }
  static Outcome failure(std::string why) { return {false, std::move(why)}; }
};

enum class DirectoryMade { kCreated, kExisted, kFailed };

// The file-system tasks a run needs. The sync code takes it by reference so
// that tests can put an in-memory tree with injected failures in its place.
//
// Places in the destination are given as the root the user named (which may be
// a link) and a relative path below it. No component of the relative path is
// ever followed as a link: a task that meets one fails, so nothing outside the
// destination is created, written or removed through it.
class FileSystem {
 public:
  virtual ~FileSystem() = default;

  virtual const PathStyle& path_style() const = 0;

  // Files, symbolic links and subdirectories of `dir` (which ends with a
  // separator), without "." and "..". Links are reported, never followed;
  // devices, fifos and sockets, and entries that vanish meanwhile, are left
  // out. An entry that cannot be examined for any other reason makes the whole
  // directory unreadable, so that nothing is dropped silently.
  virtual void list_directory(const std::string& dir, Listing& listing) = 0;

  // The identity of what `path` names, links followed; none when it does not exist.
  virtual std::optional<FileId> identity(const std::string& path) = 0;

  // An absolute spelling of `path` with links, "." and ".." resolved; a part
  // that does not exist yet is appended to its nearest existing ancestor.
  virtual std::string resolve_path(const std::string& path) = 0;

  // `resolved` with every existing component spelled as its directory stores
  // it, for file systems that find names regardless of case.
  virtual std::string stored_spelling(const std::string& resolved) = 0;

  // Creates the directory `path` and its missing parents (links followed: the
  // user named this path).
  virtual Outcome make_root(const std::string& path) = 0;

  // Creates one directory level below `root`, private to its owner until
  // `set_attributes` settles it.
  virtual DirectoryMade make_directory(const std::string& root, std::string_view relative_dir) = 0;

  // Gives a directory below `root` (or the root, for "") an owner, group and
  // permission bits, as far as the process may; the owner goes first.
  virtual void set_attributes(const std::string& root, std::string_view relative_dir,
                              const Attributes& attributes) = 0;

  // Places at `root` + `relative` a copy of `from` with its content (holes
  // kept), permission bits, last-write time and, where the process may set
  // them, owner and group; a link is copied as a link. The copy is written
  // under a temporary name and renamed over the target, so the target is
  // replaced whole or not at all. Without `replace` the copy fails when the
  // destination already has an entry of that name, in any spelling the file
  // system takes for it.
  virtual Outcome copy_file(const std::string& from, const std::string& root,
                            std::string_view relative, bool replace) = 0;

  // Removes a file or link, even one marked read-only.
  virtual Outcome remove_file(const std::string& root, std::string_view relative) = 0;

  // Removes a directory below the root only when it is empty.
  virtual bool remove_directory(const std::string& root, std::string_view relative_dir) = 0;

  // Removes a temporary file left by a run that could not clean up, unless a
  // running copy still holds it open.
  virtual bool remove_stale_temporary(const std::string& root, std::string_view relative) = 0;
};

class NativeFileSystem final : public FileSystem {
 public:
  NativeFileSystem();
  ~NativeFileSystem() override;
  NativeFileSystem(const NativeFileSystem&) = delete;
  NativeFileSystem& operator=(const NativeFileSystem&) = delete;

  const PathStyle& path_style() const override;
  void list_directory(const std::string& dir, Listing& listing) override;
  std::optional<FileId> identity(const std::string& path) override;
  std::string resolve_path(const std::string& path) override;
  std::string stored_spelling(const std::string& resolved) override;
  Outcome make_root(const std::string& path) override;
  DirectoryMade make_directory(const std::string& root, std::string_view relative_dir) override;
  void set_attributes(const std::string& root, std::string_view relative_dir,
                      const Attributes& attributes) override;
  Outcome copy_file(const std::string& from, const std::string& root, std::string_view relative,
                    bool replace) override;
  Outcome remove_file(const std::string& root, std::string_view relative) override;
  bool remove_directory(const std::string& root, std::string_view relative_dir) override;
  bool remove_stale_temporary(const std::string& root, std::string_view relative) override;

  // What the platform keeps between tasks (open destination directories).
  struct State;

 private:
  State* state_;
};

// From here on, an interrupt (Ctrl+C, termination, hang-up or console close)
// removes the temporary files of the copies in flight before the process
// ends with the conventional status.
void install_interrupt_cleanup();

// Shows `title` as the console window's title where the platform has one.
void set_console_title(const std::string& title);

bool stdout_is_terminal();

// The program's arguments as UTF-8, exactly as the user gave them; on Windows
// read from the wide command line, never through a code page.
std::vector<std::string> command_line_arguments(int argc, const char* const* argv);

// UTF-8 text as the console shows it: unchanged on POSIX; on Windows in the
// console's (OEM) code page, with "?" for what that page cannot show.
std::string console_text(std::string_view text);

// Local time of now, "Www Mmm dd hh:mm:ss yyyy\n".
std::string current_time_text();

}  // namespace qmr
