#include "inventory/scan.h"

#include <algorithm>

#include "inventory/ascii.h"
#include "inventory/pattern.h"
#include "platform/temporary_name.h"

namespace qmr {

const PatternList all_files_list{"*.*"};

bool is_selected(std::string_view name, const PatternList& include, const PatternList& exclude) {
  for (const std::string& pattern : exclude) {
    if (match_pattern(name, pattern)) return false;
  }
  if (include.empty()) return true;
  for (const std::string& pattern : include) {
    if (match_pattern(name, pattern)) return true;
  }
  return false;
}

namespace {

void scan_directory(FileSystem& fs, EntryList& list, const std::string& relative_dir,
                    const ScanSettings& settings) {
  if (fs.interrupted() != 0) return;  // the run stops; what was found is not used
  Listing listing;
  fs.list_directory(list.root(), relative_dir, listing);
  if (listing.status != ListStatus::kOk) {
    list.add_failure(relative_dir, listing.status, std::move(listing.reason));
    return;
  }
  if (settings.other_root && listing.id == *settings.other_root) {
    list.met_other_root = true;
    return;
  }
  if (relative_dir.empty()) list.root_time = listing.last_write;
  const std::uint32_t directory = list.add_directory(relative_dir, listing.attributes, listing.last_write);
  std::sort(listing.entries.begin(), listing.entries.end(),
            [](const DirEntry& a, const DirEntry& b) {
              return compare_folded_then_exact(a.name, b.name) < 0;
            });
  const char separator = fs.path_style().separator;
  bool unusable_reported = false;
  for (const DirEntry& entry : listing.entries) {
    if (entry.kind == EntryKind::kUnusable && settings.destination) {
      if (!unusable_reported) {
        list.add_failure(relative_dir, ListStatus::kUnreadable, "not a plain name: " + entry.name);
      }
      unusable_reported = true;
      continue;
    }
    if (entry.kind == EntryKind::kDirectoryLink && !settings.destination) continue;
    if (entry.kind == EntryKind::kDirectory) {
      if (settings.excluded_directories != nullptr &&
          !is_selected(entry.name, {}, *settings.excluded_directories)) {
        continue;
      }
      if (settings.recurse) scan_directory(fs, list, relative_dir + entry.name + separator, settings);
      continue;
    }
    if (!is_selected(entry.name, settings.include, settings.exclude)) {
      if (is_temporary_name(entry.name)) list.unselected_temporaries.insert(relative_dir + entry.name);
      continue;
    }
    const EntryKind kind = entry.kind == EntryKind::kDirectoryLink ? EntryKind::kSymlink : entry.kind;
    list.add(directory, entry.name, kind, entry.size, entry.last_write, entry.attributes);
  }
}

}  // namespace

void scan_tree(FileSystem& fs, EntryList& list, const ScanSettings& settings) {
  scan_directory(fs, list, "", settings);
}

}  // namespace qmr
