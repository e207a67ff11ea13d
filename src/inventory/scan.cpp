#include "inventory/scan.h"

#include <limits>

#include "inventory/pattern.h"

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

void scan_tree(FileSystem& fs, EntryList& list, const std::string& relative_dir,
               const PatternList& include, const PatternList& exclude, bool recurse) {
  std::vector<DirEntry> entries;
  const ListStatus status = fs.list_directory(list.root() + relative_dir, entries);
  if (status != ListStatus::kOk) {
    list.add_failure(relative_dir, status);
    return;
  }
  constexpr std::uint32_t kNotYet = std::numeric_limits<std::uint32_t>::max();
  std::uint32_t directory = kNotYet;  // registered with the first file it holds
  for (const DirEntry& entry : entries) {
    if (entry.kind == EntryKind::kDirectory) {
      if (recurse) {
        scan_tree(fs, list, relative_dir + entry.name + fs.path_style().separator, include,
                  exclude, recurse);
      }
      continue;
    }
    if (!is_selected(entry.name, include, exclude)) continue;
    if (directory == kNotYet) directory = list.add_directory(relative_dir);
    list.add(directory, entry.name, entry.size, entry.last_write);
  }
}

}  // namespace qmr
