// The ordered pipeline: lines in plan order whatever the workers, no more
// than `workers` actions in effect ahead of the log, in-turn actions only
// as the oldest, and a stop that commits nothing more.
#include "sync/pipeline.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>
#include <vector>

namespace qmr {
namespace {

class Steps final : public PipelineSteps {
 public:
  explicit Steps(size_t actions, size_t stop_after = static_cast<size_t>(-1)) : stop_after_(stop_after) {
    effected_.resize(actions, false);
  }

  class Staged final : public StagedCopy {
   public:
    Staged(Steps& steps, size_t i) : steps_(steps), i_(i) {}
    ~Staged() override { ++steps_.dropped_or_committed_; }
    Outcome commit() override { return steps_.take(i_); }

   private:
    Steps& steps_;
    size_t i_;
  };

  bool stages(size_t i) const override { return i % 3 != 2; }  // every third is a deletion
  Outcome stage(size_t i, std::unique_ptr<StagedCopy>& staged) override {
    ++staged_;
    staged = std::make_unique<Staged>(*this, i);
    return Outcome::success();
  }
  Outcome take_effect(size_t i, std::unique_ptr<StagedCopy> staged) override {
    return staged ? staged->commit() : take(i);
  }
  Outcome do_whole(size_t i) override {
    const std::lock_guard<std::mutex> lock(mutex_);
    // Done whole only as the oldest action not reported.
    if (i != log_.size()) whole_out_of_turn_ = true;
    effected_[i] = true;
    return Outcome::success();
  }
  void begin_line(size_t) override {}
  bool report(size_t i, const Outcome& outcome) override {
    const std::lock_guard<std::mutex> lock(mutex_);
    log_.push_back(i);
    if (!outcome.ok) return false;
    if (log_.size() == stop_after_) stopped_ = true;
    return i % 7 != 0;  // some fail
  }
  void stop_line(size_t) override {}
  void show_progress(std::string_view) override {}
  bool stopping() const override { return stopped_.load(); }

  Outcome take(size_t i) {
    const std::lock_guard<std::mutex> lock(mutex_);
    effected_[i] = true;
    size_t ahead = 0;
    for (size_t j = log_.size(); j < effected_.size(); ++j) ahead += effected_[j];
    most_ahead_ = std::max(most_ahead_, ahead);
    return Outcome::success();
  }

  std::mutex mutex_;
  std::vector<size_t> log_;
  std::vector<bool> effected_;
  size_t most_ahead_ = 0;
  bool whole_out_of_turn_ = false;
  std::atomic<size_t> staged_{0};
  std::atomic<size_t> dropped_or_committed_{0};
  const size_t stop_after_;
  std::atomic<bool> stopped_{false};
};

std::vector<OrderedPipeline::Unit> units_of(size_t actions, std::uint32_t length) {
  std::vector<OrderedPipeline::Unit> units;
  for (std::uint32_t i = 0; i < actions; i += length) {
    units.emplace_back(i, std::min<std::uint32_t>(i + length, static_cast<std::uint32_t>(actions)));
  }
  return units;
}

TEST(OrderedPipeline, ReportsInPlanOrderWithinTheWindowForAnyNumberOfWorkers) {
  constexpr size_t kActions = 2000;
  for (const unsigned workers : {1u, 2u, 5u, 16u}) {
    for (int round = 0; round < 5; ++round) {
      Steps steps(kActions);
      std::vector<bool> in_turn(kActions, false);
      for (size_t i = 50; i < kActions; i += 400) in_turn[i] = true;
      OrderedPipeline pipeline(steps, 0, kActions, workers, false, in_turn);
      std::vector<OrderedPipeline::Unit> units;
      for (const auto& unit : units_of(kActions, 13)) {
        for (std::uint32_t i = unit.first; i < unit.second; ++i) {
          if (!in_turn[i]) units.emplace_back(i, i + 1);
        }
      }
      const size_t failures = pipeline.run(units);
      ASSERT_EQ(steps.log_.size(), kActions);
      for (size_t i = 0; i < kActions; ++i) ASSERT_EQ(steps.log_[i], i) << workers << " workers";
      EXPECT_EQ(failures, (kActions + 6) / 7);
      EXPECT_LE(steps.most_ahead_, workers);
      EXPECT_FALSE(steps.whole_out_of_turn_);
      EXPECT_EQ(pipeline.first_undone(), kActions);
    }
  }
}

TEST(OrderedPipeline, AStopCommitsNothingMoreAndDropsWhatWasStaged) {
  constexpr size_t kActions = 3000;
  for (const unsigned workers : {2u, 8u}) {
    Steps steps(kActions, 100);
    OrderedPipeline pipeline(steps, 0, kActions, workers, false, std::vector<bool>(kActions, false));
    pipeline.run(units_of(kActions, 64));
    // Only what was in flight at the stop took effect after it, and every
    // action that took effect has its line.
    const auto effected = static_cast<size_t>(std::count(steps.effected_.begin(), steps.effected_.end(), true));
    EXPECT_LE(effected, 100 + workers);
    EXPECT_LE(pipeline.first_undone(), 100 + workers);
    for (size_t i = 0; i < kActions; ++i) {
      if (!steps.effected_[i]) continue;
      EXPECT_NE(std::find(steps.log_.begin(), steps.log_.end(), i), steps.log_.end()) << i;
    }
    EXPECT_EQ(steps.staged_.load(), steps.dropped_or_committed_.load());
  }
}

}  // namespace
}  // namespace qmr
