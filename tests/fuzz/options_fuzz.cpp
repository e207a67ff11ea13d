// parse_arguments on arbitrary argument vectors: no crash or undefined
// behaviour, and the roots are exactly the last FROM: and TO: values read.
#include <cstdlib>

#include "cli/options.h"
#include "fuzz/fuzz_input.h"
#include "inventory/ascii.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
  auto args = qmr::fuzz::split_at_nul(data, size);
  args.insert(args.begin(), "qmr");
  std::vector<const char*> argv;
  for (const std::string& a : args) argv.push_back(a.c_str());
  const auto parsed = qmr::parse_arguments(static_cast<int>(argv.size()), argv.data());

  std::string from;
  std::string to;
  size_t patterns = 0;
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (qmr::equal_ignoring_case(a, "--help") || qmr::equal_ignoring_case(a, "--version")) break;
    if (a.empty() || (a[0] != '/' && a[0] != '-')) continue;
    const std::string key = a.substr(1);
    if (qmr::starts_with_ignoring_case(key, "FROM:")) from = key.substr(5);
    if (qmr::starts_with_ignoring_case(key, "TO:")) to = key.substr(3);
    patterns += qmr::starts_with_ignoring_case(key, "FILES:") ? 1 : 0;
    patterns += qmr::starts_with_ignoring_case(key, "EX:") ? 1 : 0;
    if (qmr::equal_ignoring_case(key, "H") || key == "?") break;
  }
  const qmr::RunOptions& o = parsed.options;
  if (o.source_root != from || o.dest_root != to) std::abort();
  if (o.include_patterns.size() + o.exclude_patterns.size() != patterns) std::abort();
  return 0;
}
