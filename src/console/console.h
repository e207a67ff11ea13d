// The banner and the per-file progress lines. Each line is printed in two halves,
// the action and its outcome; on a terminal the first half shows at once so that
// a long copy names its file while it runs.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace qmr {

inline constexpr char kBanner[] = "Quenmire. Version 1.02\n";

void print_banner(std::FILE* out = stdout);

class Console {
 public:
  // `interactive`: flush after every piece so a watcher sees progress at once.
  Console(bool quiet, bool interactive, std::FILE* out = stdout)
      : quiet_(quiet), interactive_(interactive), out_(out) {}

  bool quiet() const { return quiet_; }

  // Prints `format` with its one "%s" replaced by `text` in the console's code
  // page. The text is never read as a format, so a "%" in a path prints as is.
  void report(std::string_view format, std::string_view text) const;

  // The banner of a run: nothing when quiet.
  void banner() const;

  // Completes a progress line: "Ok." or "Fail." and the line feed.
  void outcome(bool ok) const { report("%s", ok ? "Ok.\n" : "Fail.\n"); }

 private:
  bool quiet_;
  bool interactive_;
  std::FILE* out_;
};

}  // namespace qmr
