// The files found under one root, in scan order. An entry is a 24-byte record;
// each directory's relative path is stored once and each name once, in large
// shared blocks, so a list of a million files stays compact and never needs one
// big reallocation while it grows.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace qmr {

class FileEntry {
 public:
  std::uint64_t size = 0;
  std::int64_t last_write = 0;

  // Set by the scan; cleared by pairing when the destination already holds an
  // equal copy; read by the copy pass.
  bool needs_copy() const { return (directory_ & kCopyBit) != 0; }
  void set_needs_copy(bool on) { directory_ = on ? directory_ | kCopyBit : directory_ & ~kCopyBit; }

 private:
  friend class EntryList;
  static constexpr std::uint32_t kCopyBit = 0x80000000u;

  std::uint32_t name_ = 0;       // where the name starts in the list's name blocks
  std::uint32_t directory_ = 0;  // index into the directory table, and the copy bit
};

static_assert(sizeof(FileEntry) == 24, "entries must stay compact");

// A directory below the root that could not be read; "" is the root itself.
struct ScanFailure {
  std::string relative_dir;
  ListStatus status;
};

class EntryList {
 public:
  // `root` ends with the path separator.
  explicit EntryList(std::string root) : root_(std::move(root)) {}

  const std::string& root() const { return root_; }

  size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }
  FileEntry& operator[](size_t i) { return entries_[i]; }
  const FileEntry& operator[](size_t i) const { return entries_[i]; }
  auto begin() { return entries_.begin(); }
  auto end() { return entries_.end(); }
  auto begin() const { return entries_.begin(); }
  auto end() const { return entries_.end(); }

  std::string_view name(const FileEntry& e) const;
  // Relative path of the entry's directory: "" or a path ending with the separator.
  const std::string& directory(const FileEntry& e) const {
    return directories_[directory_index(e)];
  }
  std::uint32_t directory_index(const FileEntry& e) const {
    return e.directory_ & ~FileEntry::kCopyBit;
  }
  std::string relative_path(const FileEntry& e) const;
  std::string path(const FileEntry& e) const { return root_ + relative_path(e); }

  // Registers a directory (relative, ending with the separator) for later adds.
  std::uint32_t add_directory(std::string relative_dir);
  // Appends a file, marked as needing a copy. Throws std::length_error beyond
  // what the compact records can address (over two thousand million names).
  void add(std::uint32_t directory, std::string_view name, std::uint64_t size,
           std::int64_t last_write);

  const std::vector<std::string>& directories() const { return directories_; }

  const std::vector<ScanFailure>& failures() const { return failures_; }
  void add_failure(std::string relative_dir, ListStatus status) {
    failures_.push_back({std::move(relative_dir), status});
  }

 private:
  // Names are stored with a length byte pair in front, in blocks of 1 MiB; an
  // entry's name position is the block number and the offset within it.
  static constexpr unsigned kBlockBits = 20;
  static constexpr size_t kBlockSize = size_t{1} << kBlockBits;

  std::string root_;
  std::vector<std::string> directories_;
  std::vector<std::unique_ptr<char[]>> blocks_;
  size_t block_used_ = kBlockSize;
  std::deque<FileEntry> entries_;
  std::vector<ScanFailure> failures_;
};

}  // namespace qmr
