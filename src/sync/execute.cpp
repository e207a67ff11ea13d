#include "sync/execute.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
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
#include "sync/dry_run.h"
#include "sync/paths.h"
#include "sync/pipeline.h"
#include "sync/work_units.h"

namespace qmr {

namespace {

// The progress line an action begins with, and the path it names: the
// destination file for a deletion, the source file for a copy.
std::pair<const char*, std::string> line_of(const Action& action, const EntryList& source,
                                            const EntryList& dest) {
  if (action.kind() == ActionKind::kCopy) return {kCopyLine, source.path(source[action.entry])};
  return {kDeleteLine, dest.path(dest[action.entry])};
}

// Directories deepest first, so that a parent is tried after its children.
struct DeeperFirst {
  bool operator()(const std::string& a, const std::string& b) const {
    // A directory's path is longer than its parent's.
    return a.size() != b.size() ? a.size() > b.size() : a < b;
  }
};


class Executor final : private PipelineSteps {
 public:
  Executor(const Plan& plan, const EntryList& source, const EntryList& dest, FileSystem& fs,
           const Console& console, const ExecuteSettings& settings)
      : plan_(plan), source_(source), dest_(dest), fs_(fs), console_(console),
        separator_(fs.path_style().separator),
        own_access_(settings.access == nullptr ? std::make_unique<WriteAccess>(fs, dest) : nullptr),
        access_(settings.access == nullptr ? *own_access_ : *settings.access), preview_(settings.preview) {}

  RunTotals run(ExecuteSettings settings) {
    const size_t end = plan_.actions.size();
    size_t split = 0;
    while (split < end && plan_.actions[split].kind() != ActionKind::kCopy) ++split;
    const bool parallel = settings.workers > 1;
    // Deletions first, all of them: a link deleted there may be where a copy
    // makes a real directory, and a directory they empty where it puts a file.
    size_t failures = parallel && split > 1 ? run_parallel(0, split, settings.workers)
                                            : run_in_order(0, split);
    prune_directories();
    if (fs_.interrupted() == 0) {
      failures += parallel && end - split > 1 ? run_parallel(split, end, settings.workers)
                                              : run_in_order(split, end);
    } else {
      first_undone_ = std::min(first_undone_, split);
    }
    totals_.failed = failures + wind_up(settings.settle_root);
    return totals_;
  }

  // What every run does at its end, and the one place where a stopped run
  // is cleaned up: each directory gets its final mode (one a stop left
  // unfinished keeps what the next run needs to write there), and only a run
  // that was not stopped goes on to give equal files their attributes and
  // directories their times. Returns the failures.
  size_t wind_up(bool settle_root) {
    settle(settle_root);
    if (fs_.interrupted() != 0) return 0;
    const size_t failures = refresh_attributes();
    if (fs_.interrupted() == 0) retime_directories();
    return failures;
  }

 private:
  size_t run_in_order(size_t begin, size_t end) {
    size_t failures = 0;
    size_t i = begin;
    for (; i < end && fs_.interrupted() == 0; ++i) {
      begin_line(i);
      if (!report(i, do_whole(i))) ++failures;
    }
    if (i < end) first_undone_ = std::min(first_undone_, i);
    return failures;
  }

  // Several workers carry out the actions [begin, end) through the ordered
  // pipeline. Copies are taken by directory runs, each deletion as a unit of
  // its own; the directories of the copies not done in turn are made first.
  size_t run_parallel(size_t begin, size_t end, unsigned workers) {
    const bool copies = plan_.actions[begin].kind() == ActionKind::kCopy;
    // One bit an action, made once: the plan of a large first mirror is
    // the run's peak of memory.
    std::vector<bool> in_turn = copies ? copies_in_turn(plan_, source_, begin, end, separator_)
                                       : std::vector<bool>(end - begin, false);
    std::vector<OrderedPipeline::Unit> units;
    if (copies) {
      for (size_t i = begin; i < end && fs_.interrupted() == 0; ++i) {
        if (!in_turn[i - begin]) make_path_dirs(copy_target(plan_, plan_.actions[i], source_));
      }
      units = directory_runs(plan_, source_, begin, end, in_turn);
    } else {
      for (size_t i = begin; i < end; ++i) units.emplace_back(i, i + 1);
    }
    OrderedPipeline pipeline(*this, begin, end, workers, console_.quiet(), std::move(in_turn));
    pipeline_ = &pipeline;
    const size_t failures = pipeline.run(units);
    pipeline_ = nullptr;
    if (pipeline.first_undone() < end) first_undone_ = std::min(first_undone_, pipeline.first_undone());
    return failures;
  }

