#include "sync/execute.h"

#include <algorithm>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "console/messages.h"
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

  size_t run(bool settle_root) {
    size_t failures = 0;
    for (const Action& action : plan_.actions) {
      if (!carry_out(action)) ++failures;
    }
    settle(settle_root);
    return failures;
  }

 private:
  bool carry_out(const Action& action) {
    if (action.kind == ActionKind::kClearDebris) {
      fs_.remove_stale_temporary(dest_.root(), dest_.relative_path(dest_[action.entry]));
      return true;
    }
    const auto [format, path] = line_of(action, source_, dest_);
    console_.report(format, path);
    const Outcome outcome = action.kind == ActionKind::kCopy ? copy(action) : remove(action);
    console_.outcome(outcome.ok);
    if (!outcome.ok) {
      console_.reason(action.kind == ActionKind::kCopy ? "copy" : "delete", path, outcome.reason);
    }
    return outcome.ok;
  }

  Outcome remove(const Action& action) {
    const std::string relative = dest_.relative_path(dest_[action.entry]);
    Outcome outcome = fs_.remove_file(dest_.root(), relative);
    // The file's own directory goes too if that left it empty; never the root.
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
  std::unordered_set<std::string> ready_;
  std::string last_ready_;
  std::vector<std::string> created_;
};

}  // namespace

size_t execute_plan(const Plan& plan, const EntryList& source, const EntryList& dest,
                    FileSystem& fs, const Console& console, bool settle_root) {
  return Executor(plan, source, dest, fs, console).run(settle_root);
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
