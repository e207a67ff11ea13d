// What a run did, counted as its actions take effect, and the summary line
// that reports it.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "inventory/entry_list.h"
#include "sync/plan.h"

namespace qmr {

struct RunTotals {
  std::uint64_t copied = 0;
  std::uint64_t copied_bytes = 0;  // the copied files' sizes
  std::uint64_t deleted = 0;
  std::uint64_t failed = 0;
  std::uint64_t unchanged = 0;   // paired files left alone
  std::uint64_t attributes = 0;  // files and directories given the source's attributes
  std::uint64_t renamed = 0;     // case-only renames
  std::uint64_t linked = 0;      // extra names of hard-linked files
  std::uint64_t not_kept = 0;    // what the destination or the user's rights cannot hold
};

// "Summary: C copied (B bytes), D deleted, F failed, U unchanged, A
// attributes[, R renamed][, L linked][, K not kept][, stopped by signal N],
// T s": a field in brackets only when it is not zero; counts and bytes as
// plain integers, the time in seconds.
std::string summary_line(const RunTotals& totals, int stop_signal, std::chrono::steady_clock::duration elapsed);

// Counts an action that took effect (or would) in `totals`.
void count_action(RunTotals& totals, const Action& action, const EntryList& source);

}  // namespace qmr
