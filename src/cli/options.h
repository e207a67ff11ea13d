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

// An argument that parsing did not take, with the option the user probably
// meant (empty when there is no close miss).
struct IgnoredArgument {
  std::string argument;
  std::string hint;
  bool option = true;  // false: a plain argument, not an option at all
  // Ignoring it could change what the user asked to keep: a preview request,
  // an unknown "--" option, a protective keyword misspelt. The run is refused.
  bool refuses = false;
};

struct ParsedCommandLine {
  RunOptions options;
  Request request = Request::kRun;  // parsing stopped at a help or version request
  std::vector<IgnoredArgument> ignored;
  bool refused() const;
};

// The stderr line for an argument that was ignored, or that refuses the run.
std::string ignored_text(const IgnoredArgument& ignored);

// True when `a` and `b` are one typo apart, ASCII case ignored: a letter
// added, dropped or changed, or two neighbours swapped.
bool one_typo_apart(std::string_view a, std::string_view b);

void append_pattern(PatternList& list, std::string_view text);

// Takes the value of /THREADS: (a count from 1 to kMaxThreads); anything
// else marks the options invalid, so the run is refused rather than guessed.
void set_threads(RunOptions& options, std::string_view value);

// Reads argv[1..argc-1]. Unknown keys and plain arguments are listed in
// `ignored`, those that must not be ignored marked as refusing the run.
ParsedCommandLine parse_arguments(int argc, const char* const* argv);

}  // namespace qmr
