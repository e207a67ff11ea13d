// When a destination file is an equal copy of its source: same size and same
// last-write time, where "same time" allows for what the destination can store.
// A file system that keeps whole seconds (or 2 s, or 10 ms) cuts every time
// written to it, and a mirror on it must still settle.
#pragma once

#include <cstdint>
#include <iterator>

#include "inventory/entry_list.h"
#include "platform/platform.h"
#include "sync/options.h"

namespace qmr {

// The time steps file systems are known to store, finest first, in nanoseconds.
inline constexpr std::int64_t kTimeSteps[] = {1, 100, 1'000, 10'000'000, 1'000'000'000,
                                              2'000'000'000};

// The coarsest step of which every time it was shown is a multiple.
class TimeStepGauge {
 public:
  void narrow(FileTime t);
  std::int64_t step() const { return kTimeSteps[coarsest_]; }

 private:
  size_t coarsest_ = std::size(kTimeSteps) - 1;
};

// The coarsest step of which every time in `dest` is a multiple: the files'
// last-write times and the root directory's own, which the file system's clock
// sets, with those `seen` already measured (files the scan did not keep).
// Where the destination keeps nanoseconds, these are all but never all round,
// so the step is 1 and equality stays exact.
std::int64_t time_step(const EntryList& dest, TimeStepGauge seen = {});

// True when `dest` is `source` as a destination of step `step` stores it:
// exactly, or cut down or rounded up to a step no coarser than `step`.
bool same_time(FileTime dest, FileTime source, std::int64_t step);

// Whether a destination file or directory lacks attributes of its source
// that the run can give: the mode a copy would get, and the owner and group
// where the run keeps owners. An owner or group the process cannot give is
// never a change, so a mirror made by an ordinary user can become idle.
bool attributes_differ(const Attributes& from, const Attributes& to, bool owners_kept);

// What a paired file needs: nothing, only the source's attributes, or a copy.
enum class PairNeed { kNothing, kAttributes, kCopy };

// The one rule for a pair: `equal` tells whether size and time match (at
// whatever step the caller knows), `files` whether both are regular files
// (only those take attributes alone). A deleting-only run never copies.
PairNeed pair_need(SyncMode mode, bool equal, bool files, const Attributes& from, const Attributes& to,
                   bool owners_kept);

}  // namespace qmr
