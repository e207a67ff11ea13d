#include "inventory/scan.h"

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
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

// Lists directories ahead of the walk on a few threads, once one had to wait
// for the file system (a network share, a cold disk), so that it works on
// several requests at once. The walk takes each listing when its turn comes,
// so the list it builds is the same for any number of threads.
class Lister {
 public:
  Lister(FileSystem& fs, const std::string& root, unsigned threads)
      : fs_(fs), root_(root), threads_wanted_(threads) {}
  ~Lister() {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    queued_.notify_all();
  }
  Lister(const Lister&) = delete;
  Lister& operator=(const Lister&) = delete;

  // Asks for a directory's listing before the walk needs it.
  void request(const std::string& relative_dir) {
    if (threads_.empty()) return;
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      if (!results_.emplace(relative_dir, Result{}).second) return;
      queue_.push_back(relative_dir);
    }
    queued_.notify_one();
  }

  // The listing of `relative_dir`: one a thread made, or made now, by this
  // thread, when no thread has begun it yet.
  void take(const std::string& relative_dir, Listing& listing) {
    std::unique_lock<std::mutex> lock(mutex_);
    const auto found = results_.find(relative_dir);
    if (found == results_.end() || found->second.state == Result::kQueued) {
      if (found != results_.end()) results_.erase(found);
      lock.unlock();
      fs_.list_directory(root_, relative_dir, listing);
      // Answered from memory, more threads would only contend for the cores.
      if (threads_.empty() && listing.waited) start_helpers();
      return;
    }
    // The node stays where it is while others are added: hold on to it.
    Result& result = found->second;
    done_.wait(lock, [&] { return result.state == Result::kDone; });
    listing = std::move(result.listing);
    results_.erase(relative_dir);
  }

 private:
  struct Result {
    enum State : std::uint8_t { kQueued, kListing, kDone };
    State state = kQueued;
    Listing listing;
  };

  void start_helpers() {
    for (unsigned t = 1; t < threads_wanted_; ++t) threads_.emplace_back([this] { work(); });
  }

  void work() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      queued_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
      if (stopping_) return;
      const std::string relative_dir = std::move(queue_.front());
      queue_.pop_front();
      const auto found = results_.find(relative_dir);
      if (found == results_.end() || found->second.state != Result::kQueued) continue;  // taken
      Result& result = found->second;  // stays put, and is erased only once done
      result.state = Result::kListing;
      lock.unlock();
      Listing listing;
      if (fs_.interrupted() == 0) fs_.list_directory(root_, relative_dir, listing);
      lock.lock();
      result.listing = std::move(listing);
      result.state = Result::kDone;
      done_.notify_all();
    }
  }

  FileSystem& fs_;
  const std::string& root_;
  std::mutex mutex_;
  std::condition_variable queued_, done_;
  std::deque<std::string> queue_;
  // Requested listings by directory; a node's place never moves.
  std::unordered_map<std::string, Result> results_;
  bool stopping_ = false;
  const unsigned threads_wanted_;
  // Started once a listing waits; last, so joined before the rest goes.
  std::vector<std::jthread> threads_;
};

bool entered(const DirEntry& entry, const ScanSettings& settings) {
  return entry.kind == EntryKind::kDirectory && settings.recurse &&
         (settings.excluded_directories == nullptr || is_selected(entry.name, {}, *settings.excluded_directories));
}

void scan_directory(FileSystem& fs, Lister& lister, EntryList& list, const std::string& relative_dir,
                    const ScanSettings& settings) {
  if (fs.interrupted() != 0) return;  // the run stops; what was found is not used
  Listing listing;
  lister.take(relative_dir, listing);
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
  for (const DirEntry& entry : listing.entries) {
    if (entered(entry, settings)) lister.request(relative_dir + entry.name + separator);
  }
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
      if (entered(entry, settings)) scan_directory(fs, lister, list, relative_dir + entry.name + separator, settings);
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
  Lister lister(fs, list.root(), settings.recurse ? settings.threads : 1);
  scan_directory(fs, lister, list, "", settings);
}

}  // namespace qmr
