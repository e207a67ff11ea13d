// The banner, the per-file progress lines and the reasons for failures. Each
// line is printed in two halves, the action and its outcome: on a terminal the
// first half shows at once, so that a long copy names its file while it runs;
// elsewhere every line is written out as soon as it is complete, so that the
// log of a killed run names every action that finished.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace qmr {

void print_banner(std::FILE* out = stdout);

struct ConsoleSettings {
  bool quiet = false;
  bool interactive = false;  // a terminal: flush each half-line
  bool titles = false;       // set the console window's title
};

class Console {
 public:
  explicit Console(ConsoleSettings settings, std::FILE* out = stdout, std::FILE* err = stderr)
      : settings_(settings), out_(out), err_(err) {}

  bool quiet() const { return settings_.quiet; }

  // Prints `format` with its one "%s" replaced by `text` in the console's code
  // page. The text is never read as a format, so a "%" in a path prints as is.
  void report(std::string_view format, std::string_view text) const;

  // The banner of a run: nothing when quiet.
  void banner() const;

  // Completes a progress line: "Ok." or "Fail." and the line feed.
  void outcome(bool ok) const { finish(ok ? "Ok.\n" : "Fail.\n"); }
  // Completes a progress line of a preview.
  void planned() const { finish("Planned.\n"); }

  // "qmr: cannot <verb> <path>: <reason>" on the error stream.
  void reason(std::string_view verb, std::string_view path, std::string_view why) const;

  // The window title: both roots and the time the run started.
  void title(const std::string& source_root, const std::string& dest_root) const;

 private:
  void finish(std::string_view text) const;

  ConsoleSettings settings_;
  std::FILE* out_;
  std::FILE* err_;
};

}  // namespace qmr
