// Reading the command line into the settings of a run. Parsing is a pure
// function of the argument vector: it never prints and never ends the process,
// so every rule of the option table can be tested directly.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "sync/options.h"

namespace qmr {

enum class Request { kRun, kHelp, kVersion };

// An argument that parsing ignored, with the option the user probably meant
// (empty when there is no close miss).
struct IgnoredArgument {
  std::string argument;
  std::string hint;
  bool option = true;  // false: a plain argument, not an option at all
};

struct ParsedCommandLine {
  RunOptions options;
  Request request = Request::kRun;  // parsing stopped at a help or version request
  std::vector<IgnoredArgument> ignored;
};

// The stderr line for an ignored argument.
std::string ignored_text(const IgnoredArgument& ignored);

void append_pattern(PatternList& list, std::string_view text);

// The most workers /THREADS: takes.
inline constexpr unsigned kMaxThreads = 64;

// Takes the value of /THREADS: (a count from 1 to kMaxThreads); anything
// else marks the options invalid, so the run is refused rather than guessed.
void set_threads(RunOptions& options, std::string_view value);

// Reads argv[1..argc-1]. Unknown keys and plain arguments are ignored, and
// listed in `ignored`.
ParsedCommandLine parse_arguments(int argc, const char* const* argv);

}  // namespace qmr
