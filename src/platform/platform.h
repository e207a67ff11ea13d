// The operating-system services qmr uses, as tasks with results a caller can act
// on: list a directory, copy a file keeping what a copy keeps, remove, make and
// settle directories below a destination root without ever leaving it.
#pragma once

#include <compare>
#include <cstdint>
#include <functional>
#include <memory>
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

// Owner, group and permission bits of a directory or file; all zero where
// the platform keeps none (a Windows file's kept marks stand in `mode`).
struct Attributes {
  std::uint32_t mode = 0;
  std::uint32_t owner = 0;
  std::uint32_t group = 0;
  friend bool operator==(const Attributes&, const Attributes&) = default;
};

// The permission bits `wanted` keeps on a file or directory that ends with
// owner `owner` and group `group`: a set-user-id bit goes with another owner,
// a set-group-id bit with another group, so that a copy is never a set-id
// program of someone else.
constexpr std::uint32_t kept_mode(const Attributes& wanted, std::uint32_t owner, std::uint32_t group) {
  std::uint32_t mode = wanted.mode & 07777;
  if (owner != wanted.owner) mode &= ~std::uint32_t{04000};
  if (group != wanted.group) mode &= ~std::uint32_t{02000};
  return mode;
}

// The exit status of a run a signal stopped: 128 plus its number, as shells
// report a process the signal ended.
constexpr int stopped_status(int signal_number) { return 128 + signal_number; }

// kUnusable: a listed name that is not one plain name on this platform (it
// holds a path separator, or did not survive decoding: it reads as U+FFFD, or
// another entry of the directory reads the same), so no path may be built
// from it. kDirectoryLink: a junction or directory
// link where the platform cannot copy one; never entered, left out of a
// source, deleted as one entry from a destination.
enum class EntryKind : std::uint8_t { kFile, kDirectory, kSymlink, kUnusable, kDirectoryLink };

// Listings held ahead of the walk are most of a scan's memory: the kind
// comes last, where it packs beside the attributes.
struct DirEntry {
  std::string name;
  std::uint64_t size = 0;
  FileTime last_write;
  Attributes attributes;  // a file's owner, group and mode; Windows: its kept marks
  EntryKind kind = EntryKind::kFile;
};

enum class ListStatus { kOk, kMissing, kUnreadable };

struct RootProbe {
  bool alias = false;      // a name made in the destination showed in the source
  std::string unwritable;  // why the destination root takes no new name; empty when it does
};

// Whether listing a directory had to wait for the file system: not at all
// (answered from memory), now and then (a cold disk reads a block for many
// names), or for nearly every name (a round trip to a server each).
enum class ListingWait : std::uint8_t { kNever, kNowAndThen, kEachName };

// One directory as listed: its entries in no particular order, and what the
// directory itself is.
struct Listing {
  ListStatus status = ListStatus::kOk;
  std::string reason;  // why it could not be read
  FileId id;
  Attributes attributes;
  FileTime last_write;
  std::vector<DirEntry> entries;
  // How long the file system kept the listing waiting. Where it cannot tell,
  // it says "now and then".
  ListingWait waited = ListingWait::kNowAndThen;
};

// The result of an action: success, or the system's reason for the failure.
struct Outcome {
  bool ok = true;
  std::string reason;
  static Outcome success() { return {}; }
  static Outcome failure(std::string why) { return {false, std::move(why)}; }
};

enum class DirectoryMade { kCreated, kExisted, kFailed };

// A directory's identity and those of the directories above it in the
// system's own tree, nearest first, up to the top. Names do not enter into
// it, so it tells whether one root lies in another whatever links, mounts or
// drive letters reach them.
struct Lineage {
  std::vector<FileId> ids;
  bool exists = true;  // false: `ids` start at the nearest ancestor that exists
};

// A root directory as opened for a run.
struct RootStatus {
  ListStatus status = ListStatus::kOk;
  std::string reason;  // why it could not be opened
  FileId id;
  // False where the file system gives no identity to trust (a volume serial
  // number or file index of 0): the roots are then compared by other means.
  bool id_known = true;
};

// What a copy reads and where it goes: an entry below the source root, of the
// kind the scan saw, and a place below the destination root.
struct CopyOrder {
  const std::string& source_root;
  std::string source_relative;
  EntryKind kind;
  const std::string& dest_root;
  std::string dest_relative;
  bool replace;  // without it the copy fails where the name is taken
  // Told the bytes copied so far, between chunks, on the copying thread.
  std::function<void(std::uint64_t)> progress = nullptr;
};

// A copy written in full under a temporary name beside its target, not yet in
// place. `commit` renames it over the target; a staged copy dropped without a
// commit removes its temporary.
class StagedCopy {
 public:
  virtual ~StagedCopy() = default;
  virtual Outcome commit() = 0;
};

