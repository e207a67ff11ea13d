#include "console/console.h"

#include "platform/platform.h"

namespace qmr {

void print_banner(std::FILE* out) { std::fputs(kBanner, out); }

void Console::report(std::string_view format, std::string_view text) const {
  if (quiet_) return;
  const std::string converted = ansi_to_oem(std::string(text));
  const size_t hole = format.find("%s");
  const std::string_view before = format.substr(0, hole);
  std::fwrite(before.data(), 1, before.size(), out_);
  if (hole != std::string_view::npos) {
    std::fwrite(converted.data(), 1, converted.size(), out_);
    const std::string_view after = format.substr(hole + 2);
    std::fwrite(after.data(), 1, after.size(), out_);
  }
  if (interactive_) std::fflush(out_);
}

void Console::banner() const {
  if (!quiet_) print_banner(out_);
}

}  // namespace qmr
