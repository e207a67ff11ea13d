// Carrying out a plan, or only showing it. The executor reports each action as
// one progress line with its outcome and, for a failure, the reason on the
// error stream; the preview prints the same lines with "Planned." and touches
// nothing.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "console/console.h"
#include "inventory/entry_list.h"
#include "platform/platform.h"
#include "sync/plan.h"
#include "sync/write_access.h"

namespace qmr {

// What a run did, for its summary line.
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

struct ExecuteSettings {
  bool settle_root = false;  // the run made the destination root
  unsigned workers = 1;      // 1: every action on the calling thread, in order
  // The run's access to directories closed to their owner, where it opened
  // some already (the root, for its write probe); else the executor keeps its own.
  WriteAccess* access = nullptr;
};

// The number of workers a run uses when it is not told.
unsigned default_workers();

// Carries out `plan`: the deletions, then the removal of the directories they
// emptied (and of those where a copy must put a file), then the copies, then
// the owner and permission bits of the directories the run made, of those the
// plan lists, of those it opened to write in (see WriteAccess) and, with
// `settle_root`, of the destination root. A directory where a stopped run
// left an action undone keeps the bits the next run needs to write there.
//
// Workers overlap the actions, but the result never depends on their number:
// a copy is written by a worker and put in place by this thread in plan order,
// a deletion runs at most `workers` actions ahead of the last line printed,
// and each line is printed when its action is the oldest one not yet
// reported. So the log of a killed run names every action but the last few,
// and the output is byte for byte that of one worker.
//
// An interrupt stops the run at the next action: actions in flight end or are
// abandoned with their temporaries removed, and every action that took effect
// has its line. Returns what was done; `failed` counts the actions that failed.
RunTotals execute_plan(const Plan& plan, const EntryList& source, const EntryList& dest,
                    FileSystem& fs, const Console& console, ExecuteSettings settings);

// Prints the lines `execute_plan` would print, each ended by "Planned.", and
// returns what the run would do.
RunTotals preview_plan(const Plan& plan, const EntryList& source, const EntryList& dest,
                  const Console& console);

}  // namespace qmr
