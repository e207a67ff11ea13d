// Path rules of a run: closing a root with the separator, the directories above
// a relative path, and whether two roots overlap by their spelling. Pure text
// rules with the platform's spelling given as data, so every platform's rules
// can be tested anywhere.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace qmr {

// Appends the separator unless `root` already ends with it.
std::string close_root(std::string root, const PathStyle& style);

// Every directory above the last separator of the relative path `path`,
// shortest first, each ending with the separator: "a/b/c" gives "a/", "a/b/".
std::vector<std::string_view> relative_dir_prefixes(std::string_view path, char separator);

// The directory that holds `path`, with its closing separator; "" at the root.
std::string_view parent_dir(std::string_view path, char separator);
// The same for a directory path that ends with the separator; "" for "".
std::string_view parent_of_dir(std::string_view dir, char separator);

enum class Overlap { kNone, kSame, kDestInSource, kSourceInDest };

// Compares two resolved, absolute directory paths by their text; with
// `ignore_case`, ASCII letters match regardless of case.
Overlap locate_overlap(std::string_view source, std::string_view dest, const PathStyle& style,
                       bool ignore_case = false);

// How two roots overlap by their lineages: the same directory, or one lying
// below the other. Whole chains are compared, up to the top, so that a
// directory index met again on another device, or a volume serial number of
// 0, cannot pass for a match. kNone when a lineage is empty or the source
// does not exist.
Overlap lineage_overlap(const Lineage& source, const Lineage& dest);

}  // namespace qmr
