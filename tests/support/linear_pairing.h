// The plain definition of a destination file's source partner, by walking the
// whole source list: the first entry equal ignoring ASCII case, unless one
// matches byte for byte. The pairing index must always agree with it.
#pragma once

#include <string>

#include "inventory/entry_list.h"
#include "platform/ascii.h"
#include "sync/pairing.h"

namespace qmr::test {

inline size_t linear_partner(const EntryList& source, const std::string& relative) {
  size_t first = SourceIndex::kNoPartner;
  for (size_t i = 0; i < source.size(); ++i) {
    const std::string candidate = source.relative_path(source[i]);
    if (candidate == relative) return i;
    if (first == SourceIndex::kNoPartner && equal_ignoring_case(candidate, relative)) first = i;
  }
  return first;
}

}  // namespace qmr::test
