#include "cli/command.h"

#include <cstdio>
#include <cstring>

#include "cli/options.h"
#include "console/console.h"
#include "console/messages.h"
#include "sync/run.h"

namespace qmr {

namespace {

// The banner and the help text; help is printed even when quiet.
void print_usage(const Console& console) {
  console.text(kBanner);
  console.text(kHelpText);
  console.text(kMoreHelpText);
}

// Refused before the run: a worker count out of bounds, or a root missing.
int refuse_options(const RunOptions& options, const Console& console) {
  if (options.threads_invalid) {
    std::string line(128, '\0');
    line.resize(static_cast<size_t>(std::snprintf(line.data(), line.size(), kBadThreadsMessage, kMaxThreads)));
    console.note(line);
    return kExitRefused;
  }
  console.banner();
  console.report("%s", kUnknownRootsMessage);
  console.note(kRootsNeededMessage);
  return kExitRefused;
}

}  // namespace

int run_command_line(int argc, const char* const* argv, FileSystem& fs) {
  const Console plain({false, false, false, false});
  if (argc <= 1) {
    print_usage(plain);
    return kExitOk;
  }
  const ParsedCommandLine parsed = parse_arguments(argc, argv);
  const RunOptions& options = parsed.options;
  const Console console({options.quiet, stdout_is_terminal(), true, stderr_is_terminal()});
  // A refusal is told even to a quiet run: nothing happened, and why must show.
  const bool refused = parsed.request == Request::kRun && parsed.refused();
  for (IgnoredArgument ignored : parsed.ignored) {
    ignored.refuses = ignored.refuses && refused;  // help and version change nothing anyway
    console.note(ignored_text(ignored), ignored.refuses);
  }
  if (refused) return kExitRefused;
  if (parsed.request == Request::kHelp) {
    print_usage(plain);
    return kExitOk;
  }
  if (parsed.request == Request::kVersion) {
    plain.text(kBanner);
    return kExitOk;
  }
  const bool roots_given = !options.source_root.empty() && !options.dest_root.empty();
  int status = options.threads_invalid || !roots_given ? refuse_options(options, console)
                                                       : run_sync(options, fs, console);
  // A log that could not be written is a failure of the run, told on stderr;
  // a reader that went away has stopped the run already.
  if (const int error = console.output_error(); error != 0 && fs.interrupted() == 0) {
    console.note(std::string("qmr: cannot write the output: ") + std::strerror(error) + "\n", true);
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
