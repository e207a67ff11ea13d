#include "inventory/scan.h"

#include <algorithm>
#include <array>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <set>
#include <thread>
#include <unordered_map>
#include <vector>

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

// Whether the directory listed at `path` is the run's other root. Where a
// system numbers the volume of one directory by the way it was reached (Wine
// gives each drive letter its own), an equal index under another volume is
// settled by the identity of the directory itself: seldom asked, and only to
// refuse.
bool is_other_root(FileSystem& fs, const Listing& listing, const std::optional<FileId>& other,
                   const std::string& path) {
  if (!other) return false;
  if (listing.id == *other) return true;
  return listing.id.index == other->index && listing.id.volume != other->volume && fs.identity(path) == other;
}

// Listings held done ahead of the walk, in entries: enough to keep the file
// system busy, and small beside the tree.
constexpr size_t kHeldEntries = size_t{1} << 13;

// Listers a tree of a local disk gets, the walking thread included.
constexpr unsigned kDiskListers = 4;

// Lists a directory, its entries in the order of their upper-cased names,
// ties by their bytes, on every platform.
void list_sorted(FileSystem& fs, const std::string& root, const std::string& relative_dir, Listing& listing) {
  fs.list_directory(root, relative_dir, listing);
  std::sort(listing.entries.begin(), listing.entries.end(), [](const DirEntry& a, const DirEntry& b) {
    return compare_folded_then_exact(a.name, b.name) < 0;
  });
}

bool entered(const DirEntry& entry, const ScanSettings& settings) {
  return entry.kind == EntryKind::kDirectory && settings.recurse &&
         (settings.excluded_directories == nullptr || is_selected(entry.name, {}, *settings.excluded_directories));
}

// Orders relative directories as a depth-first walk in name order meets them:
// name by name, a directory before everything below it.
struct WalkOrder {
  char separator;
  bool operator()(std::string_view a, std::string_view b) const {
    while (!a.empty() && !b.empty()) {
      const size_t i = std::min(a.find(separator), a.size());
      const size_t j = std::min(b.find(separator), b.size());
      const int order = compare_folded_then_exact(a.substr(0, i), b.substr(0, j));
      if (order != 0) return order < 0;
      a.remove_prefix(std::min(i + 1, a.size()));
      b.remove_prefix(std::min(j + 1, b.size()));
    }
    return a.empty() && !b.empty();
  }
};

// Lists directories ahead of the walk on a few threads, once one had to wait
// for the file system (a network share, a cold disk), so that it works on
// several requests at once; or on a few from the start, in a walk over two
// trees, so that the walking thread only pairs. A thread that lists a
// directory asks at once for the subdirectories the walk will enter, so that
// the work spreads over the tree instead of following the walk down one
// branch. Requests are served in the order the walk will take them, and the
// walk takes each listing when its turn comes, so the lists it builds are the
// same for any number of threads.
class Lister {
 public:
  Lister(FileSystem& fs, const std::string& root, const ScanSettings& settings, unsigned threads, bool eager)
      : fs_(fs), root_(root), settings_(settings), queue_(WalkOrder{fs.path_style().separator}),
        threads_wanted_(threads) {
    // The walk waits for whichever tree is behind; with one lister there the
    // other cores idle. Which listers a run starts must not hang on whether
    // some listing happened to wait: that is the run's memory.
    if (eager) start(std::min(threads_wanted_, kDiskListers));
  }
  ~Lister() {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    queued_.notify_all();
  }
  Lister(const Lister&) = delete;
  Lister& operator=(const Lister&) = delete;

  // The listing of `relative_dir`: one a thread made, or made now, by this
  // thread, when no thread has begun it yet. A thread that made one already
  // asked for the subdirectories below it; for one made here, this thread
  // asks.
  void take(const std::string& relative_dir, Listing& listing) {
    std::unique_lock<std::mutex> lock(mutex_);
    const auto found = results_.find(relative_dir);
    if (found == results_.end() || found->second.state == Result::kQueued) {
      if (found != results_.end()) results_.erase(found);
      lock.unlock();
      list_sorted(fs_, root_, relative_dir, listing);
      // Answered from memory, more threads would only contend for the cores.
      start_helpers(listing.waited);
      if (threads_.empty()) return;
      lock.lock();
      queue_below(relative_dir, listing);
      lock.unlock();
      queued_.notify_all();
      return;
    }
    // The node stays where it is while others are added: hold on to it.
    Result& result = found->second;
    done_.wait(lock, [&] { return result.state == Result::kDone; });
    listing = std::move(result.listing);
    held_ -= listing.entries.size();
    results_.erase(found);
    lock.unlock();
    queued_.notify_all();
    start_helpers(listing.waited);
  }

 private:
  struct Result {
    enum State : std::uint8_t { kQueued, kListing, kDone };
    State state = kQueued;
    Listing listing;
  };

