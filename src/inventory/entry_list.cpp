#include "inventory/entry_list.h"

#include <cstring>
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
  std::string path = directory(e);
  path += name(e);
  return path;
}

std::uint32_t EntryList::add_directory(std::string relative_dir, const Attributes& attributes,
                                       FileTime last_write) {
  if (directories_.size() >= FileEntry::kDirectoryMask) throw std::length_error("too many directories");
  directories_.push_back(std::move(relative_dir));
  attributes_.push_back(attributes);
  directory_times_.push_back(last_write);
  return static_cast<std::uint32_t>(directories_.size() - 1);
}

void EntryList::add(std::uint32_t directory, std::string_view name, EntryKind kind,
                    std::uint64_t size, FileTime last_write, const Attributes& attributes) {
  // File names are far shorter than this on every file system.
  if (name.size() > 0xffff) throw std::length_error("file name too long");
  const size_t needed = kLengthBytes + name.size();
  if (block_used_ + needed > kBlockSize) {
    if (blocks_.size() >= kMaxBlocks) throw std::length_error("too many file names");
    blocks_.push_back(std::make_unique<char[]>(kBlockSize));
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
  const std::array<std::uint32_t, 3> key{attributes.mode, attributes.owner, attributes.group};
  const auto [found, added] =
      attributes_index_.emplace(key, static_cast<std::uint32_t>(file_attributes_.size()));
  if (added) file_attributes_.push_back(attributes);
  entry.attributes_ = found->second;
  entries_.push_back(entry);
  block_used_ += needed;
}

}  // namespace qmr
