// How the copies of a plan are shared out among workers: in runs of one
// directory, so that they create files in different directories instead of
// queueing on one directory's lock; and which copies must wait for every
// earlier one to be done. Pure: it reads the plan and the source list only.
#pragma once

#include <cstddef>
#include <vector>

#include "inventory/entry_list.h"
#include "sync/pipeline.h"
#include "sync/plan.h"

namespace qmr {

// The copies among actions [begin, end) that must wait for every earlier
// one: those below a directory whose name, ASCII case ignored, an earlier
// copy's target takes. Where the destination ignores case, that copy decides
// whether the directory can be made at all, as it does for one worker.
std::vector<bool> copies_in_turn(const Plan& plan, const EntryList& source, size_t begin, size_t end,
                                 char separator);

// The runs of copies in one directory among [begin, end) that a worker takes
// whole, each at most OrderedPipeline::kLongestUnit long, so that a tree of
// one large directory still keeps every worker busy. Copies done in turn
// are left out.
std::vector<OrderedPipeline::Unit> directory_runs(const Plan& plan, const EntryList& source, size_t begin,
                                                  size_t end, const std::vector<bool>& in_turn);

}  // namespace qmr
