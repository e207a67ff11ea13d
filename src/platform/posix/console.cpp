// POSIX console services: the title escape, whether a stream is a terminal,
// the arguments and the local time. Names are bytes here and print as they are.
#include <unistd.h>

#include <cstdio>
#include <ctime>

#include "platform/platform.h"

namespace qmr {

void set_console_title(const std::string& title) {
  if (!stdout_is_terminal()) return;
  // Control bytes in a path could end the escape sequence early and smuggle
  // other sequences to the terminal; they are left out of the title.
  std::string safe;
  for (const char c : title) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte != 0x7f) safe += c;
  }
  std::fputs(("\033]0;" + safe + "\007").c_str(), stdout);
}

bool stdout_is_terminal() { return ::isatty(STDOUT_FILENO) == 1; }
bool stderr_is_terminal() { return ::isatty(STDERR_FILENO) == 1; }

std::vector<std::string> command_line_arguments(int argc, const char* const* argv) {
  return std::vector<std::string>(argv, argv + argc);
}

std::string console_text(std::string_view text) { return std::string(text); }

std::string current_time_text() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  ::localtime_r(&now, &local);
  char text[64];
  const size_t n = std::strftime(text, sizeof text, "%a %b %e %H:%M:%S %Y\n", &local);
  return std::string(text, n);
}

}  // namespace qmr
