#include "inventory/entry_list.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <stdexcept>

namespace qmr {

namespace {

constexpr size_t kLengthBytes = 2;
constexpr size_t kMaxBlocks = size_t{1} << 11;  // positions fit in 31 bits

}  // namespace

std::string_view EntryList::name(const FileEntry& e) const {
  const char* at = blocks_[e.name_ >> kBlockBits].get() + (e.name_ & (kBlockSize - 1));
  const size_t length = static_cast<unsigned char>(at[0]) |
                        static_cast<size_t>(static_cast<unsigned char>(at[1])) << 8;
  return std::string_view(at + kLengthBytes, length);
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
  return {static_cast<std::int64_t>(FileEntry::join(record.seconds_low, record.seconds_high)), record.nanoseconds};
}

std::uint32_t EntryList::attributes_index(const Attributes& attributes) {
  const std::array<std::uint32_t, 3> key{attributes.mode, attributes.owner, attributes.group};
  const auto [found, added] = attributes_index_.emplace(key, static_cast<std::uint32_t>(attribute_table_.size()));
  if (added) attribute_table_.push_back(attributes);
  return found->second;
}

std::uint32_t EntryList::add_directory(std::string_view relative_dir, const Attributes& attributes,
                                       FileTime last_write) {
  if (directories_.size() >= FileEntry::kDirectoryMask) throw std::length_error("too many directories");
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
  const size_t needed = kLengthBytes + name.size();
  if (block_used_ + needed > kBlockSize) {
    if (blocks_.size() >= kMaxBlocks) throw std::length_error("too many file names");
    // Not zeroed: a block's memory is taken only as names fill it.
    blocks_.push_back(std::unique_ptr<char[]>(new char[kBlockSize]));
    block_used_ = 0;
  }
  char* at = blocks_.back().get() + block_used_;
  at[0] = static_cast<char>(name.size() & 0xff);
  at[1] = static_cast<char>(name.size() >> 8);
  std::memcpy(at + kLengthBytes, name.data(), name.size());

  FileEntry entry;
  entry.size_low_ = static_cast<std::uint32_t>(size);
  entry.size_high_ = static_cast<std::uint32_t>(size >> 32);
  const auto seconds = static_cast<std::uint64_t>(last_write.seconds);
  entry.seconds_low_ = static_cast<std::uint32_t>(seconds);
  entry.seconds_high_ = static_cast<std::uint32_t>(seconds >> 32);
  entry.nanoseconds_ = last_write.nanoseconds;
  entry.name_ = static_cast<std::uint32_t>(((blocks_.size() - 1) << kBlockBits) | block_used_);
  entry.directory_ = directory | (static_cast<std::uint32_t>(kind) << FileEntry::kKindShift);
  entry.attributes_ = attributes_index(attributes);
  entries_.push_back(entry);
  block_used_ += needed;
}

}  // namespace qmr
