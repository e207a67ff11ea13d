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

// Carries out `plan` in order, then settles the owner and permission bits of
// the directories it made and of those the plan lists; `settle_root` adds the
// destination root. Returns the number of actions that failed.
size_t execute_plan(const Plan& plan, const EntryList& source, const EntryList& dest,
                    FileSystem& fs, const Console& console, bool settle_root);

// Prints the lines `execute_plan` would print, each ended by "Planned.".
void preview_plan(const Plan& plan, const EntryList& source, const EntryList& dest,
                  const Console& console);

}  // namespace qmr
