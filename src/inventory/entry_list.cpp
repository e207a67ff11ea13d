#include "inventory/entry_list.h"

namespace qmr {

std::string EntryList::relative_path(const FileEntry& e) const {
  std::string path = directory(e);
  path += name(e);
  return path;
}

std::uint32_t EntryList::add_directory(std::string relative_dir) {
  directories_.push_back(std::move(relative_dir));
  return static_cast<std::uint32_t>(directories_.size() - 1);
}

void EntryList::add(std::uint32_t directory, std::string_view name, std::uint64_t size,
                    std::int64_t last_write) {
  FileEntry entry;
  entry.size = size;
  entry.last_write = last_write;
  entry.name_offset = names_.size();
  entry.directory = directory;
  entry.name_length = static_cast<std::uint16_t>(name.size());
  names_.append(name);
  entries_.push_back(entry);
}

}  // namespace qmr
