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

// The message and the reason of a refusal for roots that are one directory
// or lie one inside the other; none where the run may go on (without
// recursion, a root inside the other is never entered).
struct OverlapRefusal {
  const char* message;
  const char* why;
};

std::optional<OverlapRefusal> overlap_refusal(Overlap overlap, bool recurse) {
  switch (overlap) {
    case Overlap::kSame:
      return OverlapRefusal{kSameRootsMessage, "they are the same directory"};
    case Overlap::kDestInSource:
      if (recurse) return OverlapRefusal{kDestInSourceMessage, "the destination lies inside the source"};
      break;
    case Overlap::kSourceInDest:
      if (recurse) return OverlapRefusal{kSourceInDestMessage, "the source lies inside the destination"};
      break;
    case Overlap::kNone:
      break;
  }
  return std::nullopt;
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
int refuse_overlap(const Console& console, Overlap overlap, std::string_view roots) {
  const OverlapRefusal refusal = *overlap_refusal(overlap, true);
  return refuse(console, refusal.message, "mirror", roots, refusal.why);
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

// One run, step by step; each step either lets the run go on or ends it
// with an exit status.
class MirrorRun {
 public:
  MirrorRun(const RunOptions& options, FileSystem& fs, const Console& console)
      : options_(options), fs_(fs), console_(console), style_(fs.path_style()),
        source_root_(close_root(options.source_root, style_)), dest_root_(close_root(options.dest_root, style_)),
        source_shown_(display_dir(source_root_, style_.separator)),
        dest_shown_(display_dir(dest_root_, style_.separator)), both_(source_shown_ + " to " + dest_shown_),
        workers_(options.threads != 0 ? options.threads : default_workers()), source_(source_root_),
        dest_(dest_root_), settled_(options.mode, fs.keeps_owners()), access_(fs, dest_) {}

  int go() {
    console_.title(source_root_, dest_root_);
    console_.banner();
    if (const auto refused = open_roots()) return *refused;
    if (const auto refused = scan()) return *refused;
    if (const auto refused = judge_scans()) return *refused;
    if (const auto refused = make_the_plan()) return *refused;
    if (options_.list_only) return summarise(preview_plan(plan_, source_, dest_, fs_, console_));
    if (const auto refused = ready_destination()) return *refused;
    const bool settle_root = plan_.makes_root && options_.mode != SyncMode::kDelOnly;
    const ExecuteSettings settings{settle_root, workers_, &access_};
    return interrupted_status(fs_, summarise(execute_plan(plan_, source_, dest_, fs_, console_, settings)));
  }

 private:
  using Status = std::optional<int>;

  // Both roots are opened once, here: whatever is later renamed or swapped
  // for a link at their paths, the run stays in the directories checked now.
  Status open_roots() {
    const RootStatus source_opened = fs_.open_root(source_root_);
    const RootStatus dest_opened = fs_.open_root(dest_root_);
    if (source_opened.status == ListStatus::kOk && source_opened.id_known) source_id_ = source_opened.id;
    if (dest_opened.status == ListStatus::kOk && dest_opened.id_known) dest_id_ = dest_opened.id;
    const Overlap overlap = root_overlap(fs_, source_root_, dest_root_, source_id_, dest_id_);
    if (overlap_refusal(overlap, options_.recurse)) return refuse_overlap(console_, overlap, both_);
    // Nothing could be done in a destination root that cannot be opened.
    if (dest_opened.status == ListStatus::kUnreadable) {
      return refuse(console_, nullptr, "use", dest_shown_, dest_opened.reason);
    }
    return std::nullopt;
  }

  // Both trees together, directory by directory: the scan only reads, so a
  // refusal later still finds nothing changed.
  Status scan() {
    const PatternList nothing_excluded;
    ScanSettings dest_settings{all_files_list, nothing_excluded, options_.recurse, source_id_};
    dest_settings.destination = true;
    dest_settings.excluded_directories = &options_.exclude_directories;
    ScanSettings source_settings{options_.include_patterns, options_.exclude_patterns, options_.recurse, dest_id_};
    source_settings.excluded_directories = &options_.exclude_directories;
    // Each tree is listed ahead by up to as many threads as there are
    // workers, once its listings wait for the file system: a network share
    // answers each request after a round trip, and takes many at once.
    source_settings.threads = dest_settings.threads = workers_;
    try {
      scan_trees(fs_, source_, source_settings, dest_, dest_settings, &settled_);
    } catch (const std::length_error& error) {
      return refuse_too_large(console_, both_, error);
    }
    if (fs_.interrupted() != 0) return interrupted_status(fs_, kExitOk);
    return std::nullopt;
  }

  Status judge_scans() {
    if (root_missing(source_)) {
      return refuse(console_, kSourceUnreadableMessage, "read", source_shown_, source_.failures().front().reason);
    }
    if (source_.met_other_root) return refuse_overlap(console_, Overlap::kDestInSource, both_);
    if (dest_.met_other_root) return refuse_overlap(console_, Overlap::kSourceInDest, both_);
    scan_failures_ = report_scan_failures(console_, source_, false, style_.separator);
    scan_failures_ += report_scan_failures(console_, dest_, true, style_.separator);
    // An empty selection would make every destination file look unpaired.
    if (source_.empty() && source_.settled_pairs == 0 && !dest_.empty() && options_.mode != SyncMode::kCopyOnly) {
      return refuse(console_, kNothingSelectedMessage, "mirror", both_,
                    "no source file is selected, so every destination file would be deleted");
    }
    return std::nullopt;
  }

  Status make_the_plan() {
    try {
      plan_ = make_plan(source_, dest_, options_.mode, time_step(dest_, settled_.seen()), fs_.keeps_owners());
    } catch (const std::length_error& error) {
      return refuse_too_large(console_, both_, error);
    }
    return std::nullopt;
  }

  // Makes the destination root, or checks that the run can write in it.
  Status ready_destination() {
    if (plan_.makes_root) {
      if (const Outcome made = fs_.make_root(dest_root_); !made.ok) {
        return refuse(console_, nullptr, "create directory", dest_shown_, made.reason);
      }
      return std::nullopt;
    }
    if (!changes_anything(plan_)) return std::nullopt;
    // The probe adds a name to the root: a root of the user's that is closed
    // to them (the mirror of a read-only root) is opened first, and only a
    // root the run cannot open counts as unwritable.
    access_.open("");
    const RootProbe probe = fs_.probe_roots(source_root_, dest_root_);
    if (probe.alias || !probe.unwritable.empty()) access_.close_all();
    // Two views of one directory: every unselected file would be deleted
    // from the source itself.
    if (probe.alias) return refuse_overlap(console_, Overlap::kSame, both_);
    // One refusal rather than a failure for every file.
    if (!probe.unwritable.empty()) return refuse(console_, nullptr, "write to", dest_shown_, probe.unwritable);
    return std::nullopt;
  }

  int summarise(RunTotals totals) const {
    totals.failed += scan_failures_;
    totals.unchanged = plan_.unchanged;
    if (options_.stats || console_.interactive()) {
      console_.report("%s\n", summary_line(totals, fs_.interrupted(), std::chrono::steady_clock::now() - started_));
    }
    return totals.failed == 0 ? kExitOk : kExitSomeFailed;
  }

  const RunOptions& options_;
  FileSystem& fs_;
  const Console& console_;
  const std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
  const PathStyle& style_;
  const std::string source_root_, dest_root_;
  const std::string source_shown_, dest_shown_, both_;
  const unsigned workers_;
  std::optional<FileId> source_id_, dest_id_;
  EntryList source_, dest_;
  SettledPairs settled_;
  size_t scan_failures_ = 0;
  Plan plan_;
  WriteAccess access_;
};

}  // namespace

int run_sync(const RunOptions& options, FileSystem& fs, const Console& console) {
  return MirrorRun(options, fs, console).go();
}

}  // namespace qmr
