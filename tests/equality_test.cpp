#include "sync/equality.h"

#include <gtest/gtest.h>

namespace qmr {
namespace {

constexpr std::int64_t kSecond = 1'000'000'000;

EntryList dest_with(std::initializer_list<FileTime> times, FileTime root_time) {
  EntryList list("/d/");
  const auto top = list.add_directory("", {});
  for (const FileTime& t : times) list.add(top, "f", EntryKind::kFile, 1, t);
  list.root_time = root_time;
  return list;
}

TEST(TimeStep, IsTheCoarsestStepEveryDestinationTimeKeeps) {
  EXPECT_EQ(time_step(dest_with({{10, 123456789}}, {11, 5})), 1);
  EXPECT_EQ(time_step(dest_with({{10, 1234500}, {3, 100}}, {11, 200})), 100);
  EXPECT_EQ(time_step(dest_with({{10, 120000000}, {3, 0}}, {11, 990000000})), 10'000'000);
  EXPECT_EQ(time_step(dest_with({{11, 0}, {3, 0}}, {12, 0})), kSecond);
  EXPECT_EQ(time_step(dest_with({{10, 0}, {-4, 0}}, {12, 0})), 2 * kSecond);
  // The root directory's own time alone tells a fine file system.
  EXPECT_EQ(time_step(dest_with({{10, 0}}, {12, 345})), 1);
  EXPECT_EQ(time_step(dest_with({}, {12, 0})), 2 * kSecond);
}

TEST(SameTime, ExactOnAFineDestinationAndCutToTheStepOnACoarseOne) {
  const FileTime source{1000, 987654321};
  EXPECT_TRUE(same_time(source, source, 1));
  EXPECT_FALSE(same_time({1000, 987654320}, source, 1)) << "a nanosecond destination is exact";
  struct Row {
    std::int64_t step;
    FileTime stored;
  };
  // What each kind of file system makes of the source's time, cut or rounded.
  const Row rows[] = {
      {100, {1000, 987654300}},          {10'000'000, {1000, 980000000}},
      {10'000'000, {1000, 990000000}},   {kSecond, {1000, 0}},
      {kSecond, {1001, 0}},              {2 * kSecond, {1000, 0}},
      {2 * kSecond, {1002, 0}},
  };
  for (const Row& row : rows) {
    EXPECT_TRUE(same_time(row.stored, source, row.step)) << row.step << " " << row.stored.seconds;
    EXPECT_FALSE(same_time(row.stored, source, 1)) << row.step;
  }
  // A change of a whole step or more is still seen.
  EXPECT_FALSE(same_time({1000, 0}, {1001, 500}, kSecond));
  EXPECT_FALSE(same_time({1000, 0}, {1002, 1}, 2 * kSecond));
  EXPECT_FALSE(same_time({1000, 0}, {999, 0}, kSecond));
  EXPECT_FALSE(same_time({1000, 980000000}, {1001, 0}, 10'000'000));
  // Rounding up across a second, and times before the epoch.
  EXPECT_TRUE(same_time({1001, 0}, {1000, 995000000}, 10'000'000));
  EXPECT_TRUE(same_time({-4, 0}, {-3, 500}, 2 * kSecond));
}

TEST(SameTime, HoldsOverTheWholeRangeWithoutOverflow) {
  // 2400-01-01 00:00:00.5 against the time that 64-bit nanoseconds would
  // wrap it to (1815-06-13 00:25:26.790448384).
  const FileTime future{13569465600, 500000000};
  const FileTime wrapped{-4877278474, 790448384};
  EXPECT_FALSE(same_time(wrapped, future, 1));
  EXPECT_FALSE(same_time(wrapped, future, 2 * kSecond));
  EXPECT_TRUE(same_time({13569465600, 0}, future, kSecond));
}

}  // namespace
}  // namespace qmr
