// Runs the qmr binary as a user would and collects what it printed. The binary,
// a wrapper (an emulator) and the path spelling come from the environment, so
// the same end-to-end suite drives every build of the tool.
#pragma once

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

// True when the tool under test is the Windows build.
bool windows_tool();
// The tool's spelling of a host path: "/tmp/x" or "Z:\tmp\x".
std::string tool_path(const std::string& host_path);
// The tool's path separator.
char tool_separator();

}  // namespace qmr::test
