// The tool's own wildcard rules for selecting file names. The first dot of a name
// separates base name and extension: "*" alone does not select "readme.txt" and
// "*.txt" does not select "a.b.txt". They are deliberately not the shell's rules.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qmr {

// Patterns in command-line order.
using PatternList = std::vector<std::string>;

// True when the bare file name `name` is selected by `pattern`. ASCII letters
// match regardless of case; every other byte matches only itself. "?" stands
// for one character: a whole UTF-8 sequence, or a single byte of a name that
// is not valid UTF-8.
bool match_pattern(std::string_view name, std::string_view pattern);

}  // namespace qmr
