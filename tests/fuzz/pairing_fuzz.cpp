// Pairing through the index against the plain linear walk on arbitrary entry
// lists: both must pair the same files.
#include <cstdlib>
#include <set>

#include "fuzz/fuzz_input.h"
#include "support/linear_pairing.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
  // Parts are "dir/name" paths of the source; those after an empty part are
  // the destination's. Paths repeated within one list are left out.
  const auto parts = qmr::fuzz::split_at_nul(data, size);
  qmr::EntryList lists[2] = {qmr::EntryList("/s/"), qmr::EntryList("/d/")};
  std::set<std::string> seen[2];
  int side = 0;
  for (const std::string& part : parts) {
    if (part.empty()) {
      side = 1;
      continue;
    }
    if (part.size() > 0xffff || !seen[side].insert(part).second) continue;
    const size_t cut = part.find_last_of('/');
    const std::string dir = cut == std::string::npos ? "" : part.substr(0, cut + 1);
    const auto id = lists[side].add_directory(dir, {});
    lists[side].add(id, part.substr(dir.size()), qmr::EntryKind::kFile, 0, {});
  }
  const qmr::Pairing fast = qmr::pair_entries(lists[0], lists[1]);
  const qmr::Pairing plain = qmr::test::linear_pairing(lists[0], lists[1]);
  if (fast.dest_of_source != plain.dest_of_source || fast.source_of_dest != plain.source_of_dest) {
    std::abort();
  }
  return 0;
}