// The file-system tasks a run needs. The sync code takes it by reference so
// that tests can put an in-memory tree with injected failures in its place.
//
// A run opens its two roots once, with `open_root` or `make_root`; every other
// task names a place as one of those roots and a relative path below it, and
// reaches it from the root's open handle without following any link. So
// nothing outside either root is read, written or removed, whatever is
// renamed or swapped for a link while the run goes on: a task that meets a
// link or a special file where it expects a directory or a file fails.
//
// Who calls what at once. One thread (the run's) opens and makes the roots,
// resolves, compares and probes them, and later settles, stamps and prunes
// directories: `open_root`, `make_root`, `resolve_path`, `stored_spelling`,
// `lineage`, `probe_roots`, `set_attributes`, `set_file_attributes`,
// `set_directory_time` and `remove_directory` never run beside any other
// task. While a scan goes on, its listers call `list_directory` and
// `identity` at once, on either root. While a plan is carried out, its
// workers call `stage_copy` (and commit what it staged), `remove_file`,
// `remove_stale_temporary`, `make_directory` and `set_directory_mode` at
// once, on the destination root; two of them never name the same entry.
// `path_style`, `keeps_owners`, `bound_user` and `interrupted` may be called
// from any thread at any time.
class FileSystem {
 public:
  virtual ~FileSystem() = default;

  virtual const PathStyle& path_style() const = 0;

  // Opens the directory `root` (links followed: the user named it) and keeps
  // it open for the rest of the run.
  virtual RootStatus open_root(const std::string& root) = 0;

  // Files, symbolic links and subdirectories of `relative_dir` below `root`,
  // without "." and "..". Links are reported, never followed; devices, fifos
  // and sockets, and entries that vanish meanwhile, are left out. An entry that
  // cannot be examined for any other reason makes the whole directory
  // unreadable, so that nothing is dropped silently.
  virtual void list_directory(const std::string& root, std::string_view relative_dir,
                              Listing& listing) = 0;

  // The identity of what `path` names, links followed; none when it does not exist.
  virtual std::optional<FileId> identity(const std::string& path) = 0;

  // The lineage of the directory `path` names (links followed: the user
  // named it), or of its nearest existing ancestor; empty when none can be
  // told.
  virtual Lineage lineage(const std::string& path) = 0;

  // An absolute spelling of `path` with links, "." and ".." resolved; a part
  // that does not exist yet is appended to its nearest existing ancestor.
  virtual std::string resolve_path(const std::string& path) = 0;

  // `resolved` with every existing component spelled as its directory stores
  // it, for file systems that find names regardless of case.
  virtual std::string stored_spelling(const std::string& resolved) = 0;

  // Creates the directory `path` and its missing parents (links followed: the
  // user named this path), then opens it as `open_root` does.
  virtual Outcome make_root(const std::string& path) = 0;

  // Makes a name in `dest_root` and looks for it in `source_root`: seen, the
  // roots are two views of one directory that identity cannot tell apart (a
  // pass-through file system, a network loopback). The name is removed again.
  virtual RootProbe probe_roots(const std::string& source_root, const std::string& dest_root) = 0;

  // Creates one directory level below `root`, private to its owner until
  // `set_attributes` settles it.
  virtual DirectoryMade make_directory(const std::string& root, std::string_view relative_dir) = 0;

  // Gives a directory below `root` (or the root, for "") an owner, group and
  // permission bits, as far as the process may; the owner goes first. An
  // owner or group it may not give is no failure (see kept_mode); a directory
  // it cannot reach, or bits it cannot set, are.
  virtual Outcome set_attributes(const std::string& root, std::string_view relative_dir,
                                 const Attributes& attributes) = 0;

  // Gives the existing file `relative` below `root` the attributes a copy of
  // a file with `wanted` would get (owner only where the process may set it,
  // set-id bits dropped with an owner not kept; on Windows the read-only,
  // hidden, system and archive marks). `changed` tells whether anything did.
  virtual Outcome set_file_attributes(const std::string& root, std::string_view relative,
                                      const Attributes& wanted, bool& changed) = 0;

  // Sets the last-write time of a directory below `root`; false when it
  // could not be done.
  virtual bool set_directory_time(const std::string& root, std::string_view relative_dir,
                                  FileTime time) = 0;

  // True when a copy keeps its source's owner (the process may give files
  // away); otherwise only permission bits are compared.
  virtual bool keeps_owners() const = 0;

  // The user the run acts as, where directories' permission bits bind it;
  // none for a process that passes them (root) or where directories have no
  // such bits (Windows).
  virtual std::optional<std::uint32_t> bound_user() const = 0;

