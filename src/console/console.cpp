#include "console/console.h"

#include "console/messages.h"
#include "platform/platform.h"

namespace qmr {

void print_banner(std::FILE* out) { std::fputs(kBanner, out); }

void Console::report(std::string_view format, std::string_view text) const {
  if (settings_.quiet) return;
  const std::string converted = console_text(text);
  const size_t hole = format.find("%s");
  const std::string_view before = format.substr(0, hole);
  std::fwrite(before.data(), 1, before.size(), out_);
  if (hole != std::string_view::npos) {
    std::fwrite(converted.data(), 1, converted.size(), out_);
    const std::string_view after = format.substr(hole + 2);
    std::fwrite(after.data(), 1, after.size(), out_);
  }
  if (settings_.interactive) std::fflush(out_);
}

void Console::finish(std::string_view text) const {
  if (settings_.quiet) return;
  std::fwrite(text.data(), 1, text.size(), out_);
  std::fflush(out_);
}

void Console::banner() const {
  if (settings_.quiet) return;
  print_banner(out_);
  if (settings_.interactive) std::fflush(out_);
}

void Console::reason(std::string_view verb, std::string_view path, std::string_view why) const {
  if (settings_.quiet) return;
  const std::string line = "qmr: cannot " + std::string(verb) + " " + console_text(path) + ": " +
                           console_text(why) + "\n";
  std::fflush(out_);  // keeps the two streams in order where they meet
  std::fwrite(line.data(), 1, line.size(), err_);
  std::fflush(err_);
}

void Console::title(const std::string& source_root, const std::string& dest_root) const {
  if (!settings_.titles) return;
  std::string time_text = current_time_text();
  if (!time_text.empty()) time_text.pop_back();  // the line feed that ends it
  set_console_title("From " + source_root + ", To " + dest_root + ", " + time_text);
}

}  // namespace qmr
