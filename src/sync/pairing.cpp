#include "sync/pairing.h"

#include "platform/ascii.h"

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

}  // namespace

SourceIndex::SourceIndex(const EntryList& source) : source_(source) {
  directory_hashes_.reserve(source.directories().size());
  for (const std::string& dir : source.directories()) {
    directory_hashes_.push_back(fold_hash(kHashStart, dir));
  }
  size_t capacity = 16;
  while (capacity < source.size() + source.size() / 2) capacity *= 2;
  slots_.assign(capacity, kEmpty);
  mask_ = capacity - 1;
  for (size_t i = 0; i < source.size(); ++i) {
    size_t slot = slot_of(entry_hash(source[i])) & mask_;
    while (slots_[slot] != kEmpty) slot = (slot + 1) & mask_;
    slots_[slot] = static_cast<std::uint32_t>(i);
  }
}

std::uint64_t SourceIndex::entry_hash(const FileEntry& e) const {
  return fold_hash(directory_hashes_[source_.directory_index(e)], source_.name(e));
}

size_t SourceIndex::find_partner(std::string_view relative_path) const {
  size_t first = kNoPartner;
  size_t exact = kNoPartner;
  for (size_t slot = slot_of(fold_hash(kHashStart, relative_path)) & mask_;
       slots_[slot] != kEmpty; slot = (slot + 1) & mask_) {
    const size_t i = slots_[slot];
    const FileEntry& e = source_[i];
    const std::string_view dir = source_.directory(e);
    const std::string_view name = source_.name(e);
    if (!equal_to_entry(relative_path, dir, name, false)) continue;
    if (i < first) first = i;
    if (i < exact && equal_to_entry(relative_path, dir, name, true)) exact = i;
  }
  return exact != kNoPartner ? exact : first;
}

}  // namespace qmr
