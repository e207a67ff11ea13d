#include "sync/run.h"

#include "inventory/scan.h"
#include "sync/passes.h"
#include "sync/paths.h"

namespace qmr {

namespace {

void show_title(const std::string& source_root, const std::string& dest_root) {
  std::string time_text = current_time_text();
  if (!time_text.empty()) time_text.pop_back();  // the line feed that ends it
  set_console_title("From " + source_root + ", To " + dest_root + ", " + time_text);
}

// The message refusing a run whose roots overlap, or nullptr when they may be
// used together. Without recursion neither scan reaches into the other root.
const char* overlap_refusal(FileSystem& fs, const std::string& source_root,
                            const std::string& dest_root, bool recurse) {
  const Overlap overlap = locate_overlap(fs.resolve_path(source_root),
                                         fs.resolve_path(dest_root), fs.path_style());
  switch (overlap) {
    case Overlap::kSame:
      return kSameRootsMessage;
    case Overlap::kDestInSource:
      return recurse ? kDestInSourceMessage : nullptr;
    case Overlap::kSourceInDest:
      return recurse ? kSourceInDestMessage : nullptr;
    case Overlap::kNone:
      break;
  }
  return nullptr;
}

// A directory as a user would name it: without the closing separator, unless
// that is all there is of it ("/", "C:\\").
std::string display_dir(std::string path, char separator) {
  const size_t n = path.size();
  if (n > 1 && path[n - 1] == separator && path[n - 2] != ':') path.pop_back();
  return path;
}

// Reports the directories of a scan that could not be read; returns how many.
// A destination root that does not exist yet is no failure: it is made later.
size_t report_scan_failures(const Console& console, const EntryList& list, bool is_dest,
                            char separator) {
  size_t count = 0;
  for (const ScanFailure& failure : list.failures()) {
    if (is_dest && failure.relative_dir.empty() && failure.status == ListStatus::kMissing) continue;
    console.report("Scan:\t%s...\t", display_dir(list.root() + failure.relative_dir, separator));
    console.outcome(false);
    ++count;
  }
  return count;
}

bool source_root_unreadable(const EntryList& source) {
  return !source.failures().empty() && source.failures().front().relative_dir.empty();
}

int refuse(const Console& console, const char* message) {
  console.report("%s", message);
  return kExitRefused;
}

}  // namespace

int run_sync(const RunOptions& options, FileSystem& fs, const Console& console) {
  const PathStyle& style = fs.path_style();
  const std::string source_root = close_root(options.source_root, style);
  const std::string dest_root = close_root(options.dest_root, style);
  show_title(source_root, dest_root);
  console.banner();

  if (const char* refusal = overlap_refusal(fs, source_root, dest_root, options.recurse)) {
    return refuse(console, refusal);
  }
  EntryList source(source_root);
  scan_tree(fs, source, "", options.include_patterns, options.exclude_patterns, options.recurse);
  if (source_root_unreadable(source)) return refuse(console, kSourceUnreadableMessage);
  EntryList dest(dest_root);
  scan_tree(fs, dest, "", all_files_list, {}, options.recurse);
  size_t failures = report_scan_failures(console, source, false, style.separator);
  failures += report_scan_failures(console, dest, true, style.separator);
  // An empty selection would make every destination file look unpaired.
  if (source.empty() && !dest.empty() && options.mode != SyncMode::kCopyOnly) {
    return refuse(console, kNothingSelectedMessage);
  }

  make_path_dirs(fs, dest_root, style);
  PartnerSpellings spellings;
  failures += delete_pass(fs, console, options.mode, dest, source, spellings);
  if (options.mode != SyncMode::kDelOnly) {
    failures += copy_pass(fs, console, source, dest_root, spellings);
  }
  return failures == 0 ? kExitOk : kExitSomeFailed;
}

}  // namespace qmr
