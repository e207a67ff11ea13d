// Carrying out a plan, or only showing it. The executor reports each action as
// one progress line with its outcome and, for a failure, the reason on the
// error stream. A preview is the same executor over a file system that
// changes nothing (see dry_run.h), so its lines and counts are a real run's
// by construction, each ended by "Planned.".
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "console/console.h"
#include "inventory/entry_list.h"
#include "platform/platform.h"
#include "sync/plan.h"
#include "sync/totals.h"
#include "sync/write_access.h"

namespace qmr {

struct ExecuteSettings {
  bool settle_root = false;  // the run made the destination root
  unsigned workers = 1;      // 1: every action on the calling thread, in order
  // The run's access to directories closed to their owner, where it opened
  // some already (the root, for its write probe); else the executor keeps its own.
  WriteAccess* access = nullptr;
  bool preview = false;  // lines end with "Planned." instead of "Ok."
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
// Workers overlap the actions through an ordered pipeline (see pipeline.h),
// but the result never depends on their number: every line is printed in
// plan order, and no action takes effect more than `workers` actions ahead of
// the last line printed. So the log of a killed run names every action but
// the last few, and the output is byte for byte that of one worker.
//
// An interrupt stops the run at the next action: actions in flight end or are
// abandoned with their temporaries removed, and every action that took effect
// has its line. Returns what was done; `failed` counts the actions that failed.
RunTotals execute_plan(const Plan& plan, const EntryList& source, const EntryList& dest,
                    FileSystem& fs, const Console& console, ExecuteSettings settings);

// Prints the lines `execute_plan` would print, each ended by "Planned.", and
// returns what the run would do: the executor over a DryRunFileSystem.
RunTotals preview_plan(const Plan& plan, const EntryList& source, const EntryList& dest, FileSystem& fs,
                       const Console& console);

}  // namespace qmr
