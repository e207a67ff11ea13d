// Walks a directory tree into an EntryList: the files whose names the include and
// exclude patterns select, depth first, each subdirectory's files standing where
// the subdirectory was met. Directories that cannot be read are recorded, not fatal.
#pragma once

#include <string>

#include "cli/options.h"
#include "inventory/entry_list.h"
#include "platform/platform.h"

namespace qmr {

// The destination scan's fixed selection: every name.
extern const PatternList all_files_list;

// True when `name` is not excluded and is included (an empty include list
// includes everything). Exclusion is decided first.
bool is_selected(std::string_view name, const PatternList& include, const PatternList& exclude);

// Appends the selected files of `list.root() + relative_dir` (and, with
// `recurse`, of every directory below it) to `list`. Every subdirectory is
// entered whatever the patterns say; a directory that cannot be read adds a
// ScanFailure and no entries.
void scan_tree(FileSystem& fs, EntryList& list, const std::string& relative_dir,
               const PatternList& include, const PatternList& exclude, bool recurse);

}  // namespace qmr
