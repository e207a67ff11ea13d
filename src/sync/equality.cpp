#include "sync/equality.h"

namespace qmr {

namespace {

constexpr std::int64_t kSecond = 1'000'000'000;

bool is_multiple(FileTime t, std::int64_t step) {
  if (step < kSecond) return t.nanoseconds % step == 0;
  const std::int64_t seconds = step / kSecond;
  return t.nanoseconds == 0 && ((t.seconds % seconds) + seconds) % seconds == 0;
}

FileTime round_down(FileTime t, std::int64_t step) {
  if (step < kSecond) return {t.seconds, static_cast<std::uint32_t>(t.nanoseconds - t.nanoseconds % step)};
  const std::int64_t seconds = step / kSecond;
  return {t.seconds - ((t.seconds % seconds) + seconds) % seconds, 0};
}

FileTime round_up(FileTime t, std::int64_t step) {
  const FileTime down = round_down(t, step);
  if (down == t) return t;
  if (step >= kSecond) return {down.seconds + step / kSecond, 0};
  const std::int64_t ns = down.nanoseconds + step;
  if (ns >= kSecond) return {down.seconds + 1, static_cast<std::uint32_t>(ns - kSecond)};
  return {down.seconds, static_cast<std::uint32_t>(ns)};
}

}  // namespace

void TimeStepGauge::narrow(FileTime t) {
  while (coarsest_ > 0 && !is_multiple(t, kTimeSteps[coarsest_])) --coarsest_;
}

std::int64_t time_step(const EntryList& dest, TimeStepGauge seen) {
  seen.narrow(dest.root_time);
  for (const FileEntry& e : dest) {
    if (seen.step() == 1) break;
    seen.narrow(dest.last_write(e));
  }
  return seen.step();
}

bool same_time(FileTime dest, FileTime source, std::int64_t step) {
  if (dest == source) return true;
  for (const std::int64_t s : kTimeSteps) {
    if (s > step) break;
    if (s > 1 && (dest == round_down(source, s) || dest == round_up(source, s))) return true;
  }
  return false;
}

bool attributes_differ(const Attributes& from, const Attributes& to, bool owners_kept) {
  if (owners_kept) return from != to;
  return ((from.mode & ~07777u) | kept_mode(from, to.owner, to.group)) != to.mode;
}

PairNeed pair_need(SyncMode mode, bool equal, bool files, const Attributes& from, const Attributes& to,
                   bool owners_kept) {
  if (mode == SyncMode::kDelOnly) return PairNeed::kNothing;
  if (!equal || mode == SyncMode::kCopyAll) return PairNeed::kCopy;
  return files && attributes_differ(from, to, owners_kept) ? PairNeed::kAttributes : PairNeed::kNothing;
}

}  // namespace qmr
