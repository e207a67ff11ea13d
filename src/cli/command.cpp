#include "cli/command.h"

#include <cstdio>

#include "cli/options.h"
#include "console/console.h"
#include "console/messages.h"
#include "sync/run.h"

namespace qmr {

void print_usage() {
  print_banner(stdout);
  std::fputs(kHelpText, stdout);
}

int run_command_line(int argc, const char* const* argv, FileSystem& fs) {
  if (argc <= 1) {
    print_usage();
    return kExitOk;
  }
  const ParsedCommandLine parsed = parse_arguments(argc, argv);
  if (parsed.request == Request::kHelp) {
    print_usage();
    return kExitOk;
  }
  if (parsed.request == Request::kVersion) {
    print_banner(stdout);
    return kExitOk;
  }
  const RunOptions& options = parsed.options;
  const Console console({options.quiet, stdout_is_terminal(), true});
  if (options.source_root.empty() || options.dest_root.empty()) {
    console.banner();
    console.report("%s", kUnknownRootsMessage);
    return kExitRefused;
  }
  return run_sync(options, fs, console);
}

}  // namespace qmr
