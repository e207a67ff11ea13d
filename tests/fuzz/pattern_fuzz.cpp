// match_pattern on arbitrary names and patterns: no crash or undefined
// behaviour, "*.*" selects every name, and ASCII case never matters.
#include <cstdlib>

#include "fuzz/fuzz_input.h"
#include "inventory/pattern.h"

namespace {

std::string flip_ascii_case(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') {
      c = static_cast<char>(c - 'a' + 'A');
    } else if (c >= 'A' && c <= 'Z') {
      c = static_cast<char>(c - 'A' + 'a');
    }
  }
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
  const auto parts = qmr::fuzz::split_at_nul(data, size);
  const std::string& name = parts[0];
  const std::string pattern = parts.size() > 1 ? parts[1] : std::string();
  const bool selected = qmr::match_pattern(name, pattern);
  if (qmr::match_pattern(flip_ascii_case(name), flip_ascii_case(pattern)) != selected) std::abort();
  if (!qmr::match_pattern(name, "*.*")) std::abort();
  if (!name.empty() && qmr::match_pattern(name, "")) std::abort();
  return 0;
}
