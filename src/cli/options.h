// The settings of one run, read from the command line only. Parsing is a pure
// function of the argument vector: it never prints and never ends the process,
// so every rule of the option table can be tested directly.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qmr {

enum class SyncMode { kUpdate = 0, kCopyAll = 1, kCopyOnly = 2, kDelOnly = 3 };

// Patterns in command-line order.
using PatternList = std::vector<std::string>;

struct RunOptions {
  std::string source_root;
  std::string dest_root;
  PatternList include_patterns;
  PatternList exclude_patterns;
  SyncMode mode = SyncMode::kUpdate;
  bool recurse = false;
  bool quiet = false;
};

struct ParsedCommandLine {
  RunOptions options;
  bool help_requested = false;  // parsing stopped at a help request
};

void append_pattern(PatternList& list, std::string_view text);

// Reads argv[1..argc-1]. Unknown keys and plain arguments are ignored.
ParsedCommandLine parse_arguments(int argc, const char* const* argv);

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

}  // namespace qmr