  // With the lock held.
  void queue_below(const std::string& relative_dir, const Listing& listing) {
    if (listing.status != ListStatus::kOk) return;
    // The walk never enters the other root of the run.
    if (settings_.other_root && listing.id == *settings_.other_root) return;
    const char separator = fs_.path_style().separator;
    for (const DirEntry& entry : listing.entries) {
      if (!entered(entry, settings_)) continue;
      std::string dir = relative_dir + entry.name + separator;
      if (results_.emplace(dir, Result{}).second) queue_.insert(std::move(dir));
    }
  }

  // A disk whose listings wait now and then is kept busy by a few threads,
  // and more would contend for its locks; a server that answers each name
  // after a round trip takes as many requests at once as there are threads.
  void start_helpers(ListingWait waited) {
    if (waited == ListingWait::kNever) return;
    start(waited == ListingWait::kEachName ? threads_wanted_ : std::min(threads_wanted_, kDiskListers));
  }

  // Listers, the walking thread included.
  void start(unsigned listers) {
    for (size_t t = threads_.size() + 1; t < listers; ++t) threads_.emplace_back([this] { work(); });
  }

  void work() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      queued_.wait(lock, [&] { return stopping_ || (!queue_.empty() && held_ < kHeldEntries); });
      if (stopping_) return;
      const std::string relative_dir = std::move(queue_.extract(queue_.begin()).value());
      const auto found = results_.find(relative_dir);
      if (found == results_.end() || found->second.state != Result::kQueued) continue;  // taken
      Result& result = found->second;  // stays put, and is erased only once done
      result.state = Result::kListing;
      lock.unlock();
      Listing listing;
      if (fs_.interrupted() == 0) list_sorted(fs_, root_, relative_dir, listing);
      // Held until the walk takes it: without the slack its growth left.
      listing.entries.shrink_to_fit();
      lock.lock();
      queue_below(relative_dir, listing);
      held_ += listing.entries.size();
      result.listing = std::move(listing);
      result.state = Result::kDone;
      done_.notify_all();
      queued_.notify_all();
    }
  }

  FileSystem& fs_;
  const std::string& root_;
  const ScanSettings& settings_;
  std::mutex mutex_;
  std::condition_variable queued_, done_;
  std::set<std::string, WalkOrder> queue_;
  // Requested listings by directory; a node's place never moves.
  std::unordered_map<std::string, Result> results_;
  size_t held_ = 0;  // entries of listings done and not yet taken
  bool stopping_ = false;
  const unsigned threads_wanted_;
  // Started when needed, only by the walking thread; last, so joined before
  // the rest goes.
  std::vector<std::jthread> threads_;
};


// One tree of a walk.
struct Side {
  Side(FileSystem& fs, EntryList& list_, const ScanSettings& settings_, bool eager)
      : list(list_), settings(settings_),
        lister(fs, list_.root(), settings_, settings_.recurse ? settings_.threads : 1, eager) {}
  EntryList& list;
  const ScanSettings& settings;
  Lister lister;
};

// One side's directory while the walk pairs its entries.
struct OpenDirectory {
  std::uint32_t directory = 0;
  Listing listing;
  bool unusable_reported = false;
};

// What the lists hold: unchanged after a directory, nothing below it was kept.
struct Kept {
  Kept() = default;
  Kept(const EntryList& source, const EntryList& dest) : source(count(source)), dest(count(dest)) {}
  static std::array<size_t, 3> count(const EntryList& list) {
    return {list.size(), list.directories().size(), list.failures().size()};
  }
  friend bool operator==(const Kept&, const Kept&) = default;
  std::array<size_t, 3> source{}, dest{};
};

// What the walk does with one entry of one side.
enum class Role { kNone, kEnter, kFile };

// Walks one tree, or two together: a directory of one relative spelling on
// both sides is listed, its entries merged by name, and a file pair the
// filter settles is counted and left out of both lists. Each list gets what
// a walk over its tree alone would give it, less the settled pairs.
class Walk {
 public:
  Walk(FileSystem& fs, Side& source, Side* dest, PairFilter* filter)
      : fs_(fs), source_(source), dest_(dest), filter_(filter) {}

