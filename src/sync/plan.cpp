#include "sync/plan.h"

#include <algorithm>
#include <string_view>

#include "inventory/ascii.h"
#include "platform/temporary_name.h"
#include "sync/equality.h"
#include "sync/pairing.h"
#include "sync/paths.h"

namespace qmr {

namespace {

bool below_failure(std::string_view relative_path, const EntryList& list) {
  for (const ScanFailure& failure : list.failures()) {
    if (starts_with_ignoring_case(relative_path, failure.relative_dir)) return true;
  }
  return false;
}

// A destination file below a source directory that could not be read may well
// have a partner there; deleting it would lose the only copy we can see. Nor
// is one deleted in a destination directory the scan could not take whole.
bool below_unread_directory(std::string_view relative_path, const EntryList& source,
                            const EntryList& dest) {
  return below_failure(relative_path, source) || below_failure(relative_path, dest);
}

void plan_deletions(const EntryList& source, const EntryList& dest, SyncMode mode,
                    const Pairing& pairing, Plan& plan) {
  for (size_t d = 0; d < dest.size(); ++d) {
    if (pairing.source_of_dest[d] != kUnpaired) continue;
    const auto entry = static_cast<std::uint32_t>(d);
    const std::string relative = dest.relative_path(dest[d]);
    if (below_unread_directory(relative, source, dest)) continue;
    // A temporary left by a killed run, unless the source holds a file of
    // that name that the selection left out: then it is the user's.
    if (is_temporary_name(dest.name(dest[d])) && source.unselected_temporaries.count(relative) == 0) {
      plan.actions.push_back({ActionKind::kClearDebris, false, entry});
      continue;
    }
    if (mode == SyncMode::kCopyOnly) continue;
    plan.actions.push_back({ActionKind::kDelete, false, entry});
  }
}

// The copy's or the attribute update's target: the partner's path when it is
// spelled otherwise.
void aim_at_partner(const EntryList& source, const EntryList& dest, const FileEntry& from,
                    const FileEntry& to, const Action& action, Plan& plan) {
  if (source.name(from) != dest.name(to) || source.directory(from) != dest.directory(to)) {
    plan.targets.emplace_back(action.entry, dest.relative_path(to));
  }
}

void plan_copies(const EntryList& source, const EntryList& dest, SyncMode mode,
                 std::int64_t time_step, bool owners_kept, const Pairing& pairing, Plan& plan) {
  for (size_t s = 0; s < source.size(); ++s) {
    const auto entry = static_cast<std::uint32_t>(s);
    // No pairing at all into an empty destination: every file is new.
    const std::uint32_t d = pairing.dest_of_source.empty() ? kUnpaired : pairing.dest_of_source[s];
    if (d == kUnpaired) {
      plan.actions.push_back({ActionKind::kCopy, false, entry});
      continue;
    }
    const FileEntry& from = source[s];
    const FileEntry& to = dest[d];
    const bool equal =
        source.file_size(from) == dest.file_size(to) &&
        same_time(dest.last_write(to), source.last_write(from), time_step);
    const bool files = from.kind() == EntryKind::kFile && to.kind() == EntryKind::kFile;
    const PairNeed need =
        pair_need(mode, equal, files, source.file_attributes(from), dest.file_attributes(to), owners_kept);
    if (need == PairNeed::kNothing) continue;
    if (need == PairNeed::kAttributes) {
      Action update{ActionKind::kAttributes, false, entry};
      aim_at_partner(source, dest, from, to, update, plan);
      plan.attributes.push_back(update);
      continue;
    }
    --plan.unchanged;
    Action copy{ActionKind::kCopy, true, entry};
    aim_at_partner(source, dest, from, to, copy, plan);
    plan.actions.push_back(copy);
  }
}

void plan_settling(const EntryList& source, const DirectoryIndex& index, const EntryList& dest,
                   bool owners_kept, Plan& plan) {
  const auto& source_dirs = source.directories();
  for (size_t i = 1; i < source_dirs.size(); ++i) {
    const std::uint32_t d = index.find(source_dirs[i]);
    if (d == DirectoryIndex::kNone) continue;  // made by the copies, and settled then
    const auto s = static_cast<std::uint32_t>(i);
    if (attributes_differ(source.attributes(s), dest.attributes(d), owners_kept)) plan.settle.push_back(s);
  }
}

// The source directories whose mirror ends the run with the source's time:
// those the run makes, those where it adds or removes a name, and those whose
// time differs already; deepest first, since stamping a directory never
// changes its parent's time.
void plan_retiming(const EntryList& source, const EntryList& dest, const DirectoryIndex& index,
                   SyncMode mode, std::int64_t time_step, Plan& plan) {
  const auto& source_dirs = source.directories();
  const bool copying = mode != SyncMode::kDelOnly;
  const bool root_made = plan.makes_root;
  if (source_dirs.empty() || (root_made && !copying)) return;
  std::vector<char> stamp(source_dirs.size(), 0);
  const DirectoryIndex source_index(source);
  const char separator = source.root().empty() ? '/' : source.root().back();
  const auto touch = [&](std::string_view dir) {
    if (const std::uint32_t s = source_index.find(dir); s != DirectoryIndex::kNone) stamp[s] = 1;
  };
  for (const Action action : plan.actions) {
    if (action.kind() == ActionKind::kCopy) {
      stamp[source.directory_index(source[action.entry])] = 1;
      continue;
    }
    // A deletion changes its directory and, when that is emptied and goes,
    // the one above.
    const std::string_view dir = dest.directory(dest[action.entry]);
    touch(dir);
    if (!dir.empty()) touch(parent_of_dir(dir, separator));
  }
  for (size_t i = 1; i < source_dirs.size(); ++i) {
    const std::uint32_t d = index.find(source_dirs[i]);
    if (d == DirectoryIndex::kNone) {
      // Made by the copies, and its parent changed with it.
      if (!copying) continue;
      stamp[i] = 1;
      touch(parent_of_dir(source_dirs[i], separator));
    } else if (!same_time(dest.directory_time(d), source.directory_time(static_cast<std::uint32_t>(i)),
                          time_step)) {
      stamp[i] = 1;
    }
  }
  stamp[0] = root_made;
  for (size_t i = 0; i < stamp.size(); ++i) {
    if (stamp[i] != 0) plan.retime.push_back(static_cast<std::uint32_t>(i));
  }
  std::stable_sort(plan.retime.begin(), plan.retime.end(), [&](std::uint32_t a, std::uint32_t b) {
    return source_dirs[a].size() > source_dirs[b].size();
  });
}

// A destination directory where a copy must put a file is in the way: it
// goes, with the empty directories below it, once nothing else is left there.
void plan_clearing(const EntryList& source, const DirectoryIndex& index, const EntryList& dest,
                   Plan& plan) {
  const char separator = dest.root().empty() ? '/' : dest.root().back();
  const auto& dirs = dest.directories();
  for (const Action action : plan.actions) {
    if (action.kind() != ActionKind::kCopy) continue;
    const std::uint32_t found = index.find_folded(copy_target(plan, action, source) + separator);
    if (found == DirectoryIndex::kNone) continue;
    const std::string_view top = dirs[found];
    for (size_t d = found; d < dirs.size(); ++d) {
      if (dirs[d].compare(0, top.size(), top) == 0) plan.clear.push_back(static_cast<std::uint32_t>(d));
    }
  }
}

}  // namespace

Plan make_plan(const EntryList& source, const EntryList& dest, SyncMode mode,
               std::int64_t time_step, bool owners_kept) {
  Plan plan;
  // Every file the scan kept is one action at most: no growth by doubling.
  plan.actions.reserve(source.size() + dest.size());
  plan.unchanged = source.settled_pairs;
  plan.makes_root = !dest.failures().empty() && dest.failures().front().relative_dir.empty() &&
                    dest.failures().front().status == ListStatus::kMissing;
  // An initial mirror needs no table of partners, four bytes a file.
  const Pairing pairing = dest.empty() ? Pairing{} : pair_entries(source, dest);
  for (const std::uint32_t partner : pairing.dest_of_source) plan.unchanged += partner != kUnpaired;
  plan_deletions(source, dest, mode, pairing, plan);
  const DirectoryIndex index(dest);
  if (mode != SyncMode::kDelOnly) {
    plan_copies(source, dest, mode, time_step, owners_kept, pairing, plan);
    plan_settling(source, index, dest, owners_kept, plan);
    // Only a scan that entered subdirectories knows what is in one.
    if (dest.directories().size() > 1) plan_clearing(source, index, dest, plan);
  }
  plan_retiming(source, dest, index, mode, time_step, plan);
  return plan;
}

bool SettledPairs::settled(const DirEntry& source, const DirEntry& dest) {
  // Times equal to the nanosecond are equal at any step the destination
  // turns out to have; others wait for the plan, which knows it.
  const bool equal = source.size == dest.size && source.last_write == dest.last_write;
  const bool files = source.kind == EntryKind::kFile && dest.kind == EntryKind::kFile;
  if (pair_need(mode_, equal, files, source.attributes, dest.attributes, owners_kept_) != PairNeed::kNothing) {
    return false;
  }
  seen_.narrow(dest.last_write);
  return true;
}

void ActionList::push_back(Action action) {
  if (tail_.capacity() < kSegment) tail_.reserve(kSegment);
  tail_.push_back(action);
  if (tail_.size() < kSegment) return;
  const Action first = tail_.front();
  bool run = true;
  for (size_t i = 1; i < kSegment && run; ++i) {
    run = tail_[i].kind() == first.kind() && tail_[i].replace() == first.replace() &&
          tail_[i].entry == first.entry + i;
  }
  if (run) {
    segments_.push_back({first, kRun});
  } else {
    if (listed_.size() > kRun - kSegment) throw std::length_error("too many files to plan");
    segments_.push_back({first, static_cast<std::uint32_t>(listed_.size())});
    listed_.insert(listed_.end(), tail_.begin(), tail_.end());
  }
  tail_.clear();
}

void ActionList::reserve(size_t actions) {
  segments_.reserve(actions / kSegment);
  listed_.reserve(actions);
}

std::string copy_target(const Plan& plan, const Action& action, const EntryList& source) {
  const std::uint32_t entry = action.entry;
  const auto found = std::lower_bound(plan.targets.begin(), plan.targets.end(), entry,
                                      [](const auto& target, std::uint32_t e) { return target.first < e; });
  if (found != plan.targets.end() && found->first == entry) return found->second;
  return source.relative_path(source[entry]);
}

}  // namespace qmr
