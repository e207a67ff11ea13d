#include "sync/execute.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <limits>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "console/messages.h"
#include "inventory/ascii.h"
#include "sync/paths.h"

namespace qmr {

namespace {

// The progress line an action begins with, and the path it names: the
// destination file for a deletion, the source file for a copy.
std::pair<const char*, std::string> line_of(const Action& action, const EntryList& source,
                                            const EntryList& dest) {
  if (action.kind == ActionKind::kCopy) return {kCopyLine, source.path(source[action.entry])};
  return {kDeleteLine, dest.path(dest[action.entry])};
}

// Directories deepest first, so that a parent is tried after its children.
struct DeeperFirst {
  bool operator()(const std::string& a, const std::string& b) const {
    // A directory's path is longer than its parent's.
    return a.size() != b.size() ? a.size() > b.size() : a < b;
  }
};

// The directory above a directory path that ends with the separator.
std::string parent_of_dir(const std::string& dir, char separator) {
  return std::string(parent_dir(std::string_view(dir).substr(0, dir.size() - 1), separator));
}

// One action's result as the workers hand it to the reporting thread.
struct Slot {
  enum State : std::uint8_t { kPending, kDone, kSkipped };
  State state = kPending;
  Outcome outcome;
  std::unique_ptr<StagedCopy> staged;
};

class Executor {
 public:
  Executor(const Plan& plan, const EntryList& source, const EntryList& dest, FileSystem& fs,
           const Console& console)
      : plan_(plan), source_(source), dest_(dest), fs_(fs), console_(console),
        separator_(fs.path_style().separator) {}

  size_t run(ExecuteSettings settings) {
    const auto first_copy = std::find_if(plan_.actions.begin(), plan_.actions.end(),
                                         [](const Action& a) { return a.kind == ActionKind::kCopy; });
    const size_t split = static_cast<size_t>(first_copy - plan_.actions.begin());
    const size_t end = plan_.actions.size();
    const bool parallel = settings.workers > 1;
    // Deletions first, all of them: a link deleted there may be where a copy
    // makes a real directory, and a directory they empty where it puts a file.
    size_t failures = parallel && split > 1 ? delete_in_parallel(split, settings.workers)
                                            : run_in_order(0, split);
    prune_directories();
    if (fs_.interrupted() == 0) {
      failures += parallel && end - split > 1 ? copy_in_parallel(split, end, settings.workers)
                                              : run_in_order(split, end);
    }
    settle(settings.settle_root);
    return failures;
  }

 private:
  size_t run_in_order(size_t begin, size_t end) {
    size_t failures = 0;
    for (size_t i = begin; i < end && fs_.interrupted() == 0; ++i) {
      const Action& action = plan_.actions[i];
      if (action.kind == ActionKind::kCopy) {
        begin_line(action);
        if (!report(action, copy_now(action))) ++failures;
        continue;
      }
      if (action.kind == ActionKind::kDelete) begin_line(action);
      if (!report(action, remove(action))) ++failures;
    }
    return failures;
  }

  // Workers take the deletions one at a time in plan order, never more than
  // `workers` ahead of the last line printed; this thread reports them in
  // that order as they end.
  size_t delete_in_parallel(size_t end, unsigned workers) {
    std::vector<Slot> slots(end);
    std::mutex mutex;
    std::condition_variable changed;
    size_t reported = 0;
    std::atomic<size_t> next{0};
    auto work = [&] {
      for (size_t i = next.fetch_add(1); i < end; i = next.fetch_add(1)) {
        {
          std::unique_lock<std::mutex> lock(mutex);
          changed.wait(lock, [&] { return i < reported + workers; });
        }
        const bool stop = fs_.interrupted() != 0;
        Outcome outcome = stop ? Outcome::success() : remove(plan_.actions[i]);
        const std::lock_guard<std::mutex> lock(mutex);
        slots[i].outcome = std::move(outcome);
        slots[i].state = stop ? Slot::kSkipped : Slot::kDone;
        changed.notify_all();
      }
    };
    std::vector<std::jthread> pool;
    for (size_t w = 0; w < std::min<size_t>(workers, end); ++w) pool.emplace_back(work);
    size_t failures = 0;
    for (size_t i = 0; i < end; ++i) {
      const Action& action = plan_.actions[i];
      std::unique_lock<std::mutex> lock(mutex);
      changed.wait(lock, [&] { return slots[i].state != Slot::kPending; });
      const bool skipped = slots[i].state == Slot::kSkipped;
      const Outcome outcome = std::move(slots[i].outcome);
      lock.unlock();
      if (!skipped) {
        if (action.kind == ActionKind::kDelete) begin_line(action);
        if (!report(action, outcome)) ++failures;
      }
      lock.lock();
      reported = i + 1;
      changed.notify_all();
    }
    return failures;
  }

