#include "sync/plan.h"

#include <string_view>
#include <unordered_map>

#include "inventory/ascii.h"
#include "platform/temporary_name.h"
#include "sync/equality.h"
#include "sync/pairing.h"

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

void plan_copies(const EntryList& source, const EntryList& dest, SyncMode mode,
                 std::int64_t time_step, const Pairing& pairing, Plan& plan) {
  for (size_t s = 0; s < source.size(); ++s) {
    const auto entry = static_cast<std::uint32_t>(s);
    const std::uint32_t d = pairing.dest_of_source[s];
    if (d == kUnpaired) {
      plan.actions.push_back({ActionKind::kCopy, false, entry});
      continue;
    }
    const FileEntry& from = source[s];
    const FileEntry& to = dest[d];
    const bool equal =
        from.size() == to.size() && same_time(to.last_write(), from.last_write(), time_step);
    if (equal && mode != SyncMode::kCopyAll) continue;
    --plan.unchanged;
    Action copy{ActionKind::kCopy, true, entry};
    if (source.name(from) != dest.name(to) || source.directory(from) != dest.directory(to)) {
      copy.target = static_cast<std::uint32_t>(plan.targets.size());
      plan.targets.push_back(dest.relative_path(to));
    }
    plan.actions.push_back(copy);
  }
}

// The destination's directories by their spelling, and by their spelling
// with ASCII case folded.
struct DirectoryIndex {
  explicit DirectoryIndex(const EntryList& dest) {
    const auto& dirs = dest.directories();
    for (size_t i = 0; i < dirs.size(); ++i) {
      exact.emplace(dirs[i], static_cast<std::uint32_t>(i));
      folded.emplace(fold_text(dirs[i]), static_cast<std::uint32_t>(i));
    }
  }
  std::unordered_map<std::string_view, std::uint32_t> exact;
  std::unordered_map<std::string, std::uint32_t> folded;
};

void plan_settling(const EntryList& source, const DirectoryIndex& index, const EntryList& dest,
                   Plan& plan) {
  const auto& exact = index.exact;
  const auto& folded = index.folded;
  const auto& source_dirs = source.directories();
  for (size_t i = 1; i < source_dirs.size(); ++i) {
    auto found = exact.find(source_dirs[i]);
    std::uint32_t d = 0;
    if (found != exact.end()) {
      d = found->second;
    } else if (auto variant = folded.find(fold_text(source_dirs[i])); variant != folded.end()) {
      d = variant->second;
    } else {
      continue;  // made by the copies, and settled then
    }
    const auto s = static_cast<std::uint32_t>(i);
    if (source.attributes(s) != dest.attributes(d)) plan.settle.push_back(s);
  }
}

// A destination directory where a copy must put a file is in the way: it
// goes, with the empty directories below it, once nothing else is left there.
void plan_clearing(const EntryList& source, const DirectoryIndex& index, const EntryList& dest,
                   Plan& plan) {
  const char separator = dest.root().empty() ? '/' : dest.root().back();
  const auto& dirs = dest.directories();
  for (const Action& action : plan.actions) {
    if (action.kind != ActionKind::kCopy) continue;
    const auto found = index.folded.find(fold_text(copy_target(plan, action, source) + separator));
    if (found == index.folded.end()) continue;
    const std::string& top = dirs[found->second];
    for (size_t d = found->second; d < dirs.size(); ++d) {
      if (dirs[d].compare(0, top.size(), top) == 0) plan.clear.push_back(static_cast<std::uint32_t>(d));
    }
  }
}

}  // namespace

Plan make_plan(const EntryList& source, const EntryList& dest, SyncMode mode,
               std::int64_t time_step) {
  Plan plan;
  const Pairing pairing = pair_entries(source, dest);
  for (const std::uint32_t partner : pairing.dest_of_source) plan.unchanged += partner != kUnpaired;
  plan_deletions(source, dest, mode, pairing, plan);
  if (mode == SyncMode::kDelOnly) return plan;
  plan_copies(source, dest, mode, time_step, pairing, plan);
  const DirectoryIndex index(dest);
  plan_settling(source, index, dest, plan);
  // Only a scan that entered subdirectories knows what is in one.
  if (dest.directories().size() > 1) plan_clearing(source, index, dest, plan);
  return plan;
}

std::string copy_target(const Plan& plan, const Action& action, const EntryList& source) {
  if (action.target != Action::kSameSpelling) return plan.targets[action.target];
  return source.relative_path(source[action.entry]);
}

}  // namespace qmr
