// The banner, the per-file progress lines and the reasons for failures. Each
// line is printed in two halves, the action and its outcome: on a terminal the
// first half shows at once, so that a long copy names its file while it runs;
// elsewhere every line is written out whole as soon as it is complete, so that
// the log of a killed run names every action that finished.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

#include "console/messages.h"

namespace qmr {

void print_banner(std::FILE* out = stdout);

// `text` as a terminal should show it: control characters (C0, DEL and C1)
// become "?", so that a crafted name can neither move the cursor, clear the
// screen, set the title nor forge a line. Other bytes stay as they are.
std::string terminal_safe(std::string_view text);

struct ConsoleSettings {
  bool quiet = false;
  bool interactive = false;         // stdout is a terminal: show each half-line
  bool titles = false;              // set the console window's title
  bool errors_interactive = false;  // stderr is a terminal
};

// The one way out for what the program prints: progress lines, reasons,
// notes and its own texts on the output and error streams.
// Used by the thread that reports; not shared between threads.
class Console {
 public:
  explicit Console(ConsoleSettings settings, std::FILE* out = stdout, std::FILE* err = stderr)
      : settings_(settings), out_(out), err_(err) {}

  bool quiet() const { return settings_.quiet; }
  bool interactive() const { return settings_.interactive; }

  // Prints `format` with its one "%s" replaced by `text` in the console's code
  // page. The text is never read as a format, so a "%" in a path prints as is.
  void report(std::string_view format, std::string_view text) const;

  // Begins a progress line as `report` would print it; `outcome`, `planned`
  // or `stopped` ends it.
  void begin(std::string_view format, std::string_view text) const;

  // The banner of a run: nothing when quiet.
  void banner() const;

  // Completes a progress line: "Ok." or "Fail." and the line feed.
  void outcome(bool ok) const { finish(ok ? kOkOutcome : kFailOutcome); }
  // Completes a progress line of a preview.
  void planned() const { finish(kPlannedOutcome); }
  // Completes the line of an action a stop abandoned: "Stopped.".
  void stopped() const { finish(kStoppedOutcome); }
  // On a terminal, shows `text` after the begun half-line in place of what
  // the last call showed; the outcome replaces it. Nothing elsewhere.
  void progress(std::string_view text) const;

  // "qmr: cannot <verb> <path>: <reason>" on the error stream.
  void reason(std::string_view verb, std::string_view path, std::string_view why) const;

  // A whole line of the program's own on the error stream (a warning, a
  // refusal before the run): nothing when quiet, unless `even_quiet`.
  void note(std::string_view line, bool even_quiet = false) const;

  // Text that is the program's own (the help, the banner of a version
  // request) on the output stream, quiet or not.
  void text(std::string_view text) const;

  // A path as every line shows it: the one place where names are rendered
  // for the output and error streams.
  std::string path_text(std::string_view path, bool terminal) const { return shown(path, terminal); }

  // The window title: both roots and the time the run started.
  void title(const std::string& source_root, const std::string& dest_root) const;

  // Flushes the output; the system's error number of the first write to it
  // that failed (a full disk, a closed pipe), or 0.
  int output_error() const;

 private:
  void finish(std::string_view text) const;
  void erase_progress() const;
  void write(std::string_view text) const;
  std::string shown(std::string_view text, bool terminal) const;
  std::string expand(std::string_view format, std::string_view text) const;

  ConsoleSettings settings_;
  std::FILE* out_;
  std::FILE* err_;
  // The first half of a line not yet written, off a terminal; and the first
  // write error. State of the output stream itself, hence mutable.
  mutable std::string pending_;
  mutable int write_error_ = 0;
  mutable size_t progress_shown_ = 0;  // columns of progress text after the half-line
};

}  // namespace qmr
