// Finds a destination file's partner in the source list in constant time: an open
// hash table over the source entries keyed by the relative path with ASCII letters
// upper-cased. It holds indices only, four bytes a slot.
#pragma once

#include <cstdint>
#include <limits>
#include <string_view>
#include <vector>

#include "inventory/entry_list.h"

namespace qmr {

class SourceIndex {
 public:
  static constexpr size_t kNoPartner = std::numeric_limits<size_t>::max();

  explicit SourceIndex(const EntryList& source);

  // The source entry whose relative path equals `relative_path` ignoring ASCII
  // case: the first such entry in list order, unless a later one matches byte
  // for byte (two names that differ only in case are two files on a
  // case-sensitive file system, and each pairs with its own copy).
  size_t find_partner(std::string_view relative_path) const;

 private:
  static constexpr std::uint32_t kEmpty = std::numeric_limits<std::uint32_t>::max();

  std::uint64_t entry_hash(const FileEntry& e) const;

  const EntryList& source_;
  std::vector<std::uint64_t> directory_hashes_;
  std::vector<std::uint32_t> slots_;
  size_t mask_ = 0;
};

}  // namespace qmr
