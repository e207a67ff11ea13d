// One run from accepted options to the exit status: roots closed, title and
// banner, the checks that keep a run from destroying a mirror or a source, both
// scans, the plan, and its execution or preview.
#pragma once

#include "console/console.h"
#include "platform/platform.h"
#include "sync/options.h"

namespace qmr {

int run_sync(const RunOptions& options, FileSystem& fs, const Console& console);

}  // namespace qmr
