#include "sync/run.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <optional>
#include <stdexcept>

#include "console/messages.h"
#include "inventory/scan.h"
#include "sync/equality.h"
#include "sync/execute.h"
#include "sync/paths.h"
#include "sync/plan.h"
#include "sync/write_access.h"

namespace qmr {

namespace {

const char* refusal_for(Overlap overlap, bool recurse) {
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

// How the roots overlap: by their resolved spelling; where names are found
// regardless of case, by their stored spelling; and by identity, their own
// and their ancestors', whatever links, mounts or drive letters reach them.
Overlap root_overlap(FileSystem& fs, const std::string& source_root, const std::string& dest_root,
                     const std::optional<FileId>& source_id, const std::optional<FileId>& dest_id) {
  const PathStyle& style = fs.path_style();
  const std::string source = fs.resolve_path(source_root);
  const std::string dest = fs.resolve_path(dest_root);
  Overlap overlap = locate_overlap(source, dest, style);
  if (overlap != Overlap::kNone) return overlap;
  if (locate_overlap(source, dest, style, true) != Overlap::kNone) {
    overlap = locate_overlap(fs.stored_spelling(source), fs.stored_spelling(dest), style);
    if (overlap != Overlap::kNone) return overlap;
  }
  if (source_id && dest_id && *source_id == *dest_id) return Overlap::kSame;
  return lineage_overlap(fs.lineage(source_root), fs.lineage(dest_root));
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
    const std::string dir = display_dir(list.root() + failure.relative_dir, separator);
    console.report(kScanLine, dir);
    console.outcome(false);
    console.reason("read directory", dir, failure.reason);
    ++count;
  }
  return count;
}

bool root_missing(const EntryList& list) {
  return !list.failures().empty() && list.failures().front().relative_dir.empty();
}

bool changes_anything(const Plan& plan) {
  return !plan.actions.empty() || !plan.settle.empty() || !plan.clear.empty();
}

// A refusal: the message on stdout, and on stderr what was refused and why.
int refuse(const Console& console, const char* message, std::string_view verb, std::string_view what,
           std::string_view why) {
  if (message != nullptr) console.report("%s", message);
  console.reason(verb, what, why);
  return kExitRefused;
}

// A refusal for roots that are one directory or lie one inside the other.
int refuse_overlap(const Console& console, const char* message, std::string_view roots) {
  const std::string_view why = message == kSameRootsMessage      ? "they are the same directory"
                               : message == kDestInSourceMessage ? "the destination lies inside the source"
                                                                 : "the source lies inside the destination";
  return refuse(console, message, "mirror", roots, why);
}

// Trees beyond what the compact lists and plan can number (a name over 64 KiB,
// more than 536 million files to act on): found before any change.
int refuse_too_large(const Console& console, std::string_view roots, const std::length_error& error) {
  return refuse(console, nullptr, "mirror", roots, error.what());
}

// What an interrupt during the run makes of its exit status.
int interrupted_status(FileSystem& fs, int status) {
  const int signal_number = fs.interrupted();
  return signal_number != 0 ? stopped_status(signal_number) : status;
}

}  // namespace

int run_sync(const RunOptions& options, FileSystem& fs, const Console& console) {
  const auto started = std::chrono::steady_clock::now();
  const PathStyle& style = fs.path_style();
  const std::string source_root = close_root(options.source_root, style);
  const std::string dest_root = close_root(options.dest_root, style);
  console.title(source_root, dest_root);
  console.banner();

  // Both roots are opened once, here: whatever is later renamed or swapped
  // for a link at their paths, the run stays in the directories checked now.
  const RootStatus source_opened = fs.open_root(source_root);
  const RootStatus dest_opened = fs.open_root(dest_root);
  std::optional<FileId> source_id;
  std::optional<FileId> dest_id;
  if (source_opened.status == ListStatus::kOk && source_opened.id_known) source_id = source_opened.id;
  if (dest_opened.status == ListStatus::kOk && dest_opened.id_known) dest_id = dest_opened.id;
  const std::string source_shown = display_dir(source_root, style.separator);
  const std::string dest_shown = display_dir(dest_root, style.separator);
  const std::string both = source_shown + " to " + dest_shown;
  const Overlap overlap = root_overlap(fs, source_root, dest_root, source_id, dest_id);
  if (const char* refusal = refusal_for(overlap, options.recurse)) {
    return refuse_overlap(console, refusal, both);
  }
  // Nothing could be done in a destination root that cannot be opened.
  if (dest_opened.status == ListStatus::kUnreadable) {
    return refuse(console, nullptr, "use", dest_shown, dest_opened.reason);
  }

  const unsigned workers = options.threads != 0 ? options.threads : default_workers();
  EntryList source(source_root);
  EntryList dest(dest_root);
  SettledPairs settled(options.mode, fs.keeps_owners());
  {
    // Both trees together, directory by directory: the scan only reads, so a
    // refusal below still finds nothing changed.
    const PatternList nothing_excluded;
    ScanSettings dest_settings{all_files_list, nothing_excluded, options.recurse, source_id};
    dest_settings.destination = true;
    dest_settings.excluded_directories = &options.exclude_directories;
    ScanSettings source_settings{options.include_patterns, options.exclude_patterns, options.recurse, dest_id};
    source_settings.excluded_directories = &options.exclude_directories;
    // Each tree is listed ahead by up to as many threads as there are
    // workers, once its listings wait for the file system: a network share
    // answers each request after a round trip, and takes many at once.
    source_settings.threads = dest_settings.threads = workers;
    try {
      scan_trees(fs, source, source_settings, dest, dest_settings, &settled);
    } catch (const std::length_error& error) {
      return refuse_too_large(console, both, error);
    }
  }
  if (fs.interrupted() != 0) return interrupted_status(fs, kExitOk);
  if (root_missing(source)) {
    return refuse(console, kSourceUnreadableMessage, "read", source_shown, source.failures().front().reason);
  }
  if (source.met_other_root) return refuse_overlap(console, kDestInSourceMessage, both);
  if (dest.met_other_root) return refuse_overlap(console, kSourceInDestMessage, both);
  size_t failures = report_scan_failures(console, source, false, style.separator);
  failures += report_scan_failures(console, dest, true, style.separator);
  // An empty selection would make every destination file look unpaired.
  if (source.empty() && source.settled_pairs == 0 && !dest.empty() && options.mode != SyncMode::kCopyOnly) {
    return refuse(console, kNothingSelectedMessage, "mirror", both,
                  "no source file is selected, so every destination file would be deleted");
  }

  Plan plan;
  try {
    plan = make_plan(source, dest, options.mode, time_step(dest, settled.seen()), fs.keeps_owners());
  } catch (const std::length_error& error) {
    return refuse_too_large(console, both, error);
  }
  const auto summarise = [&](RunTotals totals) {
    totals.failed += failures;
    totals.unchanged = plan.unchanged;
    if (options.stats || console.interactive()) {
      console.report("%s\n", summary_line(totals, fs.interrupted(), std::chrono::steady_clock::now() - started));
    }
    return totals.failed == 0 ? kExitOk : kExitSomeFailed;
  };
  if (options.list_only) return summarise(preview_plan(plan, source, dest, fs, console));
  const bool dest_made = plan.makes_root;
  WriteAccess access(fs, dest);
  if (dest_made) {
    if (const Outcome made = fs.make_root(dest_root); !made.ok) {
      return refuse(console, nullptr, "create directory", dest_shown, made.reason);
    }
  } else if (changes_anything(plan)) {
    // The probe adds a name to the root: a root of the user's that is closed
    // to them (the mirror of a read-only root) is opened first, and only a
    // root the run cannot open counts as unwritable.
    access.open("");
    const RootProbe probe = fs.probe_roots(source_root, dest_root);
    if (probe.alias || !probe.unwritable.empty()) access.close_all();
    // Two views of one directory: every unselected file would be deleted
    // from the source itself.
    if (probe.alias) return refuse_overlap(console, kSameRootsMessage, both);
    // One refusal rather than a failure for every file.
    if (!probe.unwritable.empty()) return refuse(console, nullptr, "write to", dest_shown, probe.unwritable);
  }
  const bool settle_root = dest_made && options.mode != SyncMode::kDelOnly;
  const ExecuteSettings settings{settle_root, workers, &access};
  return interrupted_status(fs, summarise(execute_plan(plan, source, dest, fs, console, settings)));
}

}  // namespace qmr
