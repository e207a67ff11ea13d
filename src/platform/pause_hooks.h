// A seam for the test suites: points where a run can be told to pause, so
// that a test provokes a race at a chosen moment instead of by timing.
//
// With QMR_TEST_PAUSE=<point>:<n> in its environment (points: list, probe,
// remove, stage, chunk, commit), the thread that passes that point for the
// n-th time writes "qmr: paused at <point> <n>" and a line feed to the error
// stream, and waits until a byte or the end arrives on the standard input
// (the byte "i": and then until an interrupt is recorded); every other
// thread goes on. Without the variable each point costs one test
// of a flag. Only the standard library is used, so every platform pauses
// the same way.
//
// Threads: `at` may be called from any number of threads at once.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>

#include "platform/platform.h"

namespace qmr {

enum class PausePoint : std::uint8_t { kList, kProbe, kRemove, kStage, kChunk, kCommit };

class PauseHooks {
 public:
  // Reads QMR_TEST_PAUSE.
  PauseHooks();
  // Armed by hand, as the variable would arm it.
  explicit PauseHooks(std::string_view setting);

  void at(PausePoint point) {
    if (armed_) pass(point);
  }

  // `progress` passing the chunk point between chunks.
  std::function<void(std::uint64_t)> chunks(std::function<void(std::uint64_t)> progress);
  // `staged` passing the commit point before it is put in place.
  void before_commit(std::unique_ptr<StagedCopy>& staged);

 private:
  void pass(PausePoint point);

  bool armed_ = false;
  PausePoint point_ = PausePoint::kList;
  std::uint64_t nth_ = 0;
  std::atomic<std::uint64_t> passed_{0};
};

}  // namespace qmr
