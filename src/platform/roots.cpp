// The algorithms of the native file system that every operating system
// shares, over the primitives of native.h.
#include <algorithm>
#include <string_view>
#include <vector>

#include "platform/native.h"
#include "platform/pause_hooks.h"
#include "platform/temporary_name.h"

namespace qmr {

Outcome NativeFileSystem::stage_copy(const CopyOrder& order, std::unique_ptr<StagedCopy>& staged) {
  staged.reset();
  os::pauses(*state_).at(PausePoint::kStage);
  Outcome outcome = os::stage_entry(*state_, order, staged);
  if (outcome.ok) os::pauses(*state_).before_commit(staged);
  return outcome;
}

Outcome NativeFileSystem::make_root(const std::string& path) {
  if (const Outcome made = os::make_directories(path); !made.ok) return made;
  const RootStatus opened = open_root(path);
  if (opened.status != ListStatus::kOk) return Outcome::failure(path + ": " + opened.reason);
  return Outcome::success();
}

RootProbe NativeFileSystem::probe_roots(const std::string& source_root, const std::string& dest_root) {
  os::pauses(*state_).at(PausePoint::kProbe);
  // Where nothing can be removed, nothing will be changed either; a marker
  // could never be taken back.
  if (!os::markers_possible(*state_, source_root, dest_root)) return {};
  RootProbe probe;
  std::string made;
  with_temporary_name(os::process_number(), [&](const std::string& name) {
    switch (os::make_marker(*state_, dest_root, name, probe.unwritable)) {
      case os::MarkerMade::kTaken:
        return NameTry::kTaken;
      case os::MarkerMade::kMade:
        made = name;
        break;
      case os::MarkerMade::kRefused:  // nothing can be made there, so nothing will be changed
      case os::MarkerMade::kFailed:
        break;
    }
    return NameTry::kDone;
  });
  if (made.empty()) return probe;
  probe.alias = os::marker_seen(*state_, source_root, made);
  os::remove_marker(*state_, dest_root, made);
  return probe;
}

// Peels off names until an existing ancestor resolves, then puts the missing
// ones back, applying "." and ".." to them by their spelling.
std::string NativeFileSystem::resolve_path(const std::string& path) {
  const char separator = path_style().separator;
  size_t root_length = 0;
  const std::string absolute = os::absolute_spelling(path, root_length);
  std::vector<std::string> missing;
  std::string existing = absolute;
  std::optional<std::string> resolved;
  for (;;) {
    resolved = os::real_path(existing);
    if (resolved) break;
    while (existing.size() > root_length && existing.back() == separator) existing.pop_back();
    const size_t cut = existing.find_last_of(separator);
    if (cut == std::string::npos || cut + 1 >= existing.size() || cut + 1 < root_length) break;
    missing.push_back(existing.substr(cut + 1));
    existing.resize(cut + 1 < root_length ? root_length : std::max(cut, root_length));
  }
  if (!resolved) return absolute;
  std::string result = *resolved;
  for (auto part = missing.rbegin(); part != missing.rend(); ++part) {
    if (part->empty() || *part == ".") continue;
    if (*part == "..") {
      const size_t cut = result.find_last_of(separator);
      result.resize(cut == std::string::npos || cut < root_length ? root_length : cut);
      continue;
    }
    if (result.empty() || result.back() != separator) result += separator;
    result += *part;
  }
  return result;
}

}  // namespace qmr
