#include "sync/pairing.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "support/linear_pairing.h"

namespace qmr {
namespace {

using test::linear_partner;

TEST(SourceIndex, PairsIgnoringCaseButPrefersTheExactSpelling) {
  EntryList source("/s/");
  const auto top = source.add_directory("");
  const auto sub = source.add_directory("Sub/");
  source.add(top, "a.txt", 1, 1);
  source.add(top, "A.txt", 1, 1);
  source.add(sub, "x", 1, 1);
  const SourceIndex index(source);
  EXPECT_EQ(index.find_partner("a.txt"), 0u);
  EXPECT_EQ(index.find_partner("A.txt"), 1u);
  EXPECT_EQ(index.find_partner("A.TXT"), 0u);  // no exact one: the first in list order
  EXPECT_EQ(index.find_partner("SUB/X"), 2u);
  EXPECT_EQ(index.find_partner("Sub/x"), 2u);
  EXPECT_EQ(index.find_partner("Subx"), SourceIndex::kNoPartner);
  EXPECT_EQ(index.find_partner("Sub/"), SourceIndex::kNoPartner);
  EXPECT_EQ(index.find_partner(""), SourceIndex::kNoPartner);
}

TEST(SourceIndex, AgreesWithTheLinearWalkOnRandomLists) {
  std::mt19937 random(12345);
  const std::string alphabet = "aAbB.\xe9\xc9";
  auto random_name = [&](size_t max_length) {
    std::string name;
    const size_t length = 1 + random() % max_length;
    for (size_t i = 0; i < length; ++i) name += alphabet[random() % alphabet.size()];
    return name;
  };
  for (int round = 0; round < 200; ++round) {
    EntryList source("/s/");
    std::vector<std::string> dirs = {""};
    for (int d = 0; d < 3; ++d) dirs.push_back(random_name(2) + "/");
    std::vector<std::uint32_t> ids;
    for (const std::string& dir : dirs) ids.push_back(source.add_directory(dir));
    const size_t count = random() % 60;
    for (size_t i = 0; i < count; ++i) {
      source.add(ids[random() % ids.size()], random_name(3), 0, 0);
    }
    const SourceIndex index(source);
    for (int probe = 0; probe < 60; ++probe) {
      const std::string relative = dirs[random() % dirs.size()] + random_name(3);
      ASSERT_EQ(index.find_partner(relative), linear_partner(source, relative)) << relative;
    }
  }
}

}  // namespace
}  // namespace qmr
