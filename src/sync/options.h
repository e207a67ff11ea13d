// The settings of one run: the roots, the selection, the mode and the switches.
// Filled once from the command line and read-only afterwards.
#pragma once

#include <string>

#include "inventory/pattern.h"

namespace qmr {

// The most workers a run takes (/THREADS:); the fewest is 1.
inline constexpr unsigned kMaxThreads = 64;

enum class SyncMode { kUpdate = 0, kCopyAll = 1, kCopyOnly = 2, kDelOnly = 3 };

struct RunOptions {
  std::string source_root;
  std::string dest_root;
  PatternList include_patterns;
  PatternList exclude_patterns;
  PatternList exclude_directories;  // directory names never entered, on either side
  SyncMode mode = SyncMode::kUpdate;
  bool recurse = false;
  bool quiet = false;
  bool list_only = false;  // report the plan, change nothing
  bool stats = false;      // end with a summary line, terminal or not
  // Workers that carry out the plan; 0 lets the run choose, 1 runs every
  // action on the main thread, one after another.
  unsigned threads = 0;
  bool threads_invalid = false;  // a /THREADS: value that is not a worker count
};

}  // namespace qmr
