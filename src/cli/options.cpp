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

enum class KeyResult { kApplied, kHelp, kUnknown };

// The option a user who typed `key` (without its lead character) most likely
// meant: spellings of other mirroring and copying tools.
std::string hint_for(std::string_view key) {
  while (!key.empty() && key.front() == '-') key.remove_prefix(1);
  const std::string_view name = key.substr(0, key.find(':'));
  struct Miss {
    std::string_view typed;
    std::string_view meant;
  };
  static constexpr Miss kMisses[] = {
      {"RECURSE", "/R"},         {"RECURSIVE", "/R"},     {"S", "/R"},
      {"E", "/R"},               {"N", "/LISTONLY"},      {"DRY-RUN", "/LISTONLY"},
      {"DRYRUN", "/LISTONLY"},   {"L", "/LISTONLY"},      {"LIST", "/LISTONLY"},
      {"EXCLUDE", "/EX:"},       {"XF", "/EX:"},          {"INCLUDE", "/FILES:"},
      {"XD", "/EXDIR:"},         {"EXCLUDE-DIR", "/EXDIR:"}, {"Q", "/QUIET"},
      {"MT", "/THREADS:"},       {"THREAD", "/THREADS:"}, {"V", "--version"},
      {"SOURCE", "/FROM:"},      {"DEST", "/TO:"},        {"STAT", "/STATS"},
  };
  for (const Miss& miss : kMisses) {
    if (equal_ignoring_case(name, miss.typed)) return std::string(miss.meant);
  }
  return {};
}

// Applies every row of the option table that `key` passes; rows are independent.
KeyResult apply_key(std::string_view key, RunOptions& options) {
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
      {"EXDIR:", [](RunOptions& o, std::string_view v) { append_pattern(o.exclude_directories, v); }},
      {"STATS", [](RunOptions& o, std::string_view) { o.stats = true; }},
  };
  if (equal_ignoring_case(key, "H") || key == "?") return KeyResult::kHelp;
  bool applied = false;
  for (const PrefixRow& row : kPrefixRows) {
    if (starts_with_ignoring_case(key, row.keyword)) {
      row.action(options, key.substr(row.keyword.size()));
      applied = true;
    }
  }
  if (equal_ignoring_case(key, "R")) {
    options.recurse = true;
    applied = true;
  }
  return applied ? KeyResult::kApplied : KeyResult::kUnknown;
}

}  // namespace

std::string ignored_text(const IgnoredArgument& ignored) {
  std::string text = "qmr: ignoring ";
  text += ignored.option ? "unknown option " : "argument ";
  text += ignored.argument;
  if (!ignored.hint.empty()) {
    text += " (did you mean " + ignored.hint + "?)";
  } else if (!ignored.option) {
    text += " (roots are given as /FROM:<directory> and /TO:<directory>)";
  }
  return text + "\n";
}

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
    if (argument.empty() || (argument[0] != '/' && argument[0] != '-')) {
      parsed.ignored.push_back({std::string(argument), "", false});
      continue;
    }
    const KeyResult result = apply_key(argument.substr(1), parsed.options);
    if (result == KeyResult::kHelp) {
      parsed.request = Request::kHelp;
      break;
    }
    if (result == KeyResult::kUnknown) {
      parsed.ignored.push_back({std::string(argument), hint_for(argument.substr(1)), true});
    }
  }
  return parsed;
}

}  // namespace qmr
