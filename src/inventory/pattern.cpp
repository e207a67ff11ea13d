#include "inventory/pattern.h"

#include "inventory/ascii.h"

namespace qmr {

namespace {

unsigned char at(std::string_view text, size_t i) {
  return i < text.size() ? fold_ascii(static_cast<unsigned char>(text[i])) : '\0';
}

// The length of the character at `text[i]`: one whole UTF-8 sequence, or one
// byte where the bytes there are not valid UTF-8 (a name in an 8-bit code page).
size_t character_length(std::string_view text, size_t i) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  size_t length = 1;
  if (lead >= 0xC2 && lead <= 0xDF) length = 2;
  if (lead >= 0xE0 && lead <= 0xEF) length = 3;
  if (lead >= 0xF0 && lead <= 0xF4) length = 4;
  if (length == 1 || i + length > text.size()) return 1;
  for (size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 1;
  }
  // Overlong and out-of-range forms are not characters.
  const unsigned char second = byte(i + 1);
  if ((lead == 0xE0 && second < 0xA0) || (lead == 0xF0 && second < 0x90) ||
      (lead == 0xF4 && second >= 0x90)) {
    return 1;
  }
  return length;
}

}  // namespace

bool match_pattern(std::string_view name, std::string_view pattern) {
  size_t i = 0;
  size_t j = 0;
  bool first_star_pending = true;
  while (i < name.size()) {
    if (j >= pattern.size()) return false;
    const unsigned char n = at(name, i);
    const unsigned char p = at(pattern, j);
    // A "*" in the pattern is always a wildcard, even facing a "*" in a name
    // (legal on POSIX): otherwise "*.*" would miss a name like "a.*b".
    if (n == p && p != '*') {
      ++i;
      ++j;
      continue;
    }
    if (p == '?' && n != '.') {
      i += character_length(name, i);
      ++j;
      continue;
    }
    if (!first_star_pending) return p == '*';
    if (p != '*') return false;
    // The first star, with a dot right after it, takes the rest of the name's
    // current part up to and including the name's next dot.
    ++j;
    if (at(pattern, j) == '.') ++j;
    const size_t dot = name.find('.', i);
    i = dot == std::string_view::npos ? name.size() : dot + 1;
    first_star_pending = false;
  }
  // Only the one pattern character after the name's end decides.
  const unsigned char rest = at(pattern, j);
  return rest == '*' || rest == '?' || rest == '\0';
}

}  // namespace qmr