  // Workers write the copies ahead, each taking a run of one directory's
  // actions; this thread puts each one in place in plan order and prints its
  // line at once. A copy that must wait for an earlier one's outcome (a
  // directory whose name an earlier copy may take where case is ignored)
  // is done whole by this thread when its turn comes.
  size_t copy_in_parallel(size_t begin, size_t end, unsigned workers) {
    const std::vector<char> in_turn = copies_in_turn(begin, end);
    for (size_t i = begin; i < end && fs_.interrupted() == 0; ++i) {
      if (!in_turn[i - begin]) make_path_dirs(copy_target(plan_, plan_.actions[i], source_));
    }
    const size_t lookahead = std::max<size_t>(256, size_t{2} * kLongestRun * workers);
    std::vector<Slot> slots(end - begin);
    std::mutex mutex;
    std::condition_variable changed;
    size_t reported = begin;
    bool abandon = false;
    const std::vector<std::pair<size_t, size_t>> runs = directory_runs(begin, end, in_turn);
    std::atomic<size_t> next{0};
    auto work = [&] {
      for (size_t r = next.fetch_add(1); r < runs.size(); r = next.fetch_add(1)) {
        for (size_t i = runs[r].first; i < runs[r].second; ++i) {
          {
            std::unique_lock<std::mutex> lock(mutex);
            changed.wait(lock, [&] { return abandon || i < reported + lookahead; });
          }
          Slot done;
          done.state = Slot::kSkipped;
          if (fs_.interrupted() == 0) {
            done.outcome = refuse_unusable(plan_.actions[i]);
            if (done.outcome.ok) done.outcome = fs_.stage_copy(order_of(plan_.actions[i]), done.staged);
            done.state = Slot::kDone;
          }
          const std::lock_guard<std::mutex> lock(mutex);
          slots[i - begin] = std::move(done);
          changed.notify_all();
        }
      }
    };
    std::vector<std::jthread> pool;
    for (size_t w = 0; w < std::min<size_t>(workers, runs.size()); ++w) pool.emplace_back(work);
    size_t failures = 0;
    for (size_t i = begin; i < end && fs_.interrupted() == 0; ++i) {
      const Action& action = plan_.actions[i];
      begin_line(action);
      Slot taken;
      if (in_turn[i - begin]) {
        taken.outcome = copy_now(action);
      } else {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [&] { return slots[i - begin].state != Slot::kPending; });
        taken = std::move(slots[i - begin]);
        lock.unlock();
        if (taken.staged) taken.outcome = taken.staged->commit();
      }
      if (!report(action, taken.outcome)) ++failures;
      const std::lock_guard<std::mutex> lock(mutex);
      reported = i + 1;
      changed.notify_all();
    }
    {
      const std::lock_guard<std::mutex> lock(mutex);
      abandon = true;
      changed.notify_all();
    }
    pool.clear();  // the workers end; copies staged but never placed are removed with `slots`
    return failures;
  }

  static constexpr size_t kLongestRun = 64;

