// An in-memory file system for testing the scan, the plan and the executors:
// files with size and time, directories with attributes, bind mounts, a log of
// every change made, and failures on request. Safe to call from several
// threads, as a run's workers do.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"

namespace qmr::test {

class FakeFileSystem final : public FileSystem {
 public:
  struct File {
    std::uint64_t size = 0;
    FileTime time;
    EntryKind kind = EntryKind::kFile;
    Attributes attributes;
    friend bool operator==(const File&, const File&) = default;
  };

  // Paths are absolute and use "/"; parents are made as needed. A time given
  // as one number is whole seconds.
  void add_file(const std::string& path, std::uint64_t size, FileTime time,
                EntryKind kind = EntryKind::kFile);
  void add_file(const std::string& path, std::uint64_t size, std::int64_t seconds,
                EntryKind kind = EntryKind::kFile) {
    add_file(path, size, FileTime{seconds, 0}, kind);
  }
  void add_dir(const std::string& path, Attributes attributes = {});

  const PathStyle& path_style() const override { return kPosixPathStyle; }
  RootStatus open_root(const std::string& root) override;
  void list_directory(const std::string& root, std::string_view relative_dir,
                      Listing& listing) override;
  std::optional<FileId> identity(const std::string& path) override;
  Lineage lineage(const std::string& path) override;
  std::string resolve_path(const std::string& path) override;
  std::string stored_spelling(const std::string& resolved) override { return resolved; }
  Outcome make_root(const std::string& path) override;
  DirectoryMade make_directory(const std::string& root, std::string_view relative_dir) override;
  Outcome set_attributes(const std::string& root, std::string_view relative_dir,
                      const Attributes& attributes) override;
  RootProbe probe_roots(const std::string& source_root, const std::string& dest_root) override;
  Outcome set_file_attributes(const std::string& root, std::string_view relative, const Attributes& wanted,
                              bool& changed) override;
  bool set_directory_time(const std::string& root, std::string_view relative_dir, FileTime time) override;
  bool keeps_owners() const override { return owners_kept; }
  std::optional<std::uint32_t> bound_user() const override { return user; }
  Outcome set_directory_mode(const std::string& root, std::string_view relative_dir,
                             std::uint32_t mode) override;
  Outcome stage_copy(const CopyOrder& order, std::unique_ptr<StagedCopy>& staged) override;
  Outcome remove_file(const std::string& root, std::string_view relative) override;
  bool remove_directory(const std::string& root, std::string_view relative_dir) override;
  bool remove_stale_temporary(const std::string& root, std::string_view relative) override;
  int interrupted() const override { return interrupt.load(); }

  // Puts a staged copy in place; for the staged copies this fake hands out.
  Outcome place(const std::string& from, const std::string& to, bool replace);

  std::map<std::string, File> files;
  std::map<std::string, Attributes> dirs{{"/", {}}};
  // Directory times: those set, and those a listing reports (default: none).
  std::map<std::string, FileTime> dir_times;
  bool owners_kept = true;
  // The user the run acts as. When set, a name is added to or removed from a
  // directory only where its owner's write and search bits allow, or its
  // others' bits for a directory of another owner.
  std::optional<std::uint32_t> user;
  // Paths whose operation fails.
  std::set<std::string> fail_list, fail_copy, fail_remove;
  // "copy FROM TO", "remove P", "debris P", "mkdir D", "rmdir D", "attrs D MODE", "fattrs P MODE",
  // "mode D MODE" (octal), in the order done; only changes that happened are logged.
  std::vector<std::string> log;
  // Links resolved by resolve_path: spelling prefix -> real prefix.
  std::map<std::string, std::string> aliases;
  // Bind mounts: a directory that shows another one, with its identity.
  std::map<std::string, std::string> mounts;
  // Pass-through views: a directory that shows another one under an
  // identity of its own, as a FUSE file system does.
  std::map<std::string, std::string> views;
  // The interrupt the run sees, and the number of changes after which it
  // arrives by itself.
  struct Interrupt : std::atomic<int> {
    Interrupt() : std::atomic<int>(0) {}
    Interrupt(const Interrupt& other) : std::atomic<int>(other.load()) {}
    Interrupt& operator=(const Interrupt& other) {
      store(other.load());
      return *this;
    }
  } interrupt;
  size_t interrupt_after_changes = static_cast<size_t>(-1);
  // How long every listing says it waited, and the threads that listed.
  ListingWait listing_wait = ListingWait::kNowAndThen;
  std::set<std::thread::id> listers;

 private:
  // The executor's workers call in from several threads at once. A copy of
  // the file system gets a lock of its own.
  struct Lock : std::recursive_mutex {
    Lock() = default;
    Lock(const Lock&) {}
    Lock& operator=(const Lock&) { return *this; }
  };
  mutable Lock mutex_;

  std::string mounted(const std::string& path, bool through_views = true) const;
  void count_change();
  bool has_children(const std::string& dir) const;
  // Whether the user may add or remove names in `dir`.
  bool writable(const std::string& dir) const;
  // The failure of a place below `root` reached through a link, if any.
  bool through_link(const std::string& root, std::string_view relative) const;
};

}  // namespace qmr::test
