#include "sync/execute.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <queue>
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


class Executor {
 public:
  Executor(const Plan& plan, const EntryList& source, const EntryList& dest, FileSystem& fs,
           const Console& console, WriteAccess* access)
      : plan_(plan), source_(source), dest_(dest), fs_(fs), console_(console),
        separator_(fs.path_style().separator),
        own_access_(access == nullptr ? std::make_unique<WriteAccess>(fs, dest) : nullptr),
        access_(access == nullptr ? *own_access_ : *access) {}

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
    settle(settings.settle_root);
    if (fs_.interrupted() == 0) failures += refresh_attributes();
    if (fs_.interrupted() == 0) retime_directories();
    totals_.failed = failures;
    return totals_;
  }

 private:
  size_t run_in_order(size_t begin, size_t end) {
    size_t failures = 0;
    size_t i = begin;
    for (; i < end && fs_.interrupted() == 0; ++i) {
      const Action action = plan_.actions[i];
      if (action.kind() == ActionKind::kCopy) {
        begin_line(action);
        if (!report(action, copy_now(action))) ++failures;
        continue;
      }
      begin_line(action);
      if (!report(action, remove(action))) ++failures;
    }
    if (i < end) first_undone_ = std::min(first_undone_, i);
    return failures;
  }

  // Several workers carry out the actions [begin, end) and report them in plan
  // order. A copy is written ahead under its temporary name; when lines are
  // written, an action takes effect (a copy is put in place, a file deleted)
  // only while fewer than `workers` actions have taken effect without their
  // line, so the log of a killed run misses no more than that many. A quiet
  // run has no log to keep up with. Whoever finishes the oldest
  // action prints its line and those of the finished actions after it, so no
  // thread waits on another to report.
  size_t run_parallel(size_t begin, size_t end, unsigned workers) {
    const bool copies = plan_.actions[begin].kind() == ActionKind::kCopy;
    // One bit an action, made once: the plan of a large first mirror is
    // the run's peak of memory.
    std::vector<bool> in_turn = copies ? copies_in_turn(begin, end) : std::vector<bool>(end - begin, false);
    // Copies are taken by directory runs; each deletion is a unit of its own.
    std::vector<Unit> runs;
    if (copies) {
      for (size_t i = begin; i < end && fs_.interrupted() == 0; ++i) {
        if (!in_turn[i - begin]) make_path_dirs(copy_target(plan_, plan_.actions[i], source_));
      }
      runs = directory_runs(begin, end, in_turn);
    }
    const size_t units = copies ? runs.size() : end - begin;
    Pipeline pipeline(*this, begin, end, workers, std::move(in_turn));
    std::atomic<size_t> next{0};
    auto work = [&] {
      for (size_t u = next.fetch_add(1); u < units; u = next.fetch_add(1)) {
        const auto first = static_cast<std::uint32_t>(begin + u);
        const Unit unit = copies ? runs[u] : Unit{first, first + 1};
        for (size_t i = unit.first; i < unit.second; ++i) pipeline.prepare(i);
      }
      pipeline.help_until_done();
    };
    {
      std::vector<std::jthread> pool;
      for (size_t w = 1; w < std::min<size_t>(workers, units); ++w) pool.emplace_back(work);
      work();
    }
    const size_t failures = pipeline.finish();
    // Actions after the oldest one not reported may have taken effect; their
    // directories count as unfinished all the same.
    if (pipeline.reported() < end) first_undone_ = std::min(first_undone_, pipeline.reported());
    return failures;
  }

  // The actions between the threads that carry them out and the log.
  class Pipeline {
   public:
    Pipeline(Executor& executor, size_t begin, size_t end, unsigned workers,
             std::vector<bool> in_turn)
        : ex_(executor), begin_(begin), end_(end),
          window_(executor.console_.quiet() ? std::numeric_limits<size_t>::max() : workers),
          lookahead_(std::max<size_t>(256, size_t{2} * kLongestRun * workers)),
          in_turn_(std::move(in_turn)), slots_(std::min(end - begin, lookahead_)), next_(begin) {
      std::unique_lock<std::mutex> lock(mutex_);
      ex_.console_lock_ = &mutex_;
      drain(lock);
    }

    // Writes copy `i` ahead (a deletion needs nothing ahead), then lets
    // whatever may take effect do so.
    void prepare(size_t i) {
      std::unique_lock<std::mutex> lock(mutex_);
      while (!stopping() && i >= next_ + lookahead_) {
        if (!act_in_window(lock)) wait(lock);
      }
      if (in_turn_[i - begin_]) return;  // done whole when it is the oldest
      if (i >= next_ + lookahead_) return;  // stopped before its slot came free
      if (stopping()) {
        slot(i).state = Slot::kSkipped;
        drain(lock);
        return;
      }
      const Action action = ex_.plan_.actions[i];
      if (action.kind() == ActionKind::kCopy) {
        lock.unlock();
        std::unique_ptr<StagedCopy> staged;
        Outcome outcome = ex_.stage(action, staged);
        lock.lock();
        slot(i).staged = std::move(staged);
        slot(i).outcome = std::move(outcome);
        slot(i).state = slot(i).staged || slot(i).outcome.ok ? Slot::kReady : Slot::kFinal;
      } else {
        slot(i).state = Slot::kReady;
      }
      if (slot(i).state == Slot::kReady) ready_.push(i);
      while (act_in_window(lock)) {
      }
      drain(lock);
    }

    // Once out of work to take, takes effect what may until all is reported.
    void help_until_done() {
      std::unique_lock<std::mutex> lock(mutex_);
      while (next_ < end_ && !(stopping() && acting_ == 0)) {
        if (!act_in_window(lock)) wait(lock);
      }
      if (waiting_ > 0) changed_.notify_all();
    }

    // After a stop, the actions that took effect all the same get their
    // lines; the copies written but never put in place are removed.
    size_t finish() {
      std::unique_lock<std::mutex> lock(mutex_);
      for (size_t i = next_; i < std::min(end_, next_ + lookahead_); ++i) {
        if (slot(i).state == Slot::kFinal && slot(i).outcome.ok && slot(i).acted) {
          if (begun_ != i) ex_.begin_line(ex_.plan_.actions[i]);
          ex_.report(ex_.plan_.actions[i], slot(i).outcome);
        } else if (begun_ == i) {
          ex_.stop_line(ex_.plan_.actions[i]);
        }
      }
      slots_.clear();
      ex_.console_lock_ = nullptr;
      return failures_;
    }

    // The first action whose line was not printed: all before it are done.
    size_t reported() const { return next_; }

   private:
    struct Slot {
      enum State : std::uint8_t { kPending, kReady, kActing, kFinal, kSkipped };
      State state = kPending;
      bool acted = false;  // took effect, or was tried
      Outcome outcome;
      std::unique_ptr<StagedCopy> staged;
    };

    // Only the actions of the window from the oldest unreported one have a
    // slot: memory does not grow with the plan.
    Slot& slot(size_t i) { return slots_[(i - begin_) % slots_.size()]; }
    bool stopping() const { return ex_.fs_.interrupted() != 0; }

    // Lets the oldest ready action take effect, if one may; false when none
    // may. The oldest not reported always may: its line follows at once.
    bool act_in_window(std::unique_lock<std::mutex>& lock) {
      if (stopping() || next_ == end_) return false;
      if (slot(next_).state == Slot::kReady) {
        act(next_, lock);
        return true;
      }
      while (!ready_.empty() && slot(ready_.top()).state != Slot::kReady) ready_.pop();
      if (ready_.empty() || in_effect_ + 1 >= window_) return false;
      const size_t i = ready_.top();
      ready_.pop();
      act(i, lock);
      return true;
    }

    void act(size_t i, std::unique_lock<std::mutex>& lock) {
      Slot& s = slot(i);
      s.state = Slot::kActing;
      ++acting_;
      ++in_effect_;
      std::unique_ptr<StagedCopy> staged = std::move(s.staged);
      Outcome outcome = std::move(s.outcome);
      lock.unlock();
      const Action action = ex_.plan_.actions[i];
      if (action.kind() != ActionKind::kCopy) {
        outcome = ex_.remove(action);
      } else if (staged) {
        outcome = staged->commit();
        staged.reset();
      }
      lock.lock();
      --acting_;
      s.outcome = std::move(outcome);
      s.acted = true;
      s.state = Slot::kFinal;
      drain(lock);
    }

    // Prints the lines of the oldest actions that are done, and does the
    // oldest itself when it must be done in turn.
    void drain(std::unique_lock<std::mutex>& lock) {
      const size_t before = next_;
      while (next_ < end_) {
        Slot& s = slot(next_);
        const Action action = ex_.plan_.actions[next_];
        if (in_turn_[next_ - begin_] && s.state == Slot::kPending && !stopping()) {
          s.state = Slot::kActing;
          ++acting_;
          lock.unlock();
          Outcome outcome = ex_.copy_now(action);
          lock.lock();
          --acting_;
          s.outcome = std::move(outcome);
          s.acted = true;
          s.state = Slot::kFinal;
        }
        if (s.state != Slot::kFinal && s.state != Slot::kSkipped) break;
        if (s.acted && !in_turn_[next_ - begin_]) --in_effect_;
        if (s.state == Slot::kFinal && !(stopping() && !s.outcome.ok)) {
          if (begun_ != next_) ex_.begin_line(action);
          if (!ex_.report(action, s.outcome)) ++failures_;
        } else if (begun_ == next_) {
          ex_.stop_line(action);
        }
        s = Slot{};  // free for the action a window later
        ++next_;
      }
      // On a terminal the oldest pending action names its file while it runs.
      if (next_ < end_ && begun_ != next_ && !stopping()) {
        ex_.begin_line(ex_.plan_.actions[next_]);
        begun_ = next_;
      }
      if (next_ != before && waiting_ > 0) changed_.notify_all();
    }

    void wait(std::unique_lock<std::mutex>& lock) {
      ++waiting_;
      changed_.wait(lock);
      --waiting_;
    }

    Executor& ex_;
    const size_t begin_, end_, window_, lookahead_;
    const std::vector<bool> in_turn_;
    std::mutex mutex_;  // also keeps the console to one thread at a time
    std::condition_variable changed_;
    std::vector<Slot> slots_;
    size_t next_;                      // the oldest action not reported
    size_t begun_ = static_cast<size_t>(-1);  // the action whose line is begun
    size_t acting_ = 0;
    size_t in_effect_ = 0;  // actions that took effect (or are taking it) without their line
    size_t waiting_ = 0;
    std::priority_queue<size_t, std::vector<size_t>, std::greater<>> ready_;
    size_t failures_ = 0;
  };

  static constexpr size_t kLongestRun = 64;
  // Actions [first, second) that one worker takes whole. A plan numbers its
  // actions in 32 bits, as it does its entries.
  using Unit = std::pair<std::uint32_t, std::uint32_t>;

  // The runs of actions in one directory that workers take whole, so that
  // they create files in different directories instead of queueing on one
  // directory's lock. A long run is cut, so that a tree of one large
  // directory still keeps every worker busy. Copies done in turn are left out.
  std::vector<Unit> directory_runs(size_t begin, size_t end, const std::vector<bool>& in_turn) const {
    std::vector<Unit> runs;
    std::uint32_t last_dir = std::numeric_limits<std::uint32_t>::max();
    for (size_t i = begin; i < end; ++i) {
      if (in_turn[i - begin]) {
        last_dir = std::numeric_limits<std::uint32_t>::max();
        continue;
      }
      const std::uint32_t dir = source_.directory_index(source_[plan_.actions[i].entry]);
      if (dir != last_dir || runs.back().second - runs.back().first >= kLongestRun) {
        runs.emplace_back(static_cast<std::uint32_t>(i), static_cast<std::uint32_t>(i));
      }
      runs.back().second = static_cast<std::uint32_t>(i + 1);
      last_dir = dir;
    }
    return runs;
  }

  // The copies that must wait for every earlier one: those below a directory
  // whose name, ASCII case ignored, an earlier copy's target takes. Where the
  // destination ignores case, that copy decides whether the directory can be
  // made at all, as it does for one worker.
  std::vector<bool> copies_in_turn(size_t begin, size_t end) const {
    std::vector<bool> in_turn(end - begin, false);
    const auto folded_target = [&](size_t i) { return fold_text(copy_target(plan_, plan_.actions[i], source_)); };
    // Every directory the copies go into, and each above it, case folded and
    // without the closing separator: as many as there are directories.
    std::unordered_set<std::string> dirs;
    std::string last_dir;
    for (size_t i = begin; i < end; ++i) {
      const std::string target = folded_target(i);
      const std::string_view dir = parent_dir(target, separator_);
      if (dir == last_dir) continue;
      last_dir = dir;
      for (const std::string_view prefix : relative_dir_prefixes(target, separator_)) {
        dirs.emplace(prefix.substr(0, prefix.size() - 1));
      }
    }
    // The first copy to each such name; seldom any.
    std::unordered_map<std::string, size_t> first_copy;
    for (size_t i = begin; i < end; ++i) {
      if (std::string target = folded_target(i); dirs.count(target) != 0) first_copy.emplace(std::move(target), i);
    }
    if (first_copy.empty()) return in_turn;
    for (size_t i = begin; i < end; ++i) {
      const std::string target = folded_target(i);
      for (const std::string_view prefix : relative_dir_prefixes(target, separator_)) {
        const auto found = first_copy.find(std::string(prefix.substr(0, prefix.size() - 1)));
        if (found != first_copy.end() && found->second < i) in_turn[i - begin] = true;
      }
    }
    return in_turn;
  }

  CopyOrder order_of(const Action& action) {
    const FileEntry& s = source_[action.entry];
    return {source_.root(), source_.relative_path(s),     s.kind(),
            dest_.root(),   copy_target(plan_, action, source_), action.replace(),
            progress_of(action)};
  }

  // On a terminal, a copy still running after a second shows how far it is
  // and how fast on its line, about once a second, while that line is shown.
  std::function<void(std::uint64_t)> progress_of(const Action& action) {
    if (!console_.interactive() || console_.quiet()) return nullptr;
    const std::uint64_t index = line_key(action);
    const std::uint64_t size = source_.file_size(source_[action.entry]);
    struct Clock {
      std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
      std::chrono::steady_clock::time_point last = start;
    };
    auto clock = std::make_shared<Clock>();
    return [this, index, size, clock](std::uint64_t done) {
      const auto now = std::chrono::steady_clock::now();
      if (now - clock->last < std::chrono::seconds(1)) return;
      clock->last = now;
      const double seconds = std::chrono::duration<double>(now - clock->start).count();
      char text[64];
      std::snprintf(text, sizeof text, "%3u%% %.1f MB/s",
                    static_cast<unsigned>(size == 0 ? 100 : std::min<std::uint64_t>(done * 100 / size, 100)),
                    static_cast<double>(done) / seconds / 1e6);
      std::unique_lock<std::mutex> lock;
      if (console_lock_ != nullptr) lock = std::unique_lock<std::mutex>(*console_lock_);
      if (shown_line_ == index) console_.progress(text);
    };
  }

  void begin_line(const Action& action) {
    if (action.kind() == ActionKind::kClearDebris) return;  // silent
    const auto [format, path] = line_of(action, source_, dest_);
    console_.begin(format, path);
    shown_line_ = line_key(action);
  }

  // Ends the action's line; an action a stop abandoned is "Stopped.", and
  // no failure. Returns false for a failure.
  bool report(const Action& action, const Outcome& outcome) {
    if (action.kind() == ActionKind::kClearDebris) return true;
    shown_line_ = kNoLine;
    if (!outcome.ok && fs_.interrupted() != 0) {
      console_.stopped();
      return true;
    }
    console_.outcome(outcome.ok);
    if (outcome.ok) count_action(totals_, action, source_);
    if (!outcome.ok) {
      const auto [format, path] = line_of(action, source_, dest_);
      console_.reason(action.kind() == ActionKind::kCopy ? "copy" : "delete", path, outcome.reason);
    }
    return outcome.ok;
  }

  // Ends the begun line of an action a stop abandoned before it was tried.
  void stop_line(const Action& action) {
    if (action.kind() == ActionKind::kClearDebris) return;  // it has no line
    shown_line_ = kNoLine;
    console_.stopped();
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

  Outcome copy_now(const Action& action) {
    if (const Outcome refused = refuse_unusable(action); !refused.ok) return refused;
    make_path_dirs(copy_target(plan_, action, source_));
    std::unique_ptr<StagedCopy> staged;
    const Outcome staging = stage(action, staged);
    return staging.ok ? staged->commit() : staging;
  }

  // Writes the copy beside its target, in a directory the run may write in.
  Outcome stage(const Action& action, std::unique_ptr<StagedCopy>& staged) {
    if (const Outcome refused = refuse_unusable(action); !refused.ok) return refused;
    const CopyOrder order = order_of(action);
    access_.open(parent_dir(order.dest_relative, separator_));
    return fs_.stage_copy(order, staged);
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
      if (f.mode_only) {
        fs_.set_directory_mode(dest_.root(), f.dir, f.attributes.mode);
      } else {
        fs_.set_attributes(dest_.root(), f.dir, f.attributes);
      }
    }
  }

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
  std::string last_ready_;
  std::vector<std::string> created_;
  std::unique_ptr<WriteAccess> own_access_;
  WriteAccess& access_;
  // The first action of the plan a stop left undone; none when it ran whole.
  size_t first_undone_ = static_cast<size_t>(-1);
  RunTotals totals_;
  // The action whose line a terminal shows, for the progress of its copy;
  // and, while workers run, the lock that keeps the console to one thread.
  static constexpr std::uint64_t kNoLine = static_cast<std::uint64_t>(-1);
  static std::uint64_t line_key(const Action& action) {
    return std::uint64_t{static_cast<std::uint8_t>(action.kind())} << 32 | action.entry;
  }
  std::uint64_t shown_line_ = kNoLine;
  std::mutex* console_lock_ = nullptr;
};

}  // namespace

