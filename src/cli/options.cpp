#include "cli/options.h"

#include <algorithm>
#include <utility>

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

struct PrefixRow {
  std::string_view keyword;
  void (*action)(RunOptions&, std::string_view value);
};

constexpr PrefixRow kPrefixRows[] = {
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

// Keywords that take their value after a colon, including the deletion limit
// and the log: one written with "=" would be ignored, and what it protects lost.
constexpr std::string_view kValueKeywords[] = {"FROM", "TO",      "FILES",  "EX",
                                               "EXDIR", "THREADS", "MAXDEL", "LOG"};

// How other tools ask to be shown what a run would do.
constexpr std::string_view kPreviewWords[] = {"N", "L", "LIST", "DRYRUN", "DRY-RUN"};

// Whole keywords that may stand in a hint beside the prefix rows.
constexpr std::string_view kWholeKeywords[] = {"R", "H"};

bool same_letter(char a, char b) {
  return fold_ascii(static_cast<unsigned char>(a)) == fold_ascii(static_cast<unsigned char>(b));
}

// A request not to change anything: ignored, the run would change everything.
bool is_preview_request(std::string_view key) {
  for (const std::string_view word : kPreviewWords) {
    if (equal_ignoring_case(key, word)) return true;
  }
  return one_typo_apart(key, "LISTONLY") || one_typo_apart(key, "COPYONLY");
}

// "/EXDIR=keep": a value keyword with "=" where its colon belongs.
bool is_value_keyword_with_equals(std::string_view key) {
  const size_t cut = key.find_first_of(":=");
  if (cut == std::string_view::npos || key[cut] != '=') return false;
  for (const std::string_view keyword : kValueKeywords) {
    if (equal_ignoring_case(key.substr(0, cut), keyword)) return true;
  }
  return false;
}

// The option a user who typed `key` (without its lead character) most likely
// meant: spellings of other mirroring and copying tools, a known keyword
// written with "=" for ":", or one typo away from a known keyword.
std::string hint_for(std::string_view key) {
  while (!key.empty() && key.front() == '-') key.remove_prefix(1);
  const size_t cut = key.find_first_of(":=");
  const std::string_view name = key.substr(0, cut);
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
  if (name.size() < 2) return {};
  const auto near = [&](std::string_view keyword) {
    const bool takes_value = keyword.ends_with(':');
    if (takes_value) keyword.remove_suffix(1);
    if (!equal_ignoring_case(name, keyword) && !one_typo_apart(name, keyword)) return std::string();
    std::string hint("/");
    hint += keyword;
    if (!takes_value) return hint;
    // The value the user gave goes with the hint: "/EXDIR=keep" meant "/EXDIR:keep".
    hint += ':';
    if (cut != std::string_view::npos) hint += key.substr(cut + 1);
    return hint;
  };
  for (const PrefixRow& row : kPrefixRows) {
    if (std::string hint = near(row.keyword); !hint.empty()) return hint;
  }
  for (const std::string_view keyword : kWholeKeywords) {
    if (std::string hint = near(keyword); !hint.empty()) return hint;
  }
  return {};
}

// Applies every row of the option table that `key` passes; rows are independent.
KeyResult apply_key(std::string_view key, RunOptions& options) {
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

IgnoredArgument unknown_option(std::string_view argument) {
  const std::string_view key = argument.substr(1);
  IgnoredArgument ignored{std::string(argument), hint_for(key)};
  ignored.refuses = argument.starts_with("--") || is_preview_request(key) || is_value_keyword_with_equals(key);
  return ignored;
}

}  // namespace

bool ParsedCommandLine::refused() const {
  return std::any_of(ignored.begin(), ignored.end(), [](const IgnoredArgument& i) { return i.refuses; });
}

bool one_typo_apart(std::string_view a, std::string_view b) {
  if (a.size() > b.size()) std::swap(a, b);
  if (b.size() - a.size() > 1) return false;
  size_t i = 0;
  while (i < a.size() && same_letter(a[i], b[i])) ++i;
  if (a.size() < b.size()) return equal_ignoring_case(a.substr(i), b.substr(i + 1));  // one dropped
  if (i == a.size()) return false;  // the same word
  if (equal_ignoring_case(a.substr(i + 1), b.substr(i + 1))) return true;  // one changed
  return i + 1 < a.size() && same_letter(a[i], b[i + 1]) && same_letter(a[i + 1], b[i]) &&
         equal_ignoring_case(a.substr(i + 2), b.substr(i + 2));  // two swapped
}

std::string ignored_text(const IgnoredArgument& ignored) {
  std::string text = ignored.refuses ? "qmr: refusing to run with " : "qmr: ignoring ";
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
    if (equal_ignoring_case(argument, "--help")) {
      parsed.request = Request::kHelp;
      break;
    }
    if (equal_ignoring_case(argument, "--version")) {
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
    if (result == KeyResult::kUnknown) parsed.ignored.push_back(unknown_option(argument));
  }
  return parsed;
}

}  // namespace qmr
