#include "sync/execute.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <limits>
#include <mutex>
#include <thread>
#include <string>
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

class Executor {
 public:
  Executor(const Plan& plan, const EntryList& source, const EntryList& dest, FileSystem& fs,
           const Console& console)
      : plan_(plan), source_(source), dest_(dest), fs_(fs), console_(console),
        separator_(fs.path_style().separator) {}

  size_t run(ExecuteSettings settings) {
    // Deletions first, all of them: a link deleted there may be where a copy
    // makes a real directory.
    const auto first_copy = std::find_if(plan_.actions.begin(), plan_.actions.end(),
                                         [](const Action& a) { return a.kind == ActionKind::kCopy; });
    const size_t split = static_cast<size_t>(first_copy - plan_.actions.begin());
    size_t failures = 0;
    for (const auto& [begin, end] : {std::pair{size_t{0}, split}, {split, plan_.actions.size()}}) {
      failures += settings.workers > 1 && end - begin > 1 ? run_parallel(begin, end, settings.workers)
                                                          : run_in_order(begin, end);
    }
    settle(settings.settle_root);
    return failures;
  }

 private:
  size_t run_in_order(size_t begin, size_t end) {
    size_t failures = 0;
    for (size_t i = begin; i < end; ++i) {
      const Action& action = plan_.actions[i];
      if (action.kind == ActionKind::kClearDebris) {
        carry_out(action);
        continue;
      }
      begin_line(action);
      if (!end_line(action, carry_out(action))) ++failures;
    }
    return failures;
  }

  // Workers take the actions in plan order; this thread reports each one in
  // that order as soon as it is done. On a terminal the oldest pending line
  // shows its first half while its action runs, as in a run of one worker.
  size_t run_parallel(size_t begin, size_t end, unsigned workers) {
    // The directories first, in plan order, so that a name that two spellings
    // could claim on a destination that ignores case goes the way one worker
    // would take it.
    for (size_t i = begin; i < end; ++i) {
      const Action& action = plan_.actions[i];
      if (action.kind == ActionKind::kCopy) make_path_dirs(copy_target(plan_, action, source_));
    }
    const std::vector<size_t> after = same_target_order(begin, end);
    std::vector<Outcome> outcomes(end - begin);
    std::vector<char> done(end - begin, 0);
    std::mutex mutex;
    std::condition_variable finished;
    const std::vector<size_t> chunks = directory_runs(begin, end);
    std::atomic<size_t> next{0};
    auto work = [&] {
      for (size_t c = next.fetch_add(1); c + 1 < chunks.size(); c = next.fetch_add(1)) {
        for (size_t i = chunks[c]; i < chunks[c + 1]; ++i) {
          if (after[i - begin] != kNone) {
            std::unique_lock<std::mutex> lock(mutex);
            finished.wait(lock, [&] { return done[after[i - begin] - begin] != 0; });
          }
          Outcome outcome = carry_out(plan_.actions[i]);
          const std::lock_guard<std::mutex> lock(mutex);
          outcomes[i - begin] = std::move(outcome);
          done[i - begin] = 1;
          finished.notify_all();
        }
      }
    };
    std::vector<std::jthread> pool;
    const size_t count = std::min<size_t>(workers, end - begin);
    for (size_t w = 0; w < count; ++w) pool.emplace_back(work);
    size_t failures = 0;
    for (size_t i = begin; i < end; ++i) {
      const Action& action = plan_.actions[i];
      const bool silent = action.kind == ActionKind::kClearDebris;
      if (!silent) begin_line(action);
      std::unique_lock<std::mutex> lock(mutex);
      finished.wait(lock, [&] { return done[i - begin] != 0; });
      const Outcome outcome = std::move(outcomes[i - begin]);
      lock.unlock();
      if (!silent && !end_line(action, outcome)) ++failures;
    }
    return failures;
  }

