// Finds destination files' partners in the source list in constant time: an
// open hash table over the source entries keyed by the relative path with ASCII
// letters upper-cased. It holds indices only, four bytes a slot.
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

  // The source entry spelled exactly `relative_path`, or kNoPartner.
  size_t find_exact(std::string_view relative_path) const;

  // The source entries equal to `relative_path` ignoring ASCII case, in list order.
  std::vector<size_t> find_variants(std::string_view relative_path) const;

 private:
  static constexpr std::uint32_t kEmpty = std::numeric_limits<std::uint32_t>::max();

  std::uint64_t entry_hash(const FileEntry& e) const;
  template <typename Visit>
  void visit_matches(std::string_view relative_path, Visit visit) const;

  const EntryList& source_;
  std::vector<std::uint64_t> directory_hashes_;
  std::vector<std::uint32_t> slots_;
  size_t mask_ = 0;
};

// A tree's directories by their relative spelling, exact or with ASCII case
// folded: an open table of indices keyed by the folded spelling, four bytes a
// slot.
class DirectoryIndex {
 public:
  static constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();

  explicit DirectoryIndex(const EntryList& list);

  // The directory of this spelling, else the first of this spelling with
  // case folded, else kNone.
  std::uint32_t find(std::string_view dir) const { return lookup(dir, true); }
  // The first directory of this spelling with case folded, else kNone.
  std::uint32_t find_folded(std::string_view dir) const { return lookup(dir, false); }

 private:
  std::uint32_t lookup(std::string_view dir, bool exact_first) const;

  const EntryList& list_;
  std::vector<std::uint32_t> slots_;
  size_t mask_ = 0;
};

inline constexpr std::uint32_t kUnpaired = std::numeric_limits<std::uint32_t>::max();

// Who pairs with whom. Each file has one partner at most: a source file pairs
// with the destination file of exactly its spelling when there is one, and
// only otherwise with a case variant that no other source file has taken.
struct Pairing {
  std::vector<std::uint32_t> dest_of_source;  // by source index, or kUnpaired
  std::vector<std::uint32_t> source_of_dest;  // by destination index, or kUnpaired
};

Pairing pair_entries(const EntryList& source, const EntryList& dest);

}  // namespace qmr
