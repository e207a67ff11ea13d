// ASCII-only case folding shared by option keywords, name patterns, pairing and
// directory ordering. Bytes above 127 are never changed, whatever the locale, so
// names in any 8-bit code page compare by their exact bytes.
#pragma once

#include <string>
#include <string_view>

namespace qmr {

constexpr unsigned char fold_ascii(unsigned char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<unsigned char>(c - 'a' + 'A') : c;
}

constexpr bool equal_ignoring_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (fold_ascii(static_cast<unsigned char>(a[i])) !=
        fold_ascii(static_cast<unsigned char>(b[i])))
      return false;
  }
  return true;
}

constexpr bool starts_with_ignoring_case(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && equal_ignoring_case(text.substr(0, prefix.size()), prefix);
}

// Orders by the upper-cased bytes, ties broken by the plain bytes, so that names
// differing only in case still have a fixed order.
constexpr int compare_folded_then_exact(std::string_view a, std::string_view b) {
  const size_t n = a.size() < b.size() ? a.size() : b.size();
  for (size_t i = 0; i < n; ++i) {
    const unsigned char x = fold_ascii(static_cast<unsigned char>(a[i]));
    const unsigned char y = fold_ascii(static_cast<unsigned char>(b[i]));
    if (x != y) return x < y ? -1 : 1;
  }
  if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
  const int exact = a.compare(b);
  return exact < 0 ? -1 : (exact > 0 ? 1 : 0);
}

// `text` with its ASCII letters upper-cased.
inline std::string fold_text(std::string_view text) {
  std::string folded(text);
  for (char& c : folded) c = static_cast<char>(fold_ascii(static_cast<unsigned char>(c)));
  return folded;
}

}  // namespace qmr
