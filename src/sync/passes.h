// The two passes of a run. The delete pass pairs every destination file with its
// source partner, marks equal pairs as needing no copy and deletes unpaired files;
// the copy pass then copies every source file still marked.
#pragma once

#include <cstddef>
#include <string>
#include <unordered_map>

#include "cli/options.h"
#include "console/console.h"
#include "inventory/entry_list.h"
#include "platform/platform.h"

namespace qmr {

// Source entries (by index) whose destination partner is spelled in another
// case, with the partner's relative path: a copy replaces that file rather
// than making a second one beside it where names are case-sensitive.
using PartnerSpellings = std::unordered_map<size_t, std::string>;

// Both return the number of actions that failed.
size_t delete_pass(FileSystem& fs, const Console& console, SyncMode mode, const EntryList& dest,
                   EntryList& source, PartnerSpellings& spellings);
size_t copy_pass(FileSystem& fs, const Console& console, const EntryList& source,
                 const std::string& dest_root, const PartnerSpellings& spellings);

}  // namespace qmr
