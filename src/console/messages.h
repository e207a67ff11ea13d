// Every text the tool prints of its own, and its exit statuses, in one place.
#pragma once

namespace qmr {

enum ExitStatus : int { kExitOk = 0, kExitRefused = 1, kExitSomeFailed = 2 };

inline constexpr char kBanner[] = "Quenmire. Version " QMR_VERSION "\n";

inline constexpr char kHelpText[] =
    "Use:\n\tQMR /FROM:<directory> /TO:<directory> [parameters]\nParameters:\n"
    "\t/FILES:<file or wildcards> Include files, multiple strings are allowed\n"
    "\t/EX:<file or wildcards>\tExclude files, multiple strings are allowed\n"
    "\t/UPDATE\t\t\tCopies new files, deletes non-existent files\n"
    "\t/COPYONLY\t\tCopies new files only\n"
    "\t/DELONLY\t\tDeletes non-existent files only\n"
    "\t/COPYALL\t\tCopies all files, deletes non-existent files\n"
    "\t/R\t\t\tRecurse subdirectories\n"
    "\t/QUIET\t\t\tQuiet mode\n"
    "\t/H or /?\t\tThis help\n";

inline constexpr char kUnknownRootsMessage[] = "Unknown SOURCE or DESTINATION directory...\n";
inline constexpr char kSourceUnreadableMessage[] = "Cannot read SOURCE directory...\n";
inline constexpr char kNothingSelectedMessage[] =
    "No SOURCE files selected, DESTINATION left unchanged...\n";
inline constexpr char kSameRootsMessage[] = "SOURCE and DESTINATION are the same directory...\n";
inline constexpr char kDestInSourceMessage[] = "DESTINATION directory lies inside SOURCE...\n";
inline constexpr char kSourceInDestMessage[] = "SOURCE directory lies inside DESTINATION...\n";

// On the error stream, for a run refused before it starts.
inline constexpr char kBadThreadsMessage[] = "qmr: /THREADS: takes a number of workers from 1 to 64\n";

// Progress lines: the action, then its outcome.
inline constexpr char kCopyLine[] = "Copy:\t%s...\t";
inline constexpr char kDeleteLine[] = "Delete:\t%s...\t";
inline constexpr char kScanLine[] = "Scan:\t%s...\t";

}  // namespace qmr
