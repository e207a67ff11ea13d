#include "cli/command.h"

#include <cstdio>
#include <cstring>

#include "cli/options.h"
#include "console/console.h"
#include "console/messages.h"
#include "sync/run.h"

namespace qmr {

void print_usage() {
  print_banner(stdout);
  std::fputs(kHelpText, stdout);
  std::fputs(kMoreHelpText, stdout);
}

int run_command_line(int argc, const char* const* argv, FileSystem& fs) {
  if (argc <= 1) {
    print_usage();
    return kExitOk;
  }
  const ParsedCommandLine parsed = parse_arguments(argc, argv);
  // A refusal is told even to a quiet run: nothing happened, and why must show.
  const bool refused = parsed.request == Request::kRun && parsed.refused();
  for (IgnoredArgument ignored : parsed.ignored) {
    ignored.refuses = ignored.refuses && refused;  // help and version change nothing anyway
    if (!parsed.options.quiet || ignored.refuses) std::fputs(ignored_text(ignored).c_str(), stderr);
  }
  if (refused) return kExitRefused;
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
    if (!options.quiet) std::fprintf(stderr, kBadThreadsMessage, kMaxThreads);
    return kExitRefused;
  }
  const Console console({options.quiet, stdout_is_terminal(), true, stderr_is_terminal()});
  int status = kExitRefused;
  if (options.source_root.empty() || options.dest_root.empty()) {
    console.banner();
    console.report("%s", kUnknownRootsMessage);
    if (!options.quiet) std::fputs(kRootsNeededMessage, stderr);
  } else {
    status = run_sync(options, fs, console);
  }
  // A log that could not be written is a failure of the run, told on stderr;
  // a reader that went away has stopped the run already.
  if (const int error = console.output_error(); error != 0 && fs.interrupted() == 0) {
    std::fprintf(stderr, "qmr: cannot write the output: %s\n", std::strerror(error));
    if (status == kExitOk) status = kExitSomeFailed;
  }
  return status;
}

int run_command_line(const std::vector<std::string>& arguments, FileSystem& fs) {
  std::vector<const char*> argv;
  for (const std::string& argument : arguments) argv.push_back(argument.c_str());
  argv.push_back(nullptr);
  return run_command_line(static_cast<int>(arguments.size()), argv.data(), fs);
}

}  // namespace qmr
