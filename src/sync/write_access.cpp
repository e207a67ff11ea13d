#include "sync/write_access.h"

namespace qmr {

WriteAccess::WriteAccess(FileSystem& fs, const EntryList& dest)
    : fs_(fs), dest_(dest), user_(fs.bound_user()) {}

void WriteAccess::open(std::string_view relative_dir) {
  if (!user_ || dest_.directories().empty()) return;
  std::call_once(index_made_, [&] { index_ = std::make_unique<DirectoryIndex>(dest_); });
  const std::uint32_t d = index_->find(relative_dir);
  if (d == DirectoryIndex::kNone) return;  // made by the run, or never listed
  const Attributes& had = dest_.attributes(d);
  if (!closed_to_owner(had, *user_)) return;
  const std::string_view stored = dest_.directories()[d];
  const std::lock_guard<std::mutex> lock(mutex_);
  if (tried_.find(stored) != tried_.end()) return;
  const bool opened = fs_.set_directory_mode(dest_.root(), stored, had.mode | kOwnerWriteSearch).ok;
  tried_.emplace(std::string(stored), opened ? std::optional<Attributes>(had) : std::nullopt);
}

std::vector<std::pair<std::string, Attributes>> WriteAccess::opened() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::pair<std::string, Attributes>> result;
  for (const auto& [dir, had] : tried_) {
    if (had) result.emplace_back(dir, *had);
  }
  return result;
}

void WriteAccess::close_all() {
  for (const auto& [dir, had] : opened()) fs_.set_directory_mode(dest_.root(), dir, had.mode);
  const std::lock_guard<std::mutex> lock(mutex_);
  tried_.clear();
}

}  // namespace qmr
