#include "sync/pairing.h"

#include <algorithm>
#include <string>

#include "inventory/ascii.h"

namespace qmr {

namespace {

constexpr std::uint64_t kHashStart = 14695981039346656037ull;

// FNV-1a over the folded bytes; it can be carried on from a directory's hash.
std::uint64_t fold_hash(std::uint64_t hash, std::string_view text) {
  for (const char c : text) {
    hash ^= fold_ascii(static_cast<unsigned char>(c));
    hash *= 1099511628211ull;
  }
  return hash;
}

// Spreads the hash's entropy into the low bits used for the slot.
size_t slot_of(std::uint64_t hash) { return static_cast<size_t>(hash ^ (hash >> 29)); }

bool equal_to_entry(std::string_view key, std::string_view dir, std::string_view name,
                    bool exact) {
  if (key.size() != dir.size() + name.size()) return false;
  const std::string_view key_name = key.substr(dir.size());
  const std::string_view key_dir = key.substr(0, dir.size());
  // Names first: entries of one directory differ there, and early.
  if (exact) return key_name == name && key_dir == dir;
  return equal_ignoring_case(key_name, name) && equal_ignoring_case(key_dir, dir);
}

// A table for `count` keys, at most two thirds full.
std::vector<std::uint32_t> empty_slots(size_t count, std::uint32_t empty, size_t& mask) {
  size_t capacity = 16;
  while (capacity < count + count / 2) capacity *= 2;
  mask = capacity - 1;
  return std::vector<std::uint32_t>(capacity, empty);
}

}  // namespace

SourceIndex::SourceIndex(const EntryList& source) : source_(source) {
  directory_hashes_.reserve(source.directories().size());
  const auto dirs = source.directories();
  for (size_t i = 0; i < dirs.size(); ++i) directory_hashes_.push_back(fold_hash(kHashStart, dirs[i]));
  slots_ = empty_slots(source.size(), kEmpty, mask_);
  for (size_t i = 0; i < source.size(); ++i) {
    size_t slot = slot_of(entry_hash(source[i])) & mask_;
    while (slots_[slot] != kEmpty) slot = (slot + 1) & mask_;
    slots_[slot] = static_cast<std::uint32_t>(i);
  }
}

std::uint64_t SourceIndex::entry_hash(const FileEntry& e) const {
  return fold_hash(directory_hashes_[source_.directory_index(e)], source_.name(e));
}

template <typename Visit>
void SourceIndex::visit_matches(std::string_view relative_path, Visit visit) const {
  for (size_t slot = slot_of(fold_hash(kHashStart, relative_path)) & mask_;
       slots_[slot] != kEmpty; slot = (slot + 1) & mask_) {
    const size_t i = slots_[slot];
    const FileEntry& e = source_[i];
    if (equal_to_entry(relative_path, source_.directory(e), source_.name(e), false)) visit(i);
  }
}

size_t SourceIndex::find_exact(std::string_view relative_path) const {
  size_t found = kNoPartner;
  visit_matches(relative_path, [&](size_t i) {
    const FileEntry& e = source_[i];
    if (equal_to_entry(relative_path, source_.directory(e), source_.name(e), true)) found = i;
  });
  return found;
}

std::vector<size_t> SourceIndex::find_variants(std::string_view relative_path) const {
  std::vector<size_t> found;
  visit_matches(relative_path, [&](size_t i) { found.push_back(i); });
  std::sort(found.begin(), found.end());
  return found;
}

DirectoryIndex::DirectoryIndex(const EntryList& list) : list_(list) {
  const auto dirs = list.directories();
  slots_ = empty_slots(dirs.size(), kNone, mask_);
  for (size_t i = 0; i < dirs.size(); ++i) {
    size_t slot = slot_of(fold_hash(kHashStart, dirs[i])) & mask_;
    while (slots_[slot] != kNone) slot = (slot + 1) & mask_;
    slots_[slot] = static_cast<std::uint32_t>(i);
  }
}

std::uint32_t DirectoryIndex::lookup(std::string_view dir, bool exact_first) const {
  const auto dirs = list_.directories();
  std::uint32_t first = kNone;
  for (size_t slot = slot_of(fold_hash(kHashStart, dir)) & mask_; slots_[slot] != kNone;
       slot = (slot + 1) & mask_) {
    const std::uint32_t i = slots_[slot];
    if (exact_first && dirs[i] == dir) return i;
    if (equal_ignoring_case(dirs[i], dir)) first = std::min(first, i);
  }
  return first;
}

Pairing pair_entries(const EntryList& source, const EntryList& dest) {
  Pairing pairing;
  pairing.dest_of_source.assign(source.size(), kUnpaired);
  pairing.source_of_dest.assign(dest.size(), kUnpaired);
  // Into an empty destination (an initial mirror) there is no partner to
  // find, and no index of every source path to build.
  if (dest.empty()) return pairing;
  const SourceIndex index(source);
  auto pair = [&](size_t s, size_t d) {
    pairing.dest_of_source[s] = static_cast<std::uint32_t>(d);
    pairing.source_of_dest[d] = static_cast<std::uint32_t>(s);
  };
  std::string relative;
  bool some_unpaired = false;
  for (size_t d = 0; d < dest.size(); ++d) {
    relative = dest.relative_path(dest[d]);
    const size_t s = index.find_exact(relative);
    if (s == SourceIndex::kNoPartner) {
      some_unpaired = true;
      continue;
    }
    pair(s, d);
  }
  if (!some_unpaired) return pairing;
  // Spelled in another case: the first source variant not yet paired.
  for (size_t d = 0; d < dest.size(); ++d) {
    if (pairing.source_of_dest[d] != kUnpaired) continue;
    relative = dest.relative_path(dest[d]);
    for (const size_t s : index.find_variants(relative)) {
      if (pairing.dest_of_source[s] != kUnpaired) continue;
      pair(s, d);
      break;
    }
  }
  return pairing;
}

}  // namespace qmr
