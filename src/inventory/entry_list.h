// The files found under one root, in scan order, and the directories the scan
// read. An entry is a 16-byte record; each directory's relative path is stored
// once and each name once, in large shared blocks, so a list of a million
// files stays compact and never needs one big reallocation while it grows.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "inventory/index_iterator.h"
#include "platform/platform.h"

namespace qmr {

// One file as the list holds it: sixteen bytes. What most files share or
// lack (attributes other than the first file's, sizes and times beyond 32
// bits) is stored after the name instead, read through the list; so is the
// directory, which runs of entries share.
class FileEntry {
 public:
  EntryKind kind() const { return static_cast<EntryKind>(nanoseconds_ >> kKindShift); }

 private:
  friend class EntryList;
  // Nanoseconds take 30 bits; the kind (file, directory, link or unusable)
  // the other two. A directory link is held as a link.
  static constexpr unsigned kKindShift = 30;
  static constexpr std::uint32_t kNanosecondsMask = (1u << kKindShift) - 1;

  std::uint32_t size_low_ = 0;
  std::uint32_t seconds_low_ = 0;
  std::uint32_t nanoseconds_ = 0;
  std::uint32_t name_ = 0;  // where the name starts in the list's name blocks
};

static_assert(sizeof(FileEntry) == 16, "entries must stay compact");

// A directory below the root that could not be read; "" is the root itself.
struct ScanFailure {
  std::string relative_dir;
  ListStatus status;
  std::string reason;
};

class EntryList {
 public:
  // `root` ends with the path separator.
  explicit EntryList(std::string root) : root_(std::move(root)) {}

  const std::string& root() const { return root_; }

  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  const FileEntry& operator[](size_t i) const { return chunks_[i >> kChunkBits][i & (kChunkSize - 1)]; }

  IndexIterator<EntryList> begin() const { return {*this, 0}; }
  IndexIterator<EntryList> end() const { return {*this, size_}; }

  std::string_view name(const FileEntry& e) const;
  std::uint64_t file_size(const FileEntry& e) const;
  FileTime last_write(const FileEntry& e) const;
  // Relative path of the entry's directory: "" or a path ending with the separator.
  std::string_view directory(const FileEntry& e) const { return directories()[directory_index(e)]; }
  std::uint32_t directory_index(const FileEntry& e) const;
  std::string relative_path(const FileEntry& e) const;
  std::string path(const FileEntry& e) const { return root_ + relative_path(e); }

  // Registers a directory that was read (relative, ending with the separator)
  // with its owner and permission bits; returns its index for later adds.
  std::uint32_t add_directory(std::string_view relative_dir, const Attributes& attributes,
                              FileTime last_write = {});
  // Forgets the directory registered last, and its path: one the walk found
  // needing nothing, with nothing kept below it.
  void forget_last_directory();
  // Appends a file or link. Throws std::length_error beyond what the compact
  // records can address (over two thousand million names).
  void add(std::uint32_t directory, std::string_view name, EntryKind kind, std::uint64_t size,
           FileTime last_write, const Attributes& attributes = {});

  // The relative paths of the directories read, by index.
  class Directories {
   public:
    explicit Directories(const EntryList& list) : list_(list) {}
    size_t size() const { return list_.directories_.size(); }
    bool empty() const { return list_.directories_.empty(); }
    std::string_view operator[](size_t i) const;

   private:
    const EntryList& list_;
  };
  // Every directory read, in scan order; the root is the first.
  Directories directories() const { return Directories(*this); }
  const Attributes& attributes(std::uint32_t directory) const {
    return attribute_table_[directories_[directory].attributes];
  }
  FileTime directory_time(std::uint32_t directory) const;
  // A file's owner, group and mode (on Windows: its kept attribute marks).
  const Attributes& file_attributes(const FileEntry& e) const;

  const std::vector<ScanFailure>& failures() const { return failures_; }
  void add_failure(std::string relative_dir, ListStatus status, std::string reason) {
    failures_.push_back({std::move(relative_dir), status, std::move(reason)});
  }

  // The root directory's own last-write time, set by the file system's clock:
  // evidence, with the files' times, of the precision it stores.
  FileTime root_time;
  // Source files the scan paired with a destination file needing nothing,
  // and left out of both lists.
  std::uint64_t settled_pairs = 0;
  // The scan met a directory that is the other root of the run.
  bool met_other_root = false;
  // Relative paths of files named like a run's temporaries that the
  // selection left out: a destination file of that name is no debris.
  std::unordered_set<std::string> unselected_temporaries;

 private:
  // Names are stored in blocks of 1 MiB, each as a header (its length and
  // two flags), the name, the entry's attributes index unless it has the
  // first file's attributes and, for a wide entry, the high halves of size
  // and seconds; numbers take as few bytes as they need. An entry's name
  // position is the block number and the offset within it, and grows with
  // every entry added.
  static constexpr unsigned kBlockBits = 20;
  static constexpr size_t kBlockSize = size_t{1} << kBlockBits;

  // A directory's path lies in `paths_`; its time is kept as halves so that
  // the record needs no padding.
  struct DirectoryRecord {
    std::uint32_t block, offset, size;
    std::uint32_t attributes;
    std::uint32_t seconds_low, seconds_high, nanoseconds;
  };

  std::uint32_t attributes_index(const Attributes& attributes);
  // Header flags: the high halves of size and seconds follow (a size of
  // 4 GiB or more, or a time 68 years or more from the list's first), and
  // the entry's own attributes index does.
  static constexpr std::uint32_t kWide = 2;
  static constexpr std::uint32_t kOwnAttributes = 1;
  static constexpr unsigned kFlagBits = 2;

  const char* record(const FileEntry& e) const {
    return blocks_[e.name_ >> kBlockBits].get() + (e.name_ & (kBlockSize - 1));
  }
  // The name's header and the bytes after the name.
  const char* after_name(const FileEntry& e, std::uint32_t& header) const;
  std::uint64_t high_half(const FileEntry& e, size_t which) const;

  // Entries added to one directory in a row, from the name position of the
  // first up to the next run's: the walk adds a directory's files in runs
  // between the subdirectories it enters, so there are few.
  struct DirectoryRun {
    std::uint32_t name;
    std::uint32_t directory;
  };

  std::string root_;
  std::deque<DirectoryRecord> directories_;
  // Relative paths of directories end to end, in blocks of 1 MiB (or one of
  // its own for a longer path); nothing stored ever moves.
  std::vector<std::unique_ptr<char[]>> paths_;
  size_t paths_used_ = kBlockSize;
  // Files and directories share a few distinct triples: each is kept once.
  std::vector<Attributes> attribute_table_;
  std::map<std::array<std::uint32_t, 3>, std::uint32_t> attributes_index_;
  std::vector<std::unique_ptr<char[]>> blocks_;
  size_t block_used_ = kBlockSize;
  // Entries in chunks of 4,096, each made whole when the last is full:
  // nothing moves, and no allocation is small enough for its bookkeeping to
  // count.
  static constexpr unsigned kChunkBits = 12;
  static constexpr size_t kChunkSize = size_t{1} << kChunkBits;
  std::vector<std::unique_ptr<FileEntry[]>> chunks_;
  size_t size_ = 0;
  std::vector<DirectoryRun> runs_;
  std::uint32_t common_attributes_ = 0;  // the first file's attributes index
  std::uint64_t seconds_base_ = 0;       // what entries' seconds are counted from
  std::vector<ScanFailure> failures_;
};

}  // namespace qmr
