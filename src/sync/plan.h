// Deciding what a run does, apart from doing it: a pure function of the two
// entry lists and the mode yields the ordered actions, each with its exact
// target. Executors carry a plan out or only report it.
#pragma once

#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "inventory/entry_list.h"
#include "inventory/index_iterator.h"
#include "inventory/scan.h"
#include "sync/equality.h"
#include "sync/options.h"

namespace qmr {

enum class ActionKind : std::uint8_t {
  kClearDebris,  // a temporary left by a run that was killed: removed silently
  kDelete,       // a destination file without a source partner
  kCopy,         // a source file the destination lacks or holds unequal
  kAttributes,   // an equal source file whose mode or owner the partner lacks
};

// Four bytes: a plan holds one for every file a run acts on, and keeps
// runs of like ones in less (see ActionList).
class Action {
 public:
  // Entries are numbered in the bits beside the kind; a list longer than
  // this cannot be planned, and the plan throws std::length_error.
  static constexpr std::uint32_t kMaxEntry = (std::uint32_t{1} << 29) - 1;

  Action(ActionKind kind, bool replace, std::uint32_t entry_)
      : entry(checked(entry_)), kind_(static_cast<std::uint32_t>(kind)), replace_(replace ? 1 : 0) {}

  ActionKind kind() const { return static_cast<ActionKind>(kind_); }
  bool replace() const { return replace_ != 0; }  // a copy that replaces its partner

  // Destination entry (debris, deletion) or source entry (copy, attributes).
  // One word, of one type throughout, so that every compiler packs it.
  std::uint32_t entry : 29;

 private:
  static std::uint32_t checked(std::uint32_t entry) {
    if (entry > kMaxEntry) throw std::length_error("too many files to plan");
    return entry;
  }
  std::uint32_t kind_ : 2;
  std::uint32_t replace_ : 1;
};

static_assert(sizeof(Action) == 4, "actions must stay compact");

// A plan's actions in order. Every 64 actions that name consecutive entries
// with one kind and flag (all the copies of a first mirror, most deletions of
// a tree that went) are kept as their first: an eighth of a byte an action.
class ActionList {
 public:
  static constexpr size_t kSegment = 64;

  size_t size() const { return segments_.size() * kSegment + tail_.size(); }
  bool empty() const { return size() == 0; }
  Action operator[](size_t i) const {
    const size_t segment = i / kSegment;
    if (segment == segments_.size()) return tail_[i % kSegment];
    const Segment& s = segments_[segment];
    if (s.listed == kRun) {
      return {s.first.kind(), s.first.replace(), static_cast<std::uint32_t>(s.first.entry + i % kSegment)};
    }
    return listed_[s.listed + i % kSegment];
  }
  void push_back(Action action);
  // Room for `actions` without growth by doubling, whose old buffers would
  // stay in the heap as holes.
  void reserve(size_t actions);

  IndexIterator<ActionList> begin() const { return {*this, 0}; }
  IndexIterator<ActionList> end() const { return {*this, size()}; }

 private:
  static constexpr std::uint32_t kRun = std::numeric_limits<std::uint32_t>::max();
  struct Segment {
    Action first;
    std::uint32_t listed;  // where its actions start in `listed_`, or kRun
  };
  std::vector<Segment> segments_;
  std::vector<Action> listed_;  // the segments that are no run, whole
  std::vector<Action> tail_;    // the last segment, while it fills
};

struct Plan {
  // Debris and deletions in destination order, then copies in source order.
  ActionList actions;
  // Copies and attribute updates whose partner is spelled in another case
  // go to the partner's path: by source entry, in entry order. The others go
  // to the source's own relative path.
  std::vector<std::pair<std::uint32_t, std::string>> targets;
  // Source directories below the root whose mirror lacks attributes the run
  // can give (see attributes_differ). The destination root itself is the user's.
  std::vector<std::uint32_t> settle;
  // Destination directories that stand where a copy must put a file, with
  // every directory below them: removed once the deletions have emptied them.
  std::vector<std::uint32_t> clear;
  // Equal files whose partner gets the source's attributes, without a copy.
  std::vector<Action> attributes;
  // Source directories whose mirror gets their last-write time at the end,
  // deepest first.
  std::vector<std::uint32_t> retime;
  // Paired source files the plan leaves alone.
  std::uint64_t unchanged = 0;
  // The destination root does not exist: the run makes it, and it is then
  // the run's to settle and stamp. Otherwise the root is the user's.
  bool makes_root = false;
};

// Settles during the scan the pairs of one spelling that the plan would
// leave alone whatever the destination's time step: equal to the nanosecond,
// with the attributes a copy would give. The times of the destination files
// it settles still tell that step.
class SettledPairs final : public PairFilter {
 public:
  SettledPairs(SyncMode mode, bool owners_kept) : mode_(mode), owners_kept_(owners_kept) {}
  bool settled(const DirEntry& source, const DirEntry& dest) override;
  // The attributes a run can give, and the same time to the nanosecond: the
  // plan would neither settle nor stamp the mirror.
  bool settled_directory(const Listing& source, const Listing& dest) override {
    return !attributes_differ(source.attributes, dest.attributes, owners_kept_) &&
           source.last_write == dest.last_write;
  }
  const TimeStepGauge& seen() const { return seen_; }

 private:
  SyncMode mode_;
  bool owners_kept_;
  TimeStepGauge seen_;
};

// `time_step` is the destination's (see equality.h); `owners_kept` says
// whether a copy keeps its source's owner.
Plan make_plan(const EntryList& source, const EntryList& dest, SyncMode mode,
               std::int64_t time_step, bool owners_kept = true);

// The relative path a copy writes to.
std::string copy_target(const Plan& plan, const Action& action, const EntryList& source);

}  // namespace qmr
