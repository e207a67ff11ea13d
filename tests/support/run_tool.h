// Runs the qmr binary as a user would and collects what it printed. The binary,
// a wrapper (an emulator) and the path spelling come from the environment, so
// the same end-to-end suite drives every build of the tool.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace qmr::test {

struct ToolResult {
  int status = -1;  // exit status, or -1 when the tool did not exit normally
  std::string output;
  std::string errors;  // what it wrote to its error stream
};

struct RunSettings {
  bool unprivileged = false;  // drop root's privileges in the child
  bool terminal = false;      // standard output on a pseudo-terminal
};

ToolResult run_tool(const std::vector<std::string>& args, RunSettings settings = {});

// The tool started with QMR_TEST_PAUSE=`pause`, so that a test acts at the
// moment the run passes a chosen point (see platform/pause_hooks.h) instead
// of guessing it by timing. `in_child` arranges the child's other
// descriptors (its output, say) before it starts.
class PausedRun {
 public:
  PausedRun(const std::vector<std::string>& args, const std::string& pause,
            const std::function<void()>& in_child = [] {});
  ~PausedRun();
  PausedRun(const PausedRun&) = delete;
  PausedRun& operator=(const PausedRun&) = delete;

  // Waits until the run pauses; false when it ended without reaching the point.
  bool paused();
  void signal(int number) const;
  // Lets the run go on, waits for its end and returns its wait status.
  int finish() { return finish('\n'); }
  // The same, the run going on only once it has recorded the interrupt
  // `signal` sent.
  int finish_interrupted() { return finish('i'); }
  // What it wrote to its error stream, the pause line included.
  const std::string& errors() const { return errors_; }

 private:
  int finish(char go);
  void resume(char go);
  pid_t child_ = -1;
  int to_child_ = -1;    // its standard input
  int from_child_ = -1;  // its error stream
  std::string errors_;
  int status_ = -1;
};

// True when the tool under test is the Windows build.
bool windows_tool();
// The tool's spelling of a host path: "/tmp/x" or "Z:\tmp\x".
std::string tool_path(const std::string& host_path);
// The tool's path separator.
char tool_separator();

}  // namespace qmr::test
