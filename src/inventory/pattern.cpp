#include "inventory/pattern.h"

#include "inventory/ascii.h"

namespace qmr {

namespace {

unsigned char at(std::string_view text, size_t i) {
  return i < text.size() ? fold_ascii(static_cast<unsigned char>(text[i])) : '\0';
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
    if ((n == p && p != '*') || (p == '?' && n != '.')) {
      ++i;
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
