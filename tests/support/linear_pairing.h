// The plain definition of who pairs with whom, by walking the whole source list
// for every destination file: first every file with its exact spelling, then
// each remaining destination file, in order, with the first source file equal
// to it ignoring ASCII case that is still unpaired. The index must agree.
#pragma once

#include <string>

#include "inventory/ascii.h"
#include "inventory/entry_list.h"
#include "sync/pairing.h"

namespace qmr::test {

inline Pairing linear_pairing(const EntryList& source, const EntryList& dest) {
  Pairing p;
  p.dest_of_source.assign(source.size(), kUnpaired);
  p.source_of_dest.assign(dest.size(), kUnpaired);
  for (int exact = 1; exact >= 0; --exact) {
    for (size_t d = 0; d < dest.size(); ++d) {
      if (p.source_of_dest[d] != kUnpaired) continue;
      const std::string wanted = dest.relative_path(dest[d]);
      for (size_t s = 0; s < source.size(); ++s) {
        const std::string candidate = source.relative_path(source[s]);
        const bool match = exact ? candidate == wanted
                                 : p.dest_of_source[s] == kUnpaired &&
                                       equal_ignoring_case(candidate, wanted);
        if (!match) continue;
        p.dest_of_source[s] = static_cast<std::uint32_t>(d);
        p.source_of_dest[d] = static_cast<std::uint32_t>(s);
        break;
      }
    }
  }
  return p;
}

}  // namespace qmr::test
