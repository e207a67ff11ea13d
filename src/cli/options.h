// Reading the command line into the settings of a run. Parsing is a pure
// function of the argument vector: it never prints and never ends the process,
// so every rule of the option table can be tested directly.
#pragma once

#include <string_view>

#include "sync/options.h"

namespace qmr {

enum class Request { kRun, kHelp, kVersion };

struct ParsedCommandLine {
  RunOptions options;
  Request request = Request::kRun;  // parsing stopped at a help or version request
};

void append_pattern(PatternList& list, std::string_view text);

// The most workers /THREADS: takes.
inline constexpr unsigned kMaxThreads = 64;

// Takes the value of /THREADS: (a count from 1 to kMaxThreads); anything
// else marks the options invalid, so the run is refused rather than guessed.
void set_threads(RunOptions& options, std::string_view value);

// Reads argv[1..argc-1]. Unknown keys and plain arguments are ignored.
ParsedCommandLine parse_arguments(int argc, const char* const* argv);

}  // namespace qmr