  // The steps of the pipeline, by action number.
  bool stages(size_t i) const override { return plan_.actions[i].kind() == ActionKind::kCopy; }
  Outcome stage(size_t i, std::unique_ptr<StagedCopy>& staged) override {
    if (const Outcome refused = refuse_unusable(plan_.actions[i]); !refused.ok) return refused;
    const CopyOrder order = order_of(i);
    // Written beside its target, in a directory the run may write in.
    access_.open(parent_dir(order.dest_relative, separator_));
    return fs_.stage_copy(order, staged);
  }
  Outcome take_effect(size_t i, std::unique_ptr<StagedCopy> staged) override {
    return staged ? staged->commit() : remove(plan_.actions[i]);
  }
  Outcome do_whole(size_t i) override {
    const Action action = plan_.actions[i];
    if (action.kind() != ActionKind::kCopy) return remove(action);
    if (const Outcome refused = refuse_unusable(action); !refused.ok) return refused;
    make_path_dirs(copy_target(plan_, action, source_));
    std::unique_ptr<StagedCopy> staged;
    const Outcome staging = stage(i, staged);
    return staging.ok ? staged->commit() : staging;
  }

  void begin_line(size_t i) override {
    const Action action = plan_.actions[i];
    if (action.kind() == ActionKind::kClearDebris) return;  // silent
    const auto [format, path] = line_of(action, source_, dest_);
    console_.begin(format, path);
    shown_line_ = i;
  }

  // Ends the action's line; an action a stop abandoned is "Stopped.", and
  // no failure. Returns false for a failure.
  bool report(size_t i, const Outcome& outcome) override {
    const Action action = plan_.actions[i];
    if (action.kind() == ActionKind::kClearDebris) return true;
    shown_line_ = kNoLine;
    if (!outcome.ok && fs_.interrupted() != 0) {
      console_.stopped();
      return true;
    }
    if (!outcome.ok) {
      console_.outcome(false);
      const auto [format, path] = line_of(action, source_, dest_);
      console_.reason(action.kind() == ActionKind::kCopy ? "copy" : "delete", path, outcome.reason);
      return false;
    }
    if (preview_) {
      console_.planned();
    } else {
      console_.outcome(true);
    }
    count_action(totals_, action, source_);
    return true;
  }

  // Ends the begun line of an action a stop abandoned before it was tried.
  void stop_line(size_t i) override {
    if (plan_.actions[i].kind() == ActionKind::kClearDebris) return;  // it has no line
    shown_line_ = kNoLine;
    console_.stopped();
  }

  void show_progress(std::string_view text) override { console_.progress(text); }
  bool stopping() const override { return fs_.interrupted() != 0; }

  CopyOrder order_of(size_t i) {
    const Action action = plan_.actions[i];
    const FileEntry& s = source_[action.entry];
    return {source_.root(), source_.relative_path(s),     s.kind(),
            dest_.root(),   copy_target(plan_, action, source_), action.replace(),
            progress_of(i)};
  }

  // On a terminal, a copy still running after a second shows how far it is
  // and how fast on its line, about once a second, while that line is shown.
  std::function<void(std::uint64_t)> progress_of(size_t i) {
    if (!console_.interactive() || console_.quiet()) return nullptr;
    const std::uint64_t size = source_.file_size(source_[plan_.actions[i].entry]);
    struct Clock {
      std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
      std::chrono::steady_clock::time_point last = start;
    };
    auto clock = std::make_shared<Clock>();
    return [this, i, size, clock](std::uint64_t done) {
      const auto now = std::chrono::steady_clock::now();
      if (now - clock->last < std::chrono::seconds(1)) return;
      clock->last = now;
      const double seconds = std::chrono::duration<double>(now - clock->start).count();
      char text[64];
      std::snprintf(text, sizeof text, "%3u%% %.1f MB/s",
                    static_cast<unsigned>(size == 0 ? 100 : std::min<std::uint64_t>(done * 100 / size, 100)),
                    static_cast<double>(done) / seconds / 1e6);
      if (pipeline_ != nullptr) {
        pipeline_->progress(i, text);
      } else if (shown_line_ == i) {
        console_.progress(text);
      }
    };
  }

