#include "platform/pause_hooks.h"

#include <array>
#include <chrono>
#include <thread>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>

namespace qmr {

namespace {

constexpr std::array<std::string_view, 6> kPointNames = {"list", "probe", "remove", "stage", "chunk", "commit"};

class PausingCopy final : public StagedCopy {
 public:
  PausingCopy(PauseHooks& hooks, std::unique_ptr<StagedCopy> inner) : hooks_(hooks), inner_(std::move(inner)) {}
  Outcome commit() override {
    hooks_.at(PausePoint::kCommit);
    return inner_->commit();
  }

 private:
  PauseHooks& hooks_;
  std::unique_ptr<StagedCopy> inner_;
};

const char* setting_of_environment() {
  const char* setting = std::getenv("QMR_TEST_PAUSE");
  return setting == nullptr ? "" : setting;
}

}  // namespace

PauseHooks::PauseHooks() : PauseHooks(setting_of_environment()) {}

PauseHooks::PauseHooks(std::string_view setting) {
  const size_t colon = setting.find(':');
  if (colon == std::string_view::npos) return;
  const std::string_view name = setting.substr(0, colon);
  std::uint64_t n = 0;
  for (const char c : setting.substr(colon + 1)) {
    if (c < '0' || c > '9') return;
    n = n * 10 + static_cast<std::uint64_t>(c - '0');
  }
  for (size_t i = 0; i < kPointNames.size(); ++i) {
    if (kPointNames[i] != name || n == 0) continue;
    point_ = static_cast<PausePoint>(i);
    nth_ = n;
    armed_ = true;
  }
}

void PauseHooks::pass(PausePoint point) {
  if (point != point_ || passed_.fetch_add(1) + 1 != nth_) return;
  const std::string said = "qmr: paused at " + std::string(kPointNames[static_cast<size_t>(point)]) + " " +
                           std::to_string(nth_) + "\n";
  std::fputs(said.c_str(), stderr);
  std::fflush(stderr);
  // "i": go on once the interrupt the test sent is recorded, which some
  // systems deliver from another thread, a moment later.
  if (std::fgetc(stdin) != 'i') return;
  for (int waited = 0; pending_interrupt() == 0 && waited < 30000; ++waited) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

std::function<void(std::uint64_t)> PauseHooks::chunks(std::function<void(std::uint64_t)> progress) {
  if (!armed_ || point_ != PausePoint::kChunk) return progress;
  return [this, progress = std::move(progress)](std::uint64_t done) {
    at(PausePoint::kChunk);
    if (progress) progress(done);
  };
}

void PauseHooks::before_commit(std::unique_ptr<StagedCopy>& staged) {
  if (armed_ && point_ == PausePoint::kCommit && staged) staged = std::make_unique<PausingCopy>(*this, std::move(staged));
}

}  // namespace qmr