// Copies wait on the disk, the directory locks and, on network and FUSE
// file systems, on round trips, so several per core keep everything busy.
unsigned default_workers() {
  const unsigned cores = std::thread::hardware_concurrency();
  static_assert(16 <= kMaxThreads);
  return std::clamp(cores * 4, 4u, 16u);
}

std::string summary_line(const RunTotals& totals, int stop_signal, std::chrono::steady_clock::duration elapsed) {
  const auto count = [](std::uint64_t n) { return std::to_string(n); };
  std::string line = "Summary: " + count(totals.copied) + " copied (" + count(totals.copied_bytes) + " bytes), " +
                     count(totals.deleted) + " deleted, " + count(totals.failed) + " failed, " +
                     count(totals.unchanged) + " unchanged, " + count(totals.attributes) + " attributes";
  for (const auto& [n, what] : {std::pair{totals.renamed, " renamed"}, {totals.linked, " linked"},
                                {totals.not_kept, " not kept"}}) {
    if (n != 0) line += ", " + count(n) + what;
  }
  if (stop_signal != 0) line += ", stopped by signal " + std::to_string(stop_signal);
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count();
  char time[32];
  std::snprintf(time, sizeof time, ", %lld.%03lld s", static_cast<long long>(ms / 1000),
                static_cast<long long>(ms % 1000));
  return line + time;
}

void count_action(RunTotals& totals, const Action& action, const EntryList& source) {
  if (action.kind() != ActionKind::kCopy) {
    ++totals.deleted;
    return;
  }
  ++totals.copied;
  totals.copied_bytes += source.file_size(source[action.entry]);
}

RunTotals execute_plan(const Plan& plan, const EntryList& source, const EntryList& dest,
                       FileSystem& fs, const Console& console, ExecuteSettings settings) {
  return Executor(plan, source, dest, fs, console, settings.access).run(settings);
}

RunTotals preview_plan(const Plan& plan, const EntryList& source, const EntryList& dest,
                       const Console& console) {
  RunTotals totals;
  for (const Action action : plan.actions) {
    if (action.kind() == ActionKind::kClearDebris) continue;
    const auto [format, path] = line_of(action, source, dest);
    console.begin(format, path);
    console.planned();
    count_action(totals, action, source);
  }
  totals.attributes = plan.attributes.size() + plan.retime.size();
  return totals;
}

}  // namespace qmr
