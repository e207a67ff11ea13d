#include "sync/paths.h"

#include <algorithm>
#include <optional>

#include "inventory/ascii.h"

namespace qmr {

std::string close_root(std::string root, const PathStyle& style) {
  if (root.empty() || root.back() != style.separator) root += style.separator;
  return root;
}

std::vector<std::string_view> relative_dir_prefixes(std::string_view path, char separator) {
  std::vector<std::string_view> prefixes;
  for (size_t cut = path.find(separator); cut != std::string_view::npos;
       cut = path.find(separator, cut + 1)) {
    if (cut > 0) prefixes.push_back(path.substr(0, cut + 1));
  }
  return prefixes;
}

std::string_view parent_dir(std::string_view path, char separator) {
  const size_t cut = path.find_last_of(separator);
  return cut == std::string_view::npos ? std::string_view() : path.substr(0, cut + 1);
}

std::string_view parent_of_dir(std::string_view dir, char separator) {
  return dir.empty() ? dir : parent_dir(dir.substr(0, dir.size() - 1), separator);
}

namespace {

bool same_text(std::string_view a, std::string_view b, bool ignore_case) {
  return ignore_case ? equal_ignoring_case(a, b) : a == b;
}

bool strictly_inside(std::string_view inner, std::string_view outer, const PathStyle& style,
                     bool ignore_case) {
  std::string base(outer);
  if (base.empty() || base.back() != style.separator) base += style.separator;
  return inner.size() > base.size() && same_text(inner.substr(0, base.size()), base, ignore_case);
}

std::string_view trim_separator(std::string_view path, const PathStyle& style) {
  while (path.size() > 1 && path.back() == style.separator) path.remove_suffix(1);
  return path;
}

}  // namespace

Overlap locate_overlap(std::string_view source, std::string_view dest, const PathStyle& style,
                       bool ignore_case) {
  ignore_case = ignore_case || style.case_insensitive;
  source = trim_separator(source, style);
  dest = trim_separator(dest, style);
  if (same_text(source, dest, ignore_case)) return Overlap::kSame;
  if (strictly_inside(dest, source, style, ignore_case)) return Overlap::kDestInSource;
  if (strictly_inside(source, dest, style, ignore_case)) return Overlap::kSourceInDest;
  return Overlap::kNone;
}

Overlap lineage_overlap(const Lineage& source, const Lineage& dest) {
  if (!source.exists || source.ids.empty() || dest.ids.empty()) return Overlap::kNone;
  // How far above the start of `inner` the whole of `outer` stands, if it does.
  const auto depth_in = [](const Lineage& inner, const Lineage& outer) -> std::optional<size_t> {
    if (outer.ids.size() > inner.ids.size()) return std::nullopt;
    const size_t depth = inner.ids.size() - outer.ids.size();
    if (!std::equal(outer.ids.begin(), outer.ids.end(), inner.ids.begin() + static_cast<std::ptrdiff_t>(depth))) {
      return std::nullopt;
    }
    return depth;
  };
  // A destination that does not exist yet lies below its nearest ancestor.
  if (const auto depth = depth_in(dest, source)) {
    return *depth == 0 && dest.exists ? Overlap::kSame : Overlap::kDestInSource;
  }
  if (dest.exists && depth_in(source, dest)) return Overlap::kSourceInDest;
  return Overlap::kNone;
}

}  // namespace qmr
