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

// The further options, one line each, and the exit statuses: printed
// after the help text.
inline constexpr char kMoreHelpText[] =
    "\t/LISTONLY\t\tList what would be done, change nothing\n"
    "\t/THREADS:<n>\t\tCopy and delete with n workers (1 to 64)\n"
    "\t/EXDIR:<wildcards>\tExclude directories, multiple strings are allowed\n"
    "\t/STATS\t\t\tEnd with a summary line\n"
    "\t--version\t\tPrint the version\n"
    "Exit status: 0 done, 1 refused (nothing changed), 2 some action or scan failed,"
    " 128+n stopped by signal n (130: Ctrl+C)\n";

inline constexpr char kUnknownRootsMessage[] = "Unknown SOURCE or DESTINATION directory...\n";
inline constexpr char kSourceUnreadableMessage[] = "Cannot read SOURCE directory...\n";
inline constexpr char kNothingSelectedMessage[] =
    "No SOURCE files selected, DESTINATION left unchanged...\n";
inline constexpr char kSameRootsMessage[] = "SOURCE and DESTINATION are the same directory...\n";
inline constexpr char kDestInSourceMessage[] = "DESTINATION directory lies inside SOURCE...\n";
inline constexpr char kSourceInDestMessage[] = "SOURCE directory lies inside DESTINATION...\n";

// On the error stream, for a run refused before it starts.
inline constexpr char kRootsNeededMessage[] = "qmr: a run needs both /FROM:<directory> and /TO:<directory>\n";
inline constexpr char kBadThreadsMessage[] = "qmr: /THREADS: takes a number of workers from 1 to %u\n";

// Progress lines: the action, then its outcome. A content copy names the
// source; every other action names the destination, a rename in its new
// spelling. Directory times, directories made for copies and emptied
// directories removed have no line.
inline constexpr char kCopyLine[] = "Copy:\t%s...\t";
inline constexpr char kDeleteLine[] = "Delete:\t%s...\t";
inline constexpr char kRenameLine[] = "Rename:\t%s...\t";  // a case-only rename
inline constexpr char kAttribLine[] = "Attrib:\t%s...\t";  // attributes alone
inline constexpr char kLinkLine[] = "Link:\t%s...\t";      // another name of a hard-linked file
inline constexpr char kScanLine[] = "Scan:\t%s...\t";
inline constexpr char kOkOutcome[] = "Ok.\n";
inline constexpr char kFailOutcome[] = "Fail.\n";        // the reason follows on stderr
inline constexpr char kPlannedOutcome[] = "Planned.\n";  // a preview
inline constexpr char kStoppedOutcome[] = "Stopped.\n";  // the run was stopped during it

// A "not kept" note on stderr: something the destination or the user's
// rights cannot hold, "<path>: <what>". One line a path and run, at most
// kNotKeptShown of a kind, then one line with the count of the rest. Not a
// failure.
inline constexpr char kNotKeptNote[] = "qmr: not kept: ";
inline constexpr char kNotKeptMore[] = "qmr: not kept: and %s more\n";
inline constexpr unsigned kNotKeptShown = 10;

}  // namespace qmr