  // `alone`: no name on the directory's path has a case variant beside it,
  // on either side.
  void directory(const std::string& relative_dir, bool in_source, bool in_dest, bool alone = true) {
    if (fs_.interrupted() != 0) return;  // the run stops; what was found is not used
    OpenDirectory from, to;
    const bool source_open = in_source && open(source_, relative_dir, from);
    const bool dest_open = in_dest && open(*dest_, relative_dir, to);
    const bool paired = source_open && dest_open;
    const Kept before = paired ? Kept(source_.list, dest_->list) : Kept();
    const std::vector<DirEntry>& ours = from.listing.entries;
    const std::vector<DirEntry>& theirs = to.listing.entries;
    const char separator = fs_.path_style().separator;
    size_t i = 0, j = 0;
    while (i < ours.size() || j < theirs.size()) {
      const DirEntry* s = nullptr;
      const DirEntry* d = nullptr;
      const int order = i == ours.size()     ? 1
                        : j == theirs.size() ? -1
                                             : compare_folded_then_exact(ours[i].name, theirs[j].name);
      if (order <= 0) s = &ours[i++];
      if (order >= 0) d = &theirs[j++];
      const Role source_role = s != nullptr ? admit(source_, from, relative_dir, *s) : Role::kNone;
      const Role dest_role = d != nullptr ? admit(*dest_, to, relative_dir, *d) : Role::kNone;
      const bool both_files = source_role == Role::kFile && dest_role == Role::kFile;
      if (both_files && filter_ != nullptr && filter_->settled(*s, *d)) {
        ++source_.list.settled_pairs;
        continue;
      }
      if (source_role == Role::kFile) add(source_, from, *s);
      if (dest_role == Role::kFile) add(*dest_, to, *d);
      if (source_role == Role::kEnter || dest_role == Role::kEnter) {
        const std::string& name = s != nullptr ? s->name : d->name;
        const bool variant = has_variant(ours, i, name) || has_variant(theirs, j, name);
        directory(relative_dir + name + separator, source_role == Role::kEnter, dest_role == Role::kEnter,
                  alone && !variant);
      }
    }
    // A pair that needs nothing, below which nothing was kept, leaves no trace.
    if (paired && alone && !relative_dir.empty() && filter_ != nullptr &&
        before == Kept(source_.list, dest_->list) && filter_->settled_directory(from.listing, to.listing)) {
      source_.list.forget_last_directory();
      dest_->list.forget_last_directory();
    }
  }

 private:
  // Lists the directory on one side and registers it; leaves no entries when
  // it cannot be read or is the other root, which the walk never enters.
  // Returns whether it was registered.
  bool open(Side& side, const std::string& relative_dir, OpenDirectory& opened) {
    Listing& listing = opened.listing;
    side.lister.take(relative_dir, listing);
    EntryList& list = side.list;
    if (listing.status != ListStatus::kOk) {
      list.add_failure(relative_dir, listing.status, std::move(listing.reason));
      listing.entries.clear();
      return false;
    }
    if (is_other_root(fs_, listing, side.settings.other_root, list.root() + relative_dir)) {
      list.met_other_root = true;
      listing.entries.clear();
      return false;
    }
    if (relative_dir.empty()) list.root_time = listing.last_write;
    opened.directory = list.add_directory(relative_dir, listing.attributes, listing.last_write);
    return true;
  }

  // Whether the entry before the one taken last, or the one after it, is
  // spelled like `name` but for case.
  static bool has_variant(const std::vector<DirEntry>& entries, size_t next, const std::string& name) {
    if (next < entries.size() && equal_ignoring_case(entries[next].name, name)) return true;
    return next >= 2 && equal_ignoring_case(entries[next - 2].name, name);
  }

  Role admit(Side& side, OpenDirectory& opened, const std::string& relative_dir, const DirEntry& entry) {
    const ScanSettings& settings = side.settings;
    if (entry.kind == EntryKind::kUnusable && settings.destination) {
      if (!opened.unusable_reported) {
        side.list.add_failure(relative_dir, ListStatus::kUnreadable, "not a plain name: " + entry.name);
      }
      opened.unusable_reported = true;
      return Role::kNone;
    }
    if (entry.kind == EntryKind::kDirectoryLink && !settings.destination) return Role::kNone;
    if (entry.kind == EntryKind::kDirectory) return entered(entry, settings) ? Role::kEnter : Role::kNone;
    if (!is_selected(entry.name, settings.include, settings.exclude)) {
      if (is_temporary_name(entry.name)) side.list.unselected_temporaries.insert(relative_dir + entry.name);
      return Role::kNone;
    }
    return Role::kFile;
  }

  static void add(Side& side, const OpenDirectory& opened, const DirEntry& entry) {
    side.list.add(opened.directory, entry.name, entry.kind, entry.size, entry.last_write, entry.attributes);
  }

  FileSystem& fs_;
  Side& source_;
  Side* dest_;
  PairFilter* filter_;
};

}  // namespace

void scan_tree(FileSystem& fs, EntryList& list, const ScanSettings& settings) {
  Side side(fs, list, settings, false);
  Walk(fs, side, nullptr, nullptr).directory("", true, false);
}

void scan_trees(FileSystem& fs, EntryList& source, const ScanSettings& source_settings, EntryList& dest,
                const ScanSettings& dest_settings, PairFilter* filter) {
  // Each tree is listed ahead from the start, beside the walk: on two cores
  // the file system's work is what takes the time.
  Side source_side(fs, source, source_settings, true);
  Side dest_side(fs, dest, dest_settings, true);
  Walk(fs, source_side, &dest_side, filter).directory("", true, true);
}

}  // namespace qmr
