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
  if (options.threads_invalid) {
    if (!options.quiet) std::fputs(kBadThreadsMessage, stderr);
    return kExitRefused;
  }
  const Console console({options.quiet, stdout_is_terminal(), true});
  if (options.source_root.empty() || options.dest_root.empty()) {
    console.banner();
    console.report("%s", kUnknownRootsMessage);
    return kExitRefused;
  }
  return run_sync(options, fs, console);
}

int run_command_line(const std::vector<std::string>& arguments, FileSystem& fs) {
  std::vector<const char*> argv;
  for (const std::string& argument : arguments) argv.push_back(argument.c_str());
  argv.push_back(nullptr);
  return run_command_line(static_cast<int>(arguments.size()), argv.data(), fs);
}

}  // namespace qmr