  // Gives a directory below `root` (or the root, for "") these permission
  // bits, leaving its owner and group; for a directory of the user's that
  // the run must write in.
  virtual Outcome set_directory_mode(const std::string& root, std::string_view relative_dir,
                                     std::uint32_t mode) = 0;

  // Writes a copy of the source entry beside its target under a temporary
  // name: its content (holes kept), permission bits, last-write time and,
  // where the process may set them, owner and group; a link is copied as a
  // link. On success `staged` holds it until it is committed or dropped. A
  // source that is no longer of the scanned kind, or that changes while it is
  // read, fails; so does an interrupt.
  virtual Outcome stage_copy(const CopyOrder& order, std::unique_ptr<StagedCopy>& staged) = 0;

  // Stages and commits at once.
  Outcome copy_file(const CopyOrder& order) {
    std::unique_ptr<StagedCopy> staged;
    const Outcome outcome = stage_copy(order, staged);
    return outcome.ok ? staged->commit() : outcome;
  }

  // Removes a file or link, even one marked read-only.
  virtual Outcome remove_file(const std::string& root, std::string_view relative) = 0;

  // Removes a directory below the root only when it is empty.
  virtual bool remove_directory(const std::string& root, std::string_view relative_dir) = 0;

  // Removes a temporary file left by a run that could not clean up, unless a
  // running copy still holds it open.
  virtual bool remove_stale_temporary(const std::string& root, std::string_view relative) = 0;

  // The number of the signal (or console event) that asked the run to stop,
  // or 0.
  virtual int interrupted() const = 0;
};

class NativeFileSystem final : public FileSystem {
 public:
  NativeFileSystem();
  ~NativeFileSystem() override;
  NativeFileSystem(const NativeFileSystem&) = delete;
  NativeFileSystem& operator=(const NativeFileSystem&) = delete;

  const PathStyle& path_style() const override;
  RootStatus open_root(const std::string& root) override;
  void list_directory(const std::string& root, std::string_view relative_dir,
                      Listing& listing) override;
  std::optional<FileId> identity(const std::string& path) override;
  Lineage lineage(const std::string& path) override;
  std::string resolve_path(const std::string& path) override;
  std::string stored_spelling(const std::string& resolved) override;
  Outcome make_root(const std::string& path) override;
  RootProbe probe_roots(const std::string& source_root, const std::string& dest_root) override;
  DirectoryMade make_directory(const std::string& root, std::string_view relative_dir) override;
  Outcome set_attributes(const std::string& root, std::string_view relative_dir,
                         const Attributes& attributes) override;
  Outcome set_file_attributes(const std::string& root, std::string_view relative,
                              const Attributes& wanted, bool& changed) override;
  bool set_directory_time(const std::string& root, std::string_view relative_dir, FileTime time) override;
  bool keeps_owners() const override;
  std::optional<std::uint32_t> bound_user() const override;
  Outcome set_directory_mode(const std::string& root, std::string_view relative_dir,
                             std::uint32_t mode) override;
  Outcome stage_copy(const CopyOrder& order, std::unique_ptr<StagedCopy>& staged) override;
  Outcome remove_file(const std::string& root, std::string_view relative) override;
  bool remove_directory(const std::string& root, std::string_view relative_dir) override;
  bool remove_stale_temporary(const std::string& root, std::string_view relative) override;
  int interrupted() const override;

  // What the platform keeps between tasks: the open roots and directories.
  struct State;

 private:
  State* state_;
};

// Makes the process safe to run before anything else happens: descriptors
// 0, 1 and 2 open (on the null device when they arrive closed), so that no
// file the run opens can take their place; a file-size limit reported as a
// failure, not a kill; and interrupts (Ctrl+C, termination, hang-up, a
// closed output pipe, console close) recorded for the run to stop at its
// next safe point instead of ending the process where it stands.
void prepare_process();

// The interrupt recorded so far (its signal number), or 0.
int pending_interrupt();

// Ends an interrupted run the conventional way, by the signal itself (so the
// shell sees 128 plus its number); otherwise returns `status`.
int end_process(int status);

// Shows `title` as the console window's title where the platform has one.
void set_console_title(const std::string& title);

bool stdout_is_terminal();
bool stderr_is_terminal();

// The program's arguments as UTF-8, exactly as the user gave them; on Windows
// read from the wide command line, never through a code page.
std::vector<std::string> command_line_arguments(int argc, const char* const* argv);

// UTF-8 text as the console shows it: unchanged on POSIX; on Windows in the
// console's (OEM) code page, with "?" for what that page cannot show.
std::string console_text(std::string_view text);

// Local time of now, "Www Mmm dd hh:mm:ss yyyy\n".
std::string current_time_text();

}  // namespace qmr
