#include "inventory/entry_list.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <stdexcept>

namespace qmr {

namespace {

constexpr size_t kMaxBlocks = size_t{1} << 11;  // positions fit in 31 bits
constexpr size_t kMaxNumberBytes = 5;          // a 32-bit number, seven bits a byte
constexpr size_t kHighBytes = 8;               // the high halves of a wide entry

std::uint64_t join(std::uint32_t low, std::uint32_t high) {
  return (static_cast<std::uint64_t>(high) << 32) | low;
}

// Seven bits a byte, low bits first; the top bit says another byte follows.
char* put_number(char* at, std::uint32_t n) {
  for (; n >= 0x80; n >>= 7) *at++ = static_cast<char>((n & 0x7f) | 0x80);
  *at++ = static_cast<char>(n);
  return at;
}

const char* get_number(const char* at, std::uint32_t& n) {
  n = 0;
  for (unsigned shift = 0;; shift += 7) {
    const auto byte = static_cast<unsigned char>(*at++);
    n |= static_cast<std::uint32_t>(byte & 0x7f) << shift;
    if ((byte & 0x80) == 0) return at;
  }
}

char* put_word(char* at, std::uint32_t n) {
  for (int i = 0; i < 4; ++i) *at++ = static_cast<char>(n >> (8 * i));
  return at;
}

std::uint32_t get_word(const char* at) {
  std::uint32_t n = 0;
  for (int i = 0; i < 4; ++i) n |= static_cast<std::uint32_t>(static_cast<unsigned char>(at[i])) << (8 * i);
  return n;
}

}  // namespace

std::string_view EntryList::name(const FileEntry& e) const {
  std::uint32_t header = 0;
  const char* at = get_number(record(e), header);
  return std::string_view(at, header >> kFlagBits);
}

const char* EntryList::after_name(const FileEntry& e, std::uint32_t& header) const {
  const char* at = get_number(record(e), header);
  return at + (header >> kFlagBits);
}

const Attributes& EntryList::file_attributes(const FileEntry& e) const {
  std::uint32_t header = 0;
  const char* at = after_name(e, header);
  if ((header & kOwnAttributes) == 0) return attribute_table_[common_attributes_];
  std::uint32_t index = 0;
  get_number(at, index);
  return attribute_table_[index];
}

// A wide entry's high half of size (0) or of seconds (1), stored after its
// attributes index; zero for any other entry.
std::uint64_t EntryList::high_half(const FileEntry& e, size_t which) const {
  std::uint32_t header = 0;
  const char* at = after_name(e, header);
  if ((header & kWide) == 0) return 0;
  if ((header & kOwnAttributes) != 0) {
    std::uint32_t index = 0;
    at = get_number(at, index);
  }
  return std::uint64_t{get_word(at + 4 * which)} << 32;
}

std::uint64_t EntryList::file_size(const FileEntry& e) const { return high_half(e, 0) | e.size_low_; }

FileTime EntryList::last_write(const FileEntry& e) const {
  const std::uint64_t seconds = high_half(e, 1) | e.seconds_low_;
  return {static_cast<std::int64_t>(seconds_base_ + seconds), e.nanoseconds_ & FileEntry::kNanosecondsMask};
}

std::uint32_t EntryList::directory_index(const FileEntry& e) const {
  const auto after =
      std::upper_bound(runs_.begin(), runs_.end(), e.name_,
                       [](std::uint32_t name, const DirectoryRun& run) { return name < run.name; });
  return std::prev(after)->directory;
}

std::string EntryList::relative_path(const FileEntry& e) const {
  std::string path(directory(e));
  path += name(e);
  return path;
}

std::string_view EntryList::Directories::operator[](size_t i) const {
  const DirectoryRecord& record = list_.directories_[i];
  return std::string_view(list_.paths_[record.block].get() + record.offset, record.size);
}

FileTime EntryList::directory_time(std::uint32_t directory) const {
  const DirectoryRecord& record = directories_[directory];
  return {static_cast<std::int64_t>(join(record.seconds_low, record.seconds_high)), record.nanoseconds};
}

std::uint32_t EntryList::attributes_index(const Attributes& attributes) {
  const std::array<std::uint32_t, 3> key{attributes.mode, attributes.owner, attributes.group};
  const auto [found, added] = attributes_index_.emplace(key, static_cast<std::uint32_t>(attribute_table_.size()));
  if (added) attribute_table_.push_back(attributes);
  return found->second;
}

std::uint32_t EntryList::add_directory(std::string_view relative_dir, const Attributes& attributes,
                                       FileTime last_write) {
  if (directories_.size() >= std::numeric_limits<std::uint32_t>::max()) {
    throw std::length_error("too many directories");
  }
  if (relative_dir.size() > std::numeric_limits<std::uint32_t>::max()) throw std::length_error("path too long");
  if (paths_.empty() || paths_used_ + relative_dir.size() > kBlockSize) {
    // Not zeroed: a block's memory is taken only as paths fill it.
    paths_.push_back(std::unique_ptr<char[]>(new char[std::max(kBlockSize, relative_dir.size())]));
    paths_used_ = 0;
  }
  std::memcpy(paths_.back().get() + paths_used_, relative_dir.data(), relative_dir.size());
  const auto seconds = static_cast<std::uint64_t>(last_write.seconds);
  directories_.push_back({static_cast<std::uint32_t>(paths_.size() - 1), static_cast<std::uint32_t>(paths_used_),
                          static_cast<std::uint32_t>(relative_dir.size()), attributes_index(attributes),
                          static_cast<std::uint32_t>(seconds), static_cast<std::uint32_t>(seconds >> 32),
                          last_write.nanoseconds});
  // A path longer than a block fills its own, and the next starts afresh.
  paths_used_ = relative_dir.size() > kBlockSize ? kBlockSize : paths_used_ + relative_dir.size();
  return static_cast<std::uint32_t>(directories_.size() - 1);
}

void EntryList::forget_last_directory() {
  const DirectoryRecord& record = directories_.back();
  // Its path is the last one stored, unless it filled a block of its own.
  if (record.block + 1 == paths_.size() && record.offset + record.size == paths_used_) paths_used_ = record.offset;
  directories_.pop_back();
}

void EntryList::add(std::uint32_t directory, std::string_view name, EntryKind kind,
                    std::uint64_t size, FileTime last_write, const Attributes& attributes) {
  // File names are far shorter than this on every file system.
  if (name.size() > 0xffff) throw std::length_error("file name too long");
  // A directory link is held as a link: one entry, deleted as one. The kind
  // then fits in its two bits.
  if (kind == EntryKind::kDirectoryLink) kind = EntryKind::kSymlink;
  static_assert(static_cast<unsigned>(EntryKind::kUnusable) < (1u << (32 - FileEntry::kKindShift)),
                "the kinds a list holds fit beside the nanoseconds");
  // Seconds are kept from a base half a 32-bit range before the first
  // entry's, in modular arithmetic: the times of one tree mostly fit in 32
  // bits whatever the platform's epoch.
  if (size_ == 0) seconds_base_ = static_cast<std::uint64_t>(last_write.seconds) - (std::uint64_t{1} << 31);
  const std::uint64_t seconds = static_cast<std::uint64_t>(last_write.seconds) - seconds_base_;
  const bool wide = (size >> 32) != 0 || (seconds >> 32) != 0;
  const std::uint32_t attributes_at = attributes_index(attributes);
  if (size_ == 0) common_attributes_ = attributes_at;
  const bool own_attributes = attributes_at != common_attributes_;
  const size_t needed = 2 * kMaxNumberBytes + name.size() + (wide ? kHighBytes : 0);
  if (block_used_ + needed > kBlockSize) {
    if (blocks_.size() >= kMaxBlocks) throw std::length_error("too many file names");
    // Not zeroed: a block's memory is taken only as names fill it.
    blocks_.push_back(std::unique_ptr<char[]>(new char[kBlockSize]));
    block_used_ = 0;
  }
  char* const start = blocks_.back().get() + block_used_;
  const auto header = static_cast<std::uint32_t>(name.size() << kFlagBits) | (wide ? kWide : 0) |
                      (own_attributes ? kOwnAttributes : 0);
  char* at = put_number(start, header);
  std::memcpy(at, name.data(), name.size());
  at += name.size();
  if (own_attributes) at = put_number(at, attributes_at);
  if (wide) at = put_word(put_word(at, static_cast<std::uint32_t>(size >> 32)), static_cast<std::uint32_t>(seconds >> 32));

  FileEntry entry;
  entry.size_low_ = static_cast<std::uint32_t>(size);
  entry.seconds_low_ = static_cast<std::uint32_t>(seconds);
  entry.nanoseconds_ = (last_write.nanoseconds & FileEntry::kNanosecondsMask) |
                       (static_cast<std::uint32_t>(kind) << FileEntry::kKindShift);
  entry.name_ = static_cast<std::uint32_t>(((blocks_.size() - 1) << kBlockBits) | block_used_);
  if (runs_.empty() || runs_.back().directory != directory) runs_.push_back({entry.name_, directory});
  if ((size_ & (kChunkSize - 1)) == 0) {
    chunks_.push_back(std::make_unique_for_overwrite<FileEntry[]>(kChunkSize));
  }
  chunks_.back()[size_ & (kChunkSize - 1)] = entry;
  ++size_;
  block_used_ += static_cast<size_t>(at - start);
}

}  // namespace qmr
