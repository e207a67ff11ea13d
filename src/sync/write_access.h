// Writing in destination directories that the user owns but has closed to
// themselves, as the mirror of a read-only tree is: before the run first adds
// or removes a name in such a directory, the directory gets its owner's write
// and search bits; when the run is done with it, the executor gives it the
// mode it should end with. A directory of another owner, or one on a file
// system that refuses the change, is left as it is, and what the run tries
// there fails with its own reason.
//
// Threads: the executor's workers call `open` at once; `opened` and
// `close_all` are called by one thread once no worker runs.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "inventory/entry_list.h"
#include "platform/platform.h"
#include "sync/pairing.h"

namespace qmr {

// The bits a run needs in a directory to add and remove names: the owner's
// write and search bits.
inline constexpr std::uint32_t kOwnerWriteSearch = 0300;

// True when `user` owns a directory with these attributes but its mode keeps
// them from adding or removing names there.
constexpr bool closed_to_owner(const Attributes& directory, std::uint32_t user) {
  return directory.owner == user && (directory.mode & kOwnerWriteSearch) != kOwnerWriteSearch;
}

class WriteAccess {
 public:
  // Reads `fs.bound_user()`: for a process that passes permission bits,
  // nothing is ever opened and `open` costs nothing.
  WriteAccess(FileSystem& fs, const EntryList& dest);

  // Called before the run adds or removes a name in `relative_dir` (ending
  // with the separator; "" for the root): opens it if the scan found it closed
  // to its owner, the user. Directories the run made are open already.
  void open(std::string_view relative_dir);

  // True when permission bits bind the run: then a directory it leaves
  // unfinished keeps kOwnerWriteSearch.
  bool binds() const { return user_.has_value(); }

  // The directories opened, as the destination spells them, with the
  // attributes they had.
  std::vector<std::pair<std::string, Attributes>> opened() const;

  // Gives every opened directory its own mode back: for a run refused after
  // its root was opened.
  void close_all();

 private:
  FileSystem& fs_;
  const EntryList& dest_;
  std::optional<std::uint32_t> user_;
  // Made at the first `open` where the user is bound: a run with nothing
  // to do never pays for it.
  std::unique_ptr<DirectoryIndex> index_;
  std::once_flag index_made_;
  mutable std::mutex mutex_;
  // Each directory tried: the attributes it had, or none where it could not
  // be opened (so it is not tried again).
  std::map<std::string, std::optional<Attributes>, std::less<>> tried_;
};

}  // namespace qmr
