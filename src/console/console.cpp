#include "console/console.h"

#include <cerrno>

#include "console/messages.h"
#include "platform/platform.h"

namespace qmr {

void print_banner(std::FILE* out) { std::fputs(kBanner, out); }

namespace {

// The length of the well-formed UTF-8 sequence at the start of `text`, or 0.
size_t utf8_length(std::string_view text) {
  const auto lead = static_cast<unsigned char>(text[0]);
  const size_t length = lead < 0xc2 ? 0 : lead < 0xe0 ? 2 : lead < 0xf0 ? 3 : lead < 0xf5 ? 4 : 0;
  if (length == 0 || text.size() < length) return 0;
  for (size_t i = 1; i < length; ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xc0) != 0x80) return 0;
  }
  return length;
}

}  // namespace

std::string terminal_safe(std::string_view text) {
  std::string safe;
  safe.reserve(text.size());
  while (!text.empty()) {
    const auto byte = static_cast<unsigned char>(text[0]);
    if (byte < 0x80) {
      safe += byte < 0x20 || byte == 0x7f ? '?' : text[0];
      text.remove_prefix(1);
      continue;
    }
    const size_t length = utf8_length(text);
    const bool c1 = length == 2 && byte == 0xc2 && static_cast<unsigned char>(text[1]) < 0xa0;
    if (length == 0) {
      // A lone byte: 0x80 to 0x9f would be a C1 control to an 8-bit terminal.
      safe += byte < 0xa0 ? '?' : text[0];
      text.remove_prefix(1);
      continue;
    }
    if (c1) {
      safe += '?';
    } else {
      safe.append(text.substr(0, length));
    }
    text.remove_prefix(length);
  }
  return safe;
}

void Console::write(std::string_view text) const {
  if (std::fwrite(text.data(), 1, text.size(), out_) != text.size() && write_error_ == 0) {
    write_error_ = errno != 0 ? errno : EIO;
  }
}

std::string Console::shown(std::string_view text, bool terminal) const {
  return terminal ? console_text(terminal_safe(text)) : console_text(text);
}

std::string Console::expand(std::string_view format, std::string_view text) const {
  const size_t hole = format.find("%s");
  std::string line(format.substr(0, hole));
  if (hole != std::string_view::npos) {
    line += path_text(text, settings_.interactive);
    line += format.substr(hole + 2);
  }
  return line;
}

void Console::report(std::string_view format, std::string_view text) const {
  if (settings_.quiet) return;
  write(expand(format, text));
  if (settings_.interactive && std::fflush(out_) != 0 && write_error_ == 0) write_error_ = errno;
}

void Console::begin(std::string_view format, std::string_view text) const {
  if (settings_.quiet) return;
  if (settings_.interactive) return report(format, text);
  pending_ = expand(format, text);
}

void Console::erase_progress() const {
  if (progress_shown_ == 0) return;
  write(std::string(progress_shown_, '\b') + std::string(progress_shown_, ' ') +
        std::string(progress_shown_, '\b'));
  progress_shown_ = 0;
}

void Console::progress(std::string_view text) const {
  if (settings_.quiet || !settings_.interactive) return;
  erase_progress();
  write(text);
  progress_shown_ = text.size();
  if (std::fflush(out_) != 0 && write_error_ == 0) write_error_ = errno;
}

void Console::finish(std::string_view text) const {
  if (settings_.quiet) return;
  erase_progress();
  if (!pending_.empty()) write(pending_);
  pending_.clear();
  write(text);
  if (std::fflush(out_) != 0 && write_error_ == 0) write_error_ = errno;
}

void Console::banner() const {
  if (settings_.quiet) return;
  write(kBanner);
  if (settings_.interactive) std::fflush(out_);
}

void Console::reason(std::string_view verb, std::string_view path, std::string_view why) const {
  if (settings_.quiet) return;
  const bool terminal = settings_.errors_interactive;
  note("qmr: cannot " + std::string(verb) + " " + path_text(path, terminal) + ": " + shown(why, terminal) + "\n");
}

void Console::note(std::string_view line, bool even_quiet) const {
  if (settings_.quiet && !even_quiet) return;
  std::fflush(out_);  // keeps the two streams in order where they meet
  std::fwrite(line.data(), 1, line.size(), err_);
  std::fflush(err_);
}

void Console::text(std::string_view text) const {
  write(text);
  std::fflush(out_);
}

void Console::title(const std::string& source_root, const std::string& dest_root) const {
  if (!settings_.titles) return;
  std::string time_text = current_time_text();
  if (!time_text.empty()) time_text.pop_back();  // the line feed that ends it
  set_console_title("From " + source_root + ", To " + dest_root + ", " + time_text);
}

int Console::output_error() const {
  if (std::fflush(out_) != 0 && write_error_ == 0) write_error_ = errno != 0 ? errno : EIO;
  if (write_error_ == 0 && std::ferror(out_)) write_error_ = EIO;
  return write_error_;
}

}  // namespace qmr
