#include "cli/options.h"

#include "inventory/ascii.h"

namespace qmr {

void append_pattern(PatternList& list, std::string_view text) { list.emplace_back(text); }

void set_threads(RunOptions& options, std::string_view value) {
  unsigned count = 0;
  bool valid = !value.empty() && value.size() <= 3;
  for (const char c : value) {
    if (c < '0' || c > '9') valid = false;
    count = count * 10 + static_cast<unsigned>(c - '0');
  }
  valid = valid && count >= 1 && count <= kMaxThreads;
  options.threads_invalid = !valid;
  options.threads = valid ? count : 0;
}

namespace {

// Applies every row of the option table that `key` passes; rows are independent.
// Returns false when the key asks for help.
bool apply_key(std::string_view key, RunOptions& options) {
  struct PrefixRow {
    std::string_view keyword;
    void (*action)(RunOptions&, std::string_view value);
  };
  static constexpr PrefixRow kPrefixRows[] = {
      {"FROM:", [](RunOptions& o, std::string_view v) { o.source_root = v; }},
      {"TO:", [](RunOptions& o, std::string_view v) { o.dest_root = v; }},
      {"FILES:", [](RunOptions& o, std::string_view v) { append_pattern(o.include_patterns, v); }},
      {"EX:", [](RunOptions& o, std::string_view v) { append_pattern(o.exclude_patterns, v); }},
      {"UPDATE", [](RunOptions& o, std::string_view) { o.mode = SyncMode::kUpdate; }},
      {"COPYONLY", [](RunOptions& o, std::string_view) { o.mode = SyncMode::kCopyOnly; }},
      {"DELONLY", [](RunOptions& o, std::string_view) { o.mode = SyncMode::kDelOnly; }},
      {"COPYALL", [](RunOptions& o, std::string_view) { o.mode = SyncMode::kCopyAll; }},
      {"QUIET", [](RunOptions& o, std::string_view) { o.quiet = true; }},
      {"LISTONLY", [](RunOptions& o, std::string_view) { o.list_only = true; }},
      {"THREADS:", [](RunOptions& o, std::string_view v) { set_threads(o, v); }},
  };
  for (const PrefixRow& row : kPrefixRows) {
    if (starts_with_ignoring_case(key, row.keyword)) {
      row.action(options, key.substr(row.keyword.size()));
    }
  }
  if (equal_ignoring_case(key, "R")) options.recurse = true;
  return !equal_ignoring_case(key, "H") && key != "?";
}

}  // namespace

ParsedCommandLine parse_arguments(int argc, const char* const* argv) {
  ParsedCommandLine parsed;
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    // The spellings most command-line users try first.
    if (argument == "--help") {
      parsed.request = Request::kHelp;
      break;
    }
    if (argument == "--version") {
      parsed.request = Request::kVersion;
      break;
    }
    if (argument.empty() || (argument[0] != '/' && argument[0] != '-')) continue;
    if (!apply_key(argument.substr(1), parsed.options)) {
      parsed.request = Request::kHelp;
      break;
    }
  }
  return parsed;
}

}  // namespace qmr
