#include "sync/pipeline.h"

#include <algorithm>
#include <atomic>
#include <limits>
#include <thread>

namespace qmr {

OrderedPipeline::OrderedPipeline(PipelineSteps& steps, size_t begin, size_t end, unsigned workers, bool quiet,
                                 std::vector<bool> in_turn)
    : steps_(steps), begin_(begin), end_(end), workers_(workers),
      window_(quiet ? std::numeric_limits<size_t>::max() : workers),
      lookahead_(std::max<size_t>(256, size_t{2} * kLongestUnit * workers)), in_turn_(std::move(in_turn)),
      slots_(std::min(end - begin, lookahead_)), next_(begin), first_undone_(end) {}

size_t OrderedPipeline::run(const std::vector<Unit>& units) {
  {
    std::unique_lock<std::mutex> lock(mutex_);
    drain(lock);
  }
  std::atomic<size_t> next{0};
  auto work = [&] {
    for (size_t u = next.fetch_add(1); u < units.size(); u = next.fetch_add(1)) {
      for (size_t i = units[u].first; i < units[u].second; ++i) prepare(i);
    }
    help_until_done();
  };
  {
    std::vector<std::jthread> pool;
    for (size_t w = 1; w < std::min<size_t>(workers_, units.size()); ++w) pool.emplace_back(work);
    work();
  }
  return finish();
}

void OrderedPipeline::progress(size_t action, std::string_view text) {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (begun_ == action) steps_.show_progress(text);
}

// Stages copy `i` ahead (a deletion needs nothing ahead), then lets whatever
// may take effect do so.
void OrderedPipeline::prepare(size_t i) {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stopping() && i >= next_ + lookahead_) {
    if (!act_in_window(lock)) wait(lock);
  }
  if (in_turn_[i - begin_]) return;     // done whole when it is the oldest
  if (i >= next_ + lookahead_) return;  // stopped before its slot came free
  if (stopping()) {
    slot(i).state = Slot::kSkipped;
    drain(lock);
    return;
  }
  if (steps_.stages(i)) {
    lock.unlock();
    std::unique_ptr<StagedCopy> staged;
    Outcome outcome = steps_.stage(i, staged);
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

// Once out of units to take, lets take effect what may until all is reported.
void OrderedPipeline::help_until_done() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (next_ < end_ && !(stopping() && acting_ == 0)) {
    if (!act_in_window(lock)) wait(lock);
  }
  if (waiting_ > 0) changed_.notify_all();
}

// After a stop, the actions that took effect all the same get their lines;
// the copies staged but never committed are dropped with their temporaries.
size_t OrderedPipeline::finish() {
  std::unique_lock<std::mutex> lock(mutex_);
  // Actions after the oldest one not reported may have taken effect; they
  // count as undone all the same.
  first_undone_ = std::min(first_undone_, next_);
  for (size_t i = next_; i < std::min(end_, next_ + lookahead_); ++i) {
    if (slot(i).state == Slot::kFinal && slot(i).outcome.ok && slot(i).acted) {
      if (begun_ != i) steps_.begin_line(i);
      steps_.report(i, slot(i).outcome);
    } else if (begun_ == i) {
      steps_.stop_line(i);
    }
  }
  slots_.clear();
  return failures_;
}

// Lets the oldest ready action take effect, if one may; false when none may.
// The oldest not reported always may: its line follows at once.
bool OrderedPipeline::act_in_window(std::unique_lock<std::mutex>& lock) {
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

void OrderedPipeline::act(size_t i, std::unique_lock<std::mutex>& lock) {
  Slot& s = slot(i);
  s.state = Slot::kActing;
  ++acting_;
  ++in_effect_;
  std::unique_ptr<StagedCopy> staged = std::move(s.staged);
  Outcome outcome = std::move(s.outcome);
  lock.unlock();
  // A copy whose staging failed has its outcome already.
  if (staged || !steps_.stages(i)) outcome = steps_.take_effect(i, std::move(staged));
  lock.lock();
  --acting_;
  s.outcome = std::move(outcome);
  s.acted = true;
  s.state = Slot::kFinal;
  drain(lock);
}

void OrderedPipeline::do_in_turn(size_t i, std::unique_lock<std::mutex>& lock) {
  Slot& s = slot(i);
  s.state = Slot::kActing;
  ++acting_;
  lock.unlock();
  Outcome outcome = steps_.do_whole(i);
  lock.lock();
  --acting_;
  s.outcome = std::move(outcome);
  s.acted = true;
  s.state = Slot::kFinal;
}

// Prints the lines of the oldest actions that are done, and does the oldest
// itself when it must be done in turn.
void OrderedPipeline::drain(std::unique_lock<std::mutex>& lock) {
  const size_t before = next_;
  while (next_ < end_) {
    Slot& s = slot(next_);
    if (in_turn_[next_ - begin_] && s.state == Slot::kPending && !stopping()) do_in_turn(next_, lock);
    if (s.state != Slot::kFinal && s.state != Slot::kSkipped) break;
    if (s.acted && !in_turn_[next_ - begin_]) --in_effect_;
    if (s.state == Slot::kFinal && !(stopping() && !s.outcome.ok)) {
      if (begun_ != next_) steps_.begin_line(next_);
      if (!steps_.report(next_, s.outcome)) ++failures_;
    } else {
      first_undone_ = std::min(first_undone_, next_);
      if (begun_ == next_) steps_.stop_line(next_);
    }
    s = Slot{};  // free for the action a window later
    ++next_;
  }
  // On a terminal the oldest pending action names its file while it runs.
  if (next_ < end_ && begun_ != next_ && !stopping()) {
    steps_.begin_line(next_);
    begun_ = next_;
  }
  if (next_ != before && waiting_ > 0) changed_.notify_all();
}

void OrderedPipeline::wait(std::unique_lock<std::mutex>& lock) {
  ++waiting_;
  changed_.wait(lock);
  --waiting_;
}

}  // namespace qmr
