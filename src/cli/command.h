// The command line as a whole: help, version, validation of the roots, then the run.
#pragma once

#include <string>
#include <vector>

#include "platform/platform.h"

namespace qmr {

// Everything `main` does; returns the process's exit status.
int run_command_line(int argc, const char* const* argv, FileSystem& fs);
int run_command_line(const std::vector<std::string>& arguments, FileSystem& fs);

}  // namespace qmr