  Outcome remove(const Action& action) {
    const std::string relative = dest_.relative_path(dest_[action.entry]);
    access_.open(dest_.directory(dest_[action.entry]));
    if (action.kind() == ActionKind::kClearDebris) {
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

  // A name that is not one plain name would be read as a path: never copied.
  Outcome refuse_unusable(const Action& action) const {
    const FileEntry& s = source_[action.entry];
    if (s.kind() != EntryKind::kUnusable) return Outcome::success();
    return Outcome::failure(source_.path(s) +
                            ": not a plain name (it holds a path separator, or the system could "
                            "not decode it)");
  }

  // Removes the directories the deletions emptied, and each ancestor that
  // becomes empty as a result, deepest first, never the root; and the
  // destination directories where a copy must put a file, when nothing but
  // empty directories is left in them. On this thread, after every deletion,
  // so the outcome is the same for any number of workers.
  void prune_directories() {
    std::set<std::string, DeeperFirst> candidates(emptied_.begin(), emptied_.end());
    for (const std::uint32_t dir : plan_.clear) candidates.insert(std::string(dest_.directories()[dir]));
    while (!candidates.empty()) {
      const std::string dir = *candidates.begin();
      candidates.erase(candidates.begin());
      if (dir.empty()) continue;
      access_.open(parent_of_dir(dir, separator_));
      if (!fs_.remove_directory(dest_.root(), dir)) continue;
      candidates.insert(std::string(parent_of_dir(dir, separator_)));
    }
  }

  // Makes sure every directory above `target` exists below the root. Copies
  // come in the walk's order, depth first, so the directories above the last
  // target are ready: only those below where the two paths part are made.
  // Nothing is kept per directory.
  void make_path_dirs(const std::string& target) {
    // The workers make none before the pipeline starts, and then only one
    // copy done in turn at a time does; the lock states it rather than
    // leaving it to that protocol.
    const std::lock_guard<std::mutex> lock(dirs_mutex_);
    const std::string_view dir = parent_dir(target, separator_);
    if (dir.empty() || dir == last_ready_) return;
    for (const std::string_view prefix : relative_dir_prefixes(target, separator_)) {
      if (last_ready_.starts_with(prefix)) continue;
      access_.open(parent_of_dir(prefix, separator_));
      if (fs_.make_directory(dest_.root(), prefix) == DirectoryMade::kCreated) {
        created_.emplace_back(prefix);
      }
    }
    last_ready_ = dir;
  }

  // Directories made by the run, and those the plan found unlike their source,
  // get the source's owner and permission bits: deepest first, so that a
  // directory closed to its owner is settled after everything inside it.
  // Gives equal files the source's attributes; no progress line, a reason
  // on stderr for a failure. Returns the number of failures.
  size_t refresh_attributes() {
    size_t failures = 0;
    for (const Action& action : plan_.attributes) {
      if (fs_.interrupted() != 0) break;
      bool changed = false;
      const std::string target = copy_target(plan_, action, source_);
      const Outcome outcome =
          fs_.set_file_attributes(dest_.root(), target, source_.file_attributes(source_[action.entry]), changed);
      totals_.attributes += changed;
      if (outcome.ok) continue;
      console_.reason("set the attributes of", dest_.root() + target, outcome.reason);
      ++failures;
    }
    return failures;
  }

  // Stamps the directories the run made or changed, and those whose time
  // differs, with their source's time, now that nothing more changes in them.
  void retime_directories() {
    const auto& names = source_.directories();
    for (const std::uint32_t dir : plan_.retime) {
      totals_.attributes += fs_.set_directory_time(dest_.root(), names[dir], source_.directory_time(dir));
    }
  }

  // What a directory ends the run with: attributes to give, or a mode alone.
  struct Final {
    std::string dir;
    Attributes attributes;
    bool mode_only;
  };

  // The directories the plan found unlike their source, those the run made
  // and, with `settle_root`, the root get their source's owner and permission
  // bits; those it opened to write in get the mode they should end with (their
  // source's, or their own where they mirror none, the root included).
  // Deepest first, so that a directory closed to its owner is settled after
  // everything inside it.
  void settle(bool settle_root) {
    for (const Final& f : finals(settle_root)) {
      const Outcome outcome = f.mode_only ? fs_.set_directory_mode(dest_.root(), f.dir, f.attributes.mode)
                                          : fs_.set_attributes(dest_.root(), f.dir, f.attributes);
      unsettled_directory(outcome);
    }
  }

  // The one place where the run lets a failure pass: a directory's mode or
  // owner that could not be given is no failure of the run (its content is
  // mirrored all the same); which of them to report is for the later rules
  // on what a mirror keeps.
  static void unsettled_directory(const Outcome&) {}

  // Each directory to settle once, deepest first. Where a stopped run left
  // an action undone, a directory keeps the bits the user needs to write in
  // it, so that the next run completes it; later runs settle it as any
  // directory unlike its source.
  std::vector<Final> finals(bool settle_root) const {
    std::vector<Final> finals;
    const auto& names = source_.directories();
    for (const std::uint32_t s : plan_.settle) finals.push_back({std::string(names[s]), source_.attributes(s), false});
    const std::vector<std::pair<std::string, Attributes>> opened = access_.opened();
    if (!created_.empty() || !opened.empty()) {
      std::unordered_map<std::string_view, std::uint32_t> index;
      for (size_t i = 0; i < names.size(); ++i) index.emplace(names[i], static_cast<std::uint32_t>(i));
      const auto mirrored = [&](const std::string& dir) { return dir.empty() ? index.end() : index.find(dir); };
      for (const std::string& made : created_) {
        if (const auto found = mirrored(made); found != index.end()) {
          finals.push_back({made, source_.attributes(found->second), false});
        }
      }
      for (const auto& [dir, had] : opened) {
        const auto found = mirrored(dir);
        finals.push_back(found == index.end() ? Final{dir, had, true}
                                              : Final{dir, source_.attributes(found->second), false});
      }
    }
    const std::unordered_set<std::string> unfinished = unfinished_directories();
    for (Final& f : finals) {
      if (access_.binds() && unfinished.count(f.dir) != 0) f.attributes.mode |= kOwnerWriteSearch;
    }
    // A root the run made is settled by no later run: it gets its source's
    // mode even when this one was stopped, and a later run that must write
    // in it opens it again.
    if (settle_root && !names.empty()) finals.insert(finals.begin(), {"", source_.attributes(0), false});
    std::stable_sort(finals.begin(), finals.end(), [](const Final& a, const Final& b) {
      return a.dir.size() != b.dir.size() ? a.dir.size() > b.dir.size() : a.dir < b.dir;
    });
    const auto same_dir = [](const Final& a, const Final& b) { return a.dir == b.dir; };
    finals.erase(std::unique(finals.begin(), finals.end(), same_dir), finals.end());
    return finals;
  }

  // Where a stopped run left an action undone, and every directory above:
  // the destination directories it did not finish.
  std::unordered_set<std::string> unfinished_directories() const {
    std::unordered_set<std::string> dirs;
    std::string last;
    for (size_t i = first_undone_; i < plan_.actions.size(); ++i) {
      const Action action = plan_.actions[i];
      std::string dir = action.kind() == ActionKind::kCopy
                            ? std::string(parent_dir(copy_target(plan_, action, source_), separator_))
                            : std::string(dest_.directory(dest_[action.entry]));
      if (i > first_undone_ && dir == last) continue;
      last = dir;
      for (std::string_view d = dir; dirs.insert(std::string(d)).second && !d.empty();) d = parent_of_dir(d, separator_);
    }
    return dirs;
  }

  const Plan& plan_;
  const EntryList& source_;
  const EntryList& dest_;
  FileSystem& fs_;
  const Console& console_;
  const char separator_;
  std::mutex emptied_mutex_;
  std::set<std::string> emptied_;  // parents of the files deleted
  std::mutex dirs_mutex_;  // over last_ready_ and created_
  std::string last_ready_;
  std::vector<std::string> created_;
  std::unique_ptr<WriteAccess> own_access_;
  WriteAccess& access_;
  // The first action of the plan a stop left undone; none when it ran whole.
  size_t first_undone_ = static_cast<size_t>(-1);
  RunTotals totals_;
  const bool preview_;
  // The action whose line a terminal shows, for the progress of its copy
  // when no pipeline runs; while one does, it knows.
  static constexpr size_t kNoLine = static_cast<size_t>(-1);
  size_t shown_line_ = kNoLine;
  OrderedPipeline* pipeline_ = nullptr;
};

}  // namespace

// Copies wait on the disk, the directory locks and, on network and FUSE
// file systems, on round trips, so several per core keep everything busy.
unsigned default_workers() {
  const unsigned cores = std::thread::hardware_concurrency();
  static_assert(16 <= kMaxThreads);
  return std::clamp(cores * 4, 4u, 16u);
}

RunTotals execute_plan(const Plan& plan, const EntryList& source, const EntryList& dest,
                       FileSystem& fs, const Console& console, ExecuteSettings settings) {
  return Executor(plan, source, dest, fs, console, settings).run(settings);
}

RunTotals preview_plan(const Plan& plan, const EntryList& source, const EntryList& dest, FileSystem& fs,
                       const Console& console) {
  DryRunFileSystem nothing_changed(fs);
  ExecuteSettings settings;
  settings.preview = true;
  return execute_plan(plan, source, dest, nothing_changed, console, settings);
}

}  // namespace qmr
