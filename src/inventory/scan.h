// Walks a directory tree into an EntryList: the files whose names the include and
// exclude patterns select, depth first in name order, each subdirectory's files
// standing where the subdirectory was met. Directories that cannot be read are
// recorded, not fatal.
#pragma once

#include <optional>
#include <string>

#include "inventory/entry_list.h"
#include "inventory/pattern.h"
#include "platform/platform.h"

namespace qmr {

// The destination scan's fixed selection: every name.
extern const PatternList all_files_list;

// True when `name` is not excluded and is included (an empty include list
// includes everything). Exclusion is decided first.
bool is_selected(std::string_view name, const PatternList& include, const PatternList& exclude);

struct ScanSettings {
  ScanSettings(const PatternList& include_, const PatternList& exclude_, bool recurse_,
               std::optional<FileId> other_root_ = std::nullopt)
      : include(include_), exclude(exclude_), recurse(recurse_), other_root(other_root_) {}

  const PatternList& include;
  const PatternList& exclude;
  bool recurse = false;
  // A directory the scan must never enter: the other root of the run. Meeting
  // it sets `met_other_root` on the list and the walk goes no further there.
  std::optional<FileId> other_root;
  // The destination's scan: a directory holding a name that is not one
  // plain name is reported as a failure, and nothing below it is deleted.
  bool destination = false;
  // Names of subdirectories never entered, on either side: nothing below
  // them is copied, and nothing below them is deleted.
  const PatternList* excluded_directories = nullptr;
  // Threads that list directories ahead of the walk; the list is the same
  // for any number.
  unsigned threads = 1;
};

// Decides, while both trees are walked together, whether a source file and
// the destination file of exactly its relative spelling need nothing from the
// run. Such a pair is only counted: memory grows with the work, not the tree.
// So is a pair of directories that needs nothing itself, once nothing below
// it was kept either.
class PairFilter {
 public:
  virtual ~PairFilter() = default;
  virtual bool settled(const DirEntry& source, const DirEntry& dest) = 0;
  virtual bool settled_directory(const Listing& source, const Listing& dest) = 0;
};

// Appends the selected files below `list.root()` to `list`. Every subdirectory
// is entered (with `recurse`) whatever the file patterns say, unless its name
// matches `excluded_directories`; a directory that
// cannot be read adds a ScanFailure and no entries. Entries of one directory
// come in the order of their upper-cased names, ties by their bytes, on every
// platform.
void scan_tree(FileSystem& fs, EntryList& list, const ScanSettings& settings);

// Scans both trees together, directory by directory, into `source` and
// `dest`: each list gets what scan_tree would give it, less the pairs that
// `filter` settles, which `source.settled_pairs` counts, and less the
// directory pairs of one spelling that it settles with nothing kept below
// them, unless a name in their path has a case variant beside it on either
// side (which a lookup ignoring case could reach).
void scan_trees(FileSystem& fs, EntryList& source, const ScanSettings& source_settings, EntryList& dest,
                const ScanSettings& dest_settings, PairFilter* filter);

}  // namespace qmr