  static constexpr size_t kNone = static_cast<size_t>(-1);
  static constexpr size_t kLongestRun = 64;

  // The starts of the runs of actions in one directory, and `end`: a worker
  // takes a whole run, so that workers create files in different
  // directories instead of queueing on one directory's lock. A long run is
  // cut, so that a tree of one large directory still keeps every worker busy.
  std::vector<size_t> directory_runs(size_t begin, size_t end) const {
    std::vector<size_t> starts;
    std::uint32_t last_dir = std::numeric_limits<std::uint32_t>::max();
    for (size_t i = begin; i < end; ++i) {
      const Action& action = plan_.actions[i];
      const EntryList& list = action.kind == ActionKind::kCopy ? source_ : dest_;
      const std::uint32_t dir = list.directory_index(list[action.entry]);
      if (dir != last_dir || i == begin || i - starts.back() >= kLongestRun) starts.push_back(i);
      last_dir = dir;
    }
    starts.push_back(end);
    return starts;
  }

  // For each action, the earlier one it must wait for: the last one before it
  // with the same target in any ASCII case. On a destination that ignores
  // case, twins must land in plan order, as one worker would have them.
  std::vector<size_t> same_target_order(size_t begin, size_t end) const {
    std::vector<size_t> after(end - begin, kNone);
    std::unordered_map<std::string, size_t> last;
    for (size_t i = begin; i < end; ++i) {
      const Action& action = plan_.actions[i];
      const std::string target = action.kind == ActionKind::kCopy
                                     ? copy_target(plan_, action, source_)
                                     : dest_.relative_path(dest_[action.entry]);
      auto [it, added] = last.try_emplace(fold_text(target), i);
      if (!added) after[i - begin] = std::exchange(it->second, i);
    }
    return after;
  }

  void begin_line(const Action& action) const {
    const auto [format, path] = line_of(action, source_, dest_);
    console_.report(format, path);
  }

  bool end_line(const Action& action, const Outcome& outcome) const {
    console_.outcome(outcome.ok);
    if (!outcome.ok) {
      const auto [format, path] = line_of(action, source_, dest_);
      console_.reason(action.kind == ActionKind::kCopy ? "copy" : "delete", path, outcome.reason);
    }
    return outcome.ok;
  }

  Outcome carry_out(const Action& action) {
    switch (action.kind) {
      case ActionKind::kClearDebris:
        fs_.remove_stale_temporary(dest_.root(), dest_.relative_path(dest_[action.entry]));
        return Outcome::success();
      case ActionKind::kDelete:
        return remove(action);
      case ActionKind::kCopy:
        return copy(action);
    }
    return Outcome::success();
  }

  Outcome remove(const Action& action) {
    const std::string relative = dest_.relative_path(dest_[action.entry]);
    Outcome outcome = fs_.remove_file(dest_.root(), relative);
    // The file's own directory goes too if that left it empty; never the root.
    // Several workers may empty one directory: whichever finds it empty
    // removes it, and the others' attempts fail harmlessly.
    const std::string_view dir = parent_dir(relative, separator_);
    if (outcome.ok && !dir.empty()) fs_.remove_directory(dest_.root(), dir);
    return outcome;
  }

  Outcome copy(const Action& action) {
    const FileEntry& s = source_[action.entry];
    const std::string target = copy_target(plan_, action, source_);
    make_path_dirs(target);
    return fs_.copy_file(source_.path(s), dest_.root(), target, action.replace);
  }

  // Makes sure every directory above `target` exists below the root, once
  // per directory and run.
  // Workers that need one directory wait for the one that makes it.
  void make_path_dirs(const std::string& target) {
    const std::string_view dir = parent_dir(target, separator_);
    const std::lock_guard<std::mutex> lock(directories_mutex_);
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
    if (source_.directories().empty()) return;
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
  std::mutex directories_mutex_;
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
    console.report(format, path);
    console.planned();
  }
}

}  // namespace qmr
