// One run from accepted options to the exit status: roots closed, title and banner,
// the checks that keep a run from destroying a mirror or a source, both scans,
// the delete pass and the copy pass.
#pragma once

#include "cli/options.h"
#include "console/console.h"
#include "platform/platform.h"

namespace qmr {

enum ExitStatus : int { kExitOk = 0, kExitRefused = 1, kExitSomeFailed = 2 };

inline constexpr char kSourceUnreadableMessage[] = "Cannot read SOURCE directory...\n";
inline constexpr char kNothingSelectedMessage[] =
    "No SOURCE files selected, DESTINATION left unchanged...\n";
inline constexpr char kSameRootsMessage[] = "SOURCE and DESTINATION are the same directory...\n";
inline constexpr char kDestInSourceMessage[] = "DESTINATION directory lies inside SOURCE...\n";
inline constexpr char kSourceInDestMessage[] = "SOURCE directory lies inside DESTINATION...\n";

int run_sync(const RunOptions& options, FileSystem& fs, const Console& console);

}  // namespace qmr
