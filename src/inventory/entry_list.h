// The files found under one root, in scan order. Entries are small fixed records;
// each directory's relative path is stored once and each name once, in one shared
// buffer, so a list of a million files stays compact.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace qmr {

struct FileEntry {
  std::uint64_t size = 0;
  std::int64_t last_write = 0;
  std::uint64_t name_offset = 0;  // into the list's name buffer
  std::uint32_t directory = 0;    // index into the list's directory table
  std::uint16_t name_length = 0;
  bool needs_copy = true;
};

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
  std::vector<FileEntry>::iterator begin() { return entries_.begin(); }
  std::vector<FileEntry>::iterator end() { return entries_.end(); }
  std::vector<FileEntry>::const_iterator begin() const { return entries_.begin(); }
  std::vector<FileEntry>::const_iterator end() const { return entries_.end(); }

  std::string_view name(const FileEntry& e) const {
    return std::string_view(names_).substr(e.name_offset, e.name_length);
  }
  // Relative path of the entry's directory: "" or a path ending with the separator.
  const std::string& directory(const FileEntry& e) const { return directories_[e.directory]; }
  std::string relative_path(const FileEntry& e) const;
  std::string path(const FileEntry& e) const { return root_ + relative_path(e); }

  // Registers a directory (relative, ending with the separator) for later adds.
  std::uint32_t add_directory(std::string relative_dir);
  void add(std::uint32_t directory, std::string_view name, std::uint64_t size,
           std::int64_t last_write);

  const std::vector<std::string>& directories() const { return directories_; }

  const std::vector<ScanFailure>& failures() const { return failures_; }
  void add_failure(std::string relative_dir, ListStatus status) {
    failures_.push_back({std::move(relative_dir), status});
  }

 private:
  std::string root_;
  std::vector<std::string> directories_;
  std::string names_;
  std::vector<FileEntry> entries_;
  std::vector<ScanFailure> failures_;
};

}  // namespace qmr