  // The runs of actions in one directory that workers take whole, so that
  // they create files in different directories instead of queueing on one
  // directory's lock. A long run is cut, so that a tree of one large
  // directory still keeps every worker busy. Copies done in turn are left out.
  std::vector<std::pair<size_t, size_t>> directory_runs(size_t begin, size_t end,
                                                        const std::vector<char>& in_turn) const {
    std::vector<std::pair<size_t, size_t>> runs;
    std::uint32_t last_dir = std::numeric_limits<std::uint32_t>::max();
    for (size_t i = begin; i < end; ++i) {
      if (in_turn[i - begin]) {
        last_dir = std::numeric_limits<std::uint32_t>::max();
        continue;
      }
      const std::uint32_t dir = source_.directory_index(source_[plan_.actions[i].entry]);
      if (dir != last_dir || runs.back().second - runs.back().first >= kLongestRun) {
        runs.emplace_back(i, i);
      }
      runs.back().second = i + 1;
      last_dir = dir;
    }
    return runs;
  }

  // The copies that must wait for every earlier one: those below a directory
  // whose name, ASCII case ignored, an earlier copy's target takes. Where the
  // destination ignores case, that copy decides whether the directory can be
  // made at all, as it does for one worker.
  std::vector<char> copies_in_turn(size_t begin, size_t end) const {
    std::vector<char> in_turn(end - begin, 0);
    std::unordered_set<std::string> targets;
    for (size_t i = begin; i < end; ++i) {
      const std::string target = fold_text(copy_target(plan_, plan_.actions[i], source_));
      for (const std::string_view prefix : relative_dir_prefixes(target, separator_)) {
        if (targets.count(std::string(prefix.substr(0, prefix.size() - 1))) != 0) in_turn[i - begin] = 1;
      }
      targets.insert(target);
    }
    return in_turn;
  }

  CopyOrder order_of(const Action& action) const {
    const FileEntry& s = source_[action.entry];
    return {source_.root(), source_.relative_path(s),     s.kind(),
            dest_.root(),   copy_target(plan_, action, source_), action.replace};
  }

  void begin_line(const Action& action) const {
    const auto [format, path] = line_of(action, source_, dest_);
    console_.begin(format, path);
  }

  // Ends the action's line; the line of an action abandoned to an interrupt
  // is dropped. Returns false for a failure.
  bool report(const Action& action, const Outcome& outcome) const {
    if (action.kind == ActionKind::kClearDebris) return true;
    if (!outcome.ok && fs_.interrupted() != 0) {
      console_.abandoned();
      return true;
    }
    console_.outcome(outcome.ok);
    if (!outcome.ok) {
      const auto [format, path] = line_of(action, source_, dest_);
      console_.reason(action.kind == ActionKind::kCopy ? "copy" : "delete", path, outcome.reason);
    }
    return outcome.ok;
  }

  Outcome remove(const Action& action) {
    const std::string relative = dest_.relative_path(dest_[action.entry]);
    if (action.kind == ActionKind::kClearDebris) {
      fs_.remove_stale_temporary(dest_.root(), relative);
      return Outcome::success();
    }
    Outcome outcome = fs_.remove_file(dest_.root(), relative);
    if (outcome.ok) {
      const std::lock_guard<std::mutex> lock(emptied_mutex_);
      emptied_.emplace(parent_dir(relative, separator_));
    }
    return outcome;
  }

  Outcome copy_now(const Action& action) {
    if (const Outcome refused = refuse_unusable(action); !refused.ok) return refused;
    make_path_dirs(copy_target(plan_, action, source_));
    return fs_.copy_file(order_of(action));
  }

  // A name that is not one plain name would be read as a path: never copied.
  Outcome refuse_unusable(const Action& action) const {
    const FileEntry& s = source_[action.entry];
    if (s.kind() != EntryKind::kUnusable) return Outcome::success();
    return Outcome::failure(source_.path(s) +
                            ": not a plain name (it holds a path separator, or another name in "
                            "its directory reads the same)");
  }

