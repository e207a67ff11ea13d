// Carrying out a plan, or only showing it. The executor reports each action as
// one progress line with its outcome and, for a failure, the reason on the
// error stream; the preview prints the same lines with "Planned." and touches
// nothing.
#pragma once

#include <cstddef>

#include "console/console.h"
#include "inventory/entry_list.h"
#include "platform/platform.h"
#include "sync/plan.h"

namespace qmr {

struct ExecuteSettings {
  bool settle_root = false;  // the run made the destination root
  unsigned workers = 1;      // 1: every action on the calling thread, in order
};

// The number of workers a run uses when it is not told.
unsigned default_workers();

// Carries out `plan`, then settles the owner and permission bits of the
// directories it made and of those the plan lists (and of the destination
// root, with `settle_root`). Deletions all end before the first copy starts.
// With several workers the actions overlap, but each line is printed when its
// action is the oldest one not yet reported, so the output is byte for byte
// that of one worker. Returns the number of actions that failed.
size_t execute_plan(const Plan& plan, const EntryList& source, const EntryList& dest,
                    FileSystem& fs, const Console& console, ExecuteSettings settings);

// Prints the lines `execute_plan` would print, each ended by "Planned.".
void preview_plan(const Plan& plan, const EntryList& source, const EntryList& dest,
                  const Console& console);

}  // namespace qmr
