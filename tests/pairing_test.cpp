#include "sync/pairing.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "support/linear_pairing.h"

namespace qmr {
namespace {

EntryList list_of(const std::vector<std::string>& paths) {
  EntryList list("/r/");
  std::vector<std::string> dirs;
  for (const std::string& path : paths) {
    const size_t cut = path.find_last_of('/');
    const std::string dir = cut == std::string::npos ? "" : path.substr(0, cut + 1);
    const auto id = list.add_directory(dir, {});
    list.add(id, path.substr(dir.size()), EntryKind::kFile, 0, {});
  }
  return list;
}

TEST(SourceIndex, FindsTheExactSpellingAndEveryCaseVariant) {
  const EntryList source = list_of({"a.txt", "A.txt", "Sub/x"});
  const SourceIndex index(source);
  EXPECT_EQ(index.find_exact("a.txt"), 0u);
  EXPECT_EQ(index.find_exact("A.txt"), 1u);
  EXPECT_EQ(index.find_exact("A.TXT"), SourceIndex::kNoPartner);
  EXPECT_EQ(index.find_variants("A.TXT"), (std::vector<size_t>{0, 1}));
  EXPECT_EQ(index.find_variants("SUB/X"), (std::vector<size_t>{2}));
  EXPECT_EQ(index.find_exact("Subx"), SourceIndex::kNoPartner);
  EXPECT_TRUE(index.find_variants("Sub/").empty());
  EXPECT_TRUE(index.find_variants("").empty());
}

TEST(PairEntries, OnePartnerEachAndTheExactSpellingFirst) {
  // a.txt has its own copy; the stray A.TXT is nobody's partner.
  Pairing p = pair_entries(list_of({"a.txt"}), list_of({"A.TXT", "a.txt"}));
  EXPECT_EQ(p.dest_of_source, (std::vector<std::uint32_t>{1}));
  EXPECT_EQ(p.source_of_dest, (std::vector<std::uint32_t>{kUnpaired, 0}));
  // Without an exact copy, a variant is the partner.
  p = pair_entries(list_of({"a.txt"}), list_of({"A.TXT"}));
  EXPECT_EQ(p.dest_of_source, (std::vector<std::uint32_t>{0}));
  // Two source twins and one destination file: one pairs, the other stays new.
  p = pair_entries(list_of({"A.TXT", "a.txt"}), list_of({"A.TXT"}));
  EXPECT_EQ(p.dest_of_source, (std::vector<std::uint32_t>{0, kUnpaired}));
}

TEST(PairEntries, AgreesWithTheLinearWalkOnRandomLists) {
  std::mt19937 random(12345);
  const std::string alphabet = "aAbB.\xe9\xc9";
  auto random_path = [&] {
    std::string path;
    if (random() % 3 == 0) path = std::string(1, alphabet[random() % 4]) + "/";
    const size_t length = 1 + random() % 2;
    for (size_t i = 0; i < length; ++i) path += alphabet[random() % alphabet.size()];
    return path;
  };
  auto random_list = [&] {
    std::vector<std::string> paths;
    const size_t count = random() % 40;
    for (size_t i = 0; i < count; ++i) {
      std::string path = random_path();
      if (std::find(paths.begin(), paths.end(), path) == paths.end()) paths.push_back(path);
    }
    return list_of(paths);
  };
  for (int round = 0; round < 300; ++round) {
    const EntryList source = random_list();
    const EntryList dest = random_list();
    const Pairing fast = pair_entries(source, dest);
    const Pairing plain = test::linear_pairing(source, dest);
    ASSERT_EQ(fast.dest_of_source, plain.dest_of_source) << "round " << round;
    ASSERT_EQ(fast.source_of_dest, plain.source_of_dest) << "round " << round;
  }
}

}  // namespace
}  // namespace qmr
