#include "sync/paths.h"

#include "platform/ascii.h"

namespace qmr {

std::string close_root(std::string root, const PathStyle& style) {
  if (root.empty() || root.back() != style.separator) root += style.separator;
  return root;
}

std::vector<std::string> path_dir_prefixes(std::string_view path, const PathStyle& style) {
  const std::string one(1, style.separator);
  const std::string two(2, style.separator);
  std::vector<std::string> prefixes;
  for (size_t cut = path.find(style.separator); cut != std::string_view::npos;
       cut = path.find(style.separator, cut + 1)) {
    const std::string_view prefix = path.substr(0, cut);
    if (prefix.empty() || prefix == one || prefix == two) continue;
    if (style.drive_prefixes && prefix.back() == ':') continue;
    prefixes.emplace_back(prefix);
  }
  return prefixes;
}

void make_path_dirs(FileSystem& fs, std::string_view path, const PathStyle& style) {
  for (const std::string& dir : path_dir_prefixes(path, style)) fs.make_directory(dir);
}

namespace {

bool same_text(std::string_view a, std::string_view b, const PathStyle& style) {
  return style.case_insensitive ? equal_ignoring_case(a, b) : a == b;
}

bool strictly_inside(std::string_view inner, std::string_view outer, const PathStyle& style) {
  std::string base(outer);
  if (base.empty() || base.back() != style.separator) base += style.separator;
  return inner.size() > base.size() && same_text(inner.substr(0, base.size()), base, style);
}

std::string_view trim_separator(std::string_view path, const PathStyle& style) {
  while (path.size() > 1 && path.back() == style.separator) path.remove_suffix(1);
  return path;
}

}  // namespace

Overlap locate_overlap(std::string_view source, std::string_view dest, const PathStyle& style) {
  source = trim_separator(source, style);
  dest = trim_separator(dest, style);
  if (same_text(source, dest, style)) return Overlap::kSame;
  if (strictly_inside(dest, source, style)) return Overlap::kDestInSource;
  if (strictly_inside(source, dest, style)) return Overlap::kSourceInDest;
  return Overlap::kNone;
}

}  // namespace qmr
