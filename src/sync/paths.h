// Path rules of a run: closing a root with the separator, the directories to
// create above a target, and whether two roots overlap. Pure text rules with the
// platform's spelling given as data, so every platform's rules can be tested anywhere.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace qmr {

// Appends the separator unless `root` already ends with it.
std::string close_root(std::string root, const PathStyle& style);

// Every separator-terminated prefix of `path` that names a directory to create,
// shortest first. Skipped: the empty prefix, one or two lone separators (the
// start of a server path) and, where drives exist, a prefix ending in ":".
std::vector<std::string> path_dir_prefixes(std::string_view path, const PathStyle& style);

// Creates every missing directory above the last separator of `path`; failures
// are not reported here, the operation that needs the directory reports them.
void make_path_dirs(FileSystem& fs, std::string_view path, const PathStyle& style);

enum class Overlap { kNone, kSame, kDestInSource, kSourceInDest };

// Compares two resolved, absolute directory paths.
Overlap locate_overlap(std::string_view source, std::string_view dest, const PathStyle& style);

}  // namespace qmr
