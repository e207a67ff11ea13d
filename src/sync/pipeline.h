// The ordered pipeline: several workers carry out a stretch of a plan's
// actions while the log reads as if one thread had done them in plan order.
//
// What it guarantees, and who does what:
// - Each action's line is begun and ended in plan order, under the
//   pipeline's lock, by whichever thread finishes the oldest action not yet
//   reported; no thread waits on another to print.
// - A copy is staged (written under its temporary name) ahead by any worker,
//   without the lock. It takes effect (is committed; a deletion is carried
//   out) on any worker, out of plan order, but only while fewer than
//   `workers` actions have taken effect without their line, or when it is
//   the oldest one not reported. A quiet run has no log to keep up with and
//   no such bound.
// - An action marked "in turn" is done whole, staging included, only once it
//   is the oldest not reported; one such action runs at a time.
// - So a killed run may have up to `workers` actions in effect that its log
//   does not name; an interrupt (the steps' `stopping`) lets no further
//   action take effect, and `finish` prints the lines of those that did and
//   drops the staged copies never committed, which removes their temporaries.
//
// `run` may be called once, from one thread; `progress` from any worker
// while it runs. The steps are called from every worker at once, except the
// line calls (`begin_line`, `report`, `stop_line`, `progress`), which the
// lock keeps to one thread at a time.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <queue>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/platform.h"

namespace qmr {

// What the pipeline asks of the executor, by action number.
class PipelineSteps {
 public:
  virtual ~PipelineSteps() = default;
  // True when the action is a copy, which is staged ahead.
  virtual bool stages(size_t action) const = 0;
  // Writes the copy ahead; a failure here is the action's outcome.
  virtual Outcome stage(size_t action, std::unique_ptr<StagedCopy>& staged) = 0;
  // Makes the action take effect: commits `staged`, or carries out a deletion.
  virtual Outcome take_effect(size_t action, std::unique_ptr<StagedCopy> staged) = 0;
  // Does an action marked in turn, whole.
  virtual Outcome do_whole(size_t action) = 0;
  virtual void begin_line(size_t action) = 0;
  // Ends the line with the outcome; false for a failure.
  virtual bool report(size_t action, const Outcome& outcome) = 0;
  // Ends the begun line of an action a stop abandoned.
  virtual void stop_line(size_t action) = 0;
  // Shows how far the action whose line is begun has come.
  virtual void show_progress(std::string_view text) = 0;
  virtual bool stopping() const = 0;
};

class OrderedPipeline {
 public:
  // Actions [first, second) that one worker takes in a row; a plan numbers
  // its actions in 32 bits, as it does its entries.
  using Unit = std::pair<std::uint32_t, std::uint32_t>;
  // The most actions a unit holds: copies are staged that far ahead of the
  // oldest unreported action for each worker, twice over.
  static constexpr size_t kLongestUnit = 64;

  // The actions [begin, end); `in_turn` has a flag for each.
  OrderedPipeline(PipelineSteps& steps, size_t begin, size_t end, unsigned workers, bool quiet,
                  std::vector<bool> in_turn);
  OrderedPipeline(const OrderedPipeline&) = delete;
  OrderedPipeline& operator=(const OrderedPipeline&) = delete;

  // Carries out the units, in order of their start, on up to `workers`
  // threads (the calling one included), until each action is reported or a
  // stop; then ends the lines as `finish` says. Returns the failures.
  size_t run(const std::vector<Unit>& units);

  // The first action a stop left undone (skipped, abandoned, or never
  // reached); the end when every action was carried out.
  size_t first_undone() const { return first_undone_; }

  // Shows `text` on the line of `action`, if that line is the one begun.
  void progress(size_t action, std::string_view text);

 private:
  struct Slot {
    enum State : std::uint8_t { kPending, kReady, kActing, kFinal, kSkipped };
    State state = kPending;
    bool acted = false;  // took effect, or was tried
    Outcome outcome;
    std::unique_ptr<StagedCopy> staged;
  };

  void prepare(size_t i);
  void help_until_done();
  size_t finish();
  Slot& slot(size_t i) { return slots_[(i - begin_) % slots_.size()]; }
  bool stopping() const { return steps_.stopping(); }
  bool act_in_window(std::unique_lock<std::mutex>& lock);
  void act(size_t i, std::unique_lock<std::mutex>& lock);
  void do_in_turn(size_t i, std::unique_lock<std::mutex>& lock);
  void drain(std::unique_lock<std::mutex>& lock);
  void wait(std::unique_lock<std::mutex>& lock);

  PipelineSteps& steps_;
  const size_t begin_, end_, workers_, window_, lookahead_;
  const std::vector<bool> in_turn_;
  std::mutex mutex_;  // also keeps the console to one thread at a time
  std::condition_variable changed_;
  // Only the actions of the window from the oldest unreported one have a
  // slot: memory does not grow with the plan.
  std::vector<Slot> slots_;
  size_t next_;                               // the oldest action not reported
  size_t begun_ = static_cast<size_t>(-1);    // the action whose line is begun
  size_t acting_ = 0;
  size_t in_effect_ = 0;  // actions that took effect (or are taking it) without their line
  size_t waiting_ = 0;
  std::priority_queue<size_t, std::vector<size_t>, std::greater<>> ready_;
  size_t failures_ = 0;
  size_t first_undone_;
};

}  // namespace qmr
