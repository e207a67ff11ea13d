#include "inventory/entry_list.h"

#include <gtest/gtest.h>

#include <limits>

#include <stdexcept>
#include <string>

namespace qmr {
namespace {

TEST(EntryList, KeepsEveryNameWholeAcrossItsStorageBlocks) {
  EntryList list("/r/");
  const auto top = list.add_directory("", {});
  const auto sub = list.add_directory("a b/", {});
  // Enough names of varied length to fill several blocks, and long ones.
  std::string expected_last;
  for (int i = 0; i < 60000; ++i) {
    const std::string name = std::string(static_cast<size_t>(i % 300), 'x') + std::to_string(i);
    list.add(i % 2 == 0 ? top : sub, name, EntryKind::kFile, static_cast<std::uint64_t>(i), {-i, 7});
  }
  list.add(sub, std::string(65535, 'L'), EntryKind::kSymlink, 1, {2, 0});
  ASSERT_EQ(list.size(), 60001u);
  for (int i = 0; i < 60000; i += 997) {
    const FileEntry& e = list[static_cast<size_t>(i)];
    EXPECT_EQ(list.name(e), std::string(static_cast<size_t>(i % 300), 'x') + std::to_string(i));
    EXPECT_EQ(list.directory(e), i % 2 == 0 ? "" : "a b/");
    EXPECT_EQ(list.file_size(e), static_cast<std::uint64_t>(i));
    EXPECT_EQ(list.last_write(e), (FileTime{-i, 7}));
    EXPECT_EQ(e.kind(), EntryKind::kFile);
  }
  EXPECT_EQ(list.name(list[60000]).size(), 65535u);
  EXPECT_EQ(list[60000].kind(), EntryKind::kSymlink);
  EXPECT_EQ(list.path(list[1]), "/r/a b/x1");
  EXPECT_THROW(list.add(top, std::string(65536, 'L'), EntryKind::kFile, 0, {}), std::length_error);
  // A directory forgotten leaves its number to the next; entries after a
  // subdirectory's belong to its parent again.
  list.add_directory("gone/", {});
  list.forget_last_directory();
  list.add(list.add_directory("c/", {}), "z", EntryKind::kFile, 0, {});
  list.add(sub, "y", EntryKind::kFile, 0, {});
  EXPECT_EQ(list.relative_path(list[60001]), "c/z");
  EXPECT_EQ(list.relative_path(list[60002]), "a b/y");
}

TEST(EntryList, SizesAndTimesKeepEveryBitAtTheirExtremes) {
  EntryList list("/r/");
  const std::uint32_t top = list.add_directory("", {});
  const std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
  const std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  const std::uint64_t kHuge = std::numeric_limits<std::uint64_t>::max();
  // Enough distinct attributes that their index takes more than one byte.
  for (std::uint32_t i = 0; i < 300; ++i) list.add(top, "n", EntryKind::kFile, i, {i, i}, {i, i, i});
  list.add(top, "a", EntryKind::kUnusable, kHuge, {kMin, 999999999}, {0600, 7, 8});
  list.add(top, "b", EntryKind::kFile, std::uint64_t{1} << 32, {kMax, 0}, {0640, 299, 299});
  list.add(top, "c", EntryKind::kFile, 0xffffffffu, {-1, 1});
  for (std::uint32_t i = 0; i < 300; i += 7) {
    EXPECT_EQ(list.file_size(list[i]), i);
    EXPECT_EQ(list.last_write(list[i]), (FileTime{i, i}));
    EXPECT_EQ(list.file_attributes(list[i]), (Attributes{i, i, i}));
  }
  list.add(top, "d", EntryKind::kFile, 1, {0xffffffffLL, 999999999}, {299, 299, 299});
  EXPECT_EQ(list.file_attributes(list[300]), (Attributes{0600, 7, 8}));
  EXPECT_EQ(list.file_attributes(list[301]), (Attributes{0640, 299, 299}));
  EXPECT_EQ(list.file_attributes(list[303]), (Attributes{299, 299, 299}));
  EXPECT_EQ(list.last_write(list[303]), (FileTime{0xffffffffLL, 999999999}));
  EXPECT_EQ(list.file_size(list[300]), kHuge);
  EXPECT_EQ(list[300].kind(), EntryKind::kUnusable) << "beside the largest nanoseconds";
  EXPECT_EQ(list.last_write(list[300]), (FileTime{kMin, 999999999}));
  EXPECT_EQ(list.file_size(list[301]), std::uint64_t{1} << 32);
  EXPECT_EQ(list.last_write(list[301]), (FileTime{kMax, 0}));
  EXPECT_EQ(list.file_size(list[302]), 0xffffffffu);
  EXPECT_EQ(list.last_write(list[302]), (FileTime{-1, 1}));
  list.add(top, "e", EntryKind::kDirectoryLink, 0, {0, 999999999});
  EXPECT_EQ(list[304].kind(), EntryKind::kSymlink) << "a directory link is held as a link, never as a file";

  // Times counted from 1601, as Windows counts them, with far ones after.
  EntryList windows("C:\\r\\");
  windows.add(windows.add_directory("", {}), "w", EntryKind::kFile, 0, {13'400'000'000, 5});
  for (const std::int64_t t : {kMin, kMax, std::int64_t{0}, std::int64_t{13'400'000'000 + (1LL << 31)}})
    windows.add(0, "x", EntryKind::kFile, 0, {t, 1});
  EXPECT_EQ(windows.last_write(windows[0]), (FileTime{13'400'000'000, 5}));
  EXPECT_EQ(windows.last_write(windows[1]), (FileTime{kMin, 1}));
  EXPECT_EQ(windows.last_write(windows[2]), (FileTime{kMax, 1}));
  EXPECT_EQ(windows.last_write(windows[3]), (FileTime{0, 1}));
  EXPECT_EQ(windows.last_write(windows[4]), (FileTime{13'400'000'000 + (1LL << 31), 1}));
}

TEST(EntryList, KeepsEachDirectorysAttributes) {
  EntryList list("/r/");
  list.add_directory("", {0755, 1, 2});
  const auto sub = list.add_directory("s/", {0700, 3, 4});
  list.add(sub, "f", EntryKind::kFile, 0, {});
  EXPECT_EQ(list.directory(list[0]), "s/");
  EXPECT_EQ(list.attributes(sub), (Attributes{0700, 3, 4}));
  EXPECT_EQ(list.attributes(0), (Attributes{0755, 1, 2}));
}

}  // namespace
}  // namespace qmr
