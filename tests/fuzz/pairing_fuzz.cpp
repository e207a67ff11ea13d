// The pairing index against the plain linear walk on arbitrary entry lists:
// both must name the same partner for every relative path.
#include <cstdlib>

#include "fuzz/fuzz_input.h"
#include "support/linear_pairing.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
  // Parts are "dir/name" paths; those after an empty part are the queries.
  const auto parts = qmr::fuzz::split_at_nul(data, size);
  qmr::EntryList source("/s/");
  std::vector<std::string> queries;
  bool querying = false;
  for (const std::string& part : parts) {
    if (part.empty()) {
      querying = true;
      continue;
    }
    if (querying || part.size() > 0xffff) {
      queries.push_back(part);
      continue;
    }
    const size_t cut = part.find_last_of('/');
    const std::string dir = cut == std::string::npos ? "" : part.substr(0, cut + 1);
    const auto id = source.add_directory(dir);
    source.add(id, part.substr(dir.size()), 0, 0);
    queries.push_back(part);
  }
  const qmr::SourceIndex index(source);
  for (const std::string& query : queries) {
    if (index.find_partner(query) != qmr::test::linear_partner(source, query)) std::abort();
  }
  return 0;
}
