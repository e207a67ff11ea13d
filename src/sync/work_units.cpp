#include "sync/work_units.h"

#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "inventory/ascii.h"
#include "sync/paths.h"

namespace qmr {

std::vector<bool> copies_in_turn(const Plan& plan, const EntryList& source, size_t begin, size_t end,
                                 char separator) {
  std::vector<bool> in_turn(end - begin, false);
  const auto folded_target = [&](size_t i) { return fold_text(copy_target(plan, plan.actions[i], source)); };
  // Every directory the copies go into, and each above it, case folded and
  // without the closing separator: as many as there are directories.
  std::unordered_set<std::string> dirs;
  std::string last_dir;
  for (size_t i = begin; i < end; ++i) {
    const std::string target = folded_target(i);
    const std::string_view dir = parent_dir(target, separator);
    if (dir == last_dir) continue;
    last_dir = dir;
    for (const std::string_view prefix : relative_dir_prefixes(target, separator)) {
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
    for (const std::string_view prefix : relative_dir_prefixes(target, separator)) {
      const auto found = first_copy.find(std::string(prefix.substr(0, prefix.size() - 1)));
      if (found != first_copy.end() && found->second < i) in_turn[i - begin] = true;
    }
  }
  return in_turn;
}

std::vector<OrderedPipeline::Unit> directory_runs(const Plan& plan, const EntryList& source, size_t begin,
                                                  size_t end, const std::vector<bool>& in_turn) {
  std::vector<OrderedPipeline::Unit> runs;
  std::uint32_t last_dir = std::numeric_limits<std::uint32_t>::max();
  for (size_t i = begin; i < end; ++i) {
    if (in_turn[i - begin]) {
      last_dir = std::numeric_limits<std::uint32_t>::max();
      continue;
    }
    const std::uint32_t dir = source.directory_index(source[plan.actions[i].entry]);
    if (dir != last_dir || runs.back().second - runs.back().first >= OrderedPipeline::kLongestUnit) {
      runs.emplace_back(static_cast<std::uint32_t>(i), static_cast<std::uint32_t>(i));
    }
    runs.back().second = static_cast<std::uint32_t>(i + 1);
    last_dir = dir;
  }
  return runs;
}

}  // namespace qmr