  // Removes the directories the deletions emptied, and each ancestor that
  // becomes empty as a result, deepest first, never the root; and the
  // destination directories where a copy must put a file, when nothing but
  // empty directories is left in them. On this thread, after every deletion,
  // so the outcome is the same for any number of workers.
  void prune_directories() {
    std::set<std::string, DeeperFirst> candidates(emptied_.begin(), emptied_.end());
    for (const std::uint32_t dir : plan_.clear) candidates.insert(dest_.directories()[dir]);
    while (!candidates.empty()) {
      const std::string dir = *candidates.begin();
      candidates.erase(candidates.begin());
      if (dir.empty() || !fs_.remove_directory(dest_.root(), dir)) continue;
      candidates.insert(parent_of_dir(dir, separator_));
    }
  }

  // Makes sure every directory above `target` exists below the root, once
  // per directory and run.
  void make_path_dirs(const std::string& target) {
    const std::string_view dir = parent_dir(target, separator_);
    if (dir.empty() || dir == last_ready_) return;
    for (const std::string_view prefix : relative_dir_prefixes(target, separator_)) {
      if (ready_.count(std::string(prefix)) != 0) continue;
      if (fs_.make_directory(dest_.root(), prefix) == DirectoryMade::kCreated) {
        created_.emplace_back(prefix);
      }
      ready_.emplace(prefix);
    }
    last_ready_ = dir;
  }

  // Directories made by the run, and those the plan found unlike their source,
  // get the source's owner and permission bits: deepest first, so that a
  // directory closed to its owner is settled after everything inside it.
  void settle(bool settle_root) {
    if (source_.directories().empty()) return;
    std::vector<std::uint32_t> dirs = plan_.settle;
    if (settle_root) dirs.push_back(0);
    if (!created_.empty()) {
      std::unordered_map<std::string_view, std::uint32_t> index;
      const auto& source_dirs = source_.directories();
      for (size_t i = 0; i < source_dirs.size(); ++i) {
        index.emplace(source_dirs[i], static_cast<std::uint32_t>(i));
      }
      for (const std::string& made : created_) {
        if (const auto found = index.find(made); found != index.end()) dirs.push_back(found->second);
      }
    }
    std::sort(dirs.begin(), dirs.end());
    dirs.erase(std::unique(dirs.begin(), dirs.end()), dirs.end());
    const auto& names = source_.directories();
    std::stable_sort(dirs.begin(), dirs.end(), [&](std::uint32_t a, std::uint32_t b) {
      return names[a].size() > names[b].size();
    });
    for (const std::uint32_t dir : dirs) {
      fs_.set_attributes(dest_.root(), names[dir], source_.attributes(dir));
    }
  }

  const Plan& plan_;
  const EntryList& source_;
  const EntryList& dest_;
  FileSystem& fs_;
  const Console& console_;
  const char separator_;
  std::mutex emptied_mutex_;
  std::set<std::string> emptied_;  // parents of the files deleted
  std::unordered_set<std::string> ready_;
  std::string last_ready_;
  std::vector<std::string> created_;
};

}  // namespace

// Copies wait on the disk, the directory locks and, on network and FUSE
// file systems, on round trips, so several per core keep everything busy.
unsigned default_workers() {
  const unsigned cores = std::thread::hardware_concurrency();
  return std::clamp(cores * 4, 4u, 16u);
}

size_t execute_plan(const Plan& plan, const EntryList& source, const EntryList& dest,
                    FileSystem& fs, const Console& console, ExecuteSettings settings) {
  return Executor(plan, source, dest, fs, console).run(settings);
}

void preview_plan(const Plan& plan, const EntryList& source, const EntryList& dest,
                  const Console& console) {
  for (const Action& action : plan.actions) {
    if (action.kind == ActionKind::kClearDebris) continue;
    const auto [format, path] = line_of(action, source, dest);
    console.begin(format, path);
    console.planned();
  }
}

}  // namespace qmr
