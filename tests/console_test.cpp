#include "console/console.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "support/captured_output.h"

namespace qmr {
namespace {

using Captured = test::CapturedOutput;

TEST(Console, ProgressLineIsBuiltFromTwoReports) {
  Captured out;
  const Console console(false, false, out.file());
  console.banner();
  console.report("Copy:\t%s...\t", "/s/100% done %s %n.txt");
  console.outcome(true);
  console.report("Delete:\t%s...\t", "/d/x");
  console.outcome(false);
  EXPECT_EQ(out.text(),
            "Quenmire. Version 1.02\n"
            "Copy:\t/s/100% done %s %n.txt...\tOk.\n"
            "Delete:\t/d/x...\tFail.\n");
}

TEST(Console, QuietPrintsNothingButTheBannerFunctionStillWorks) {
  Captured out;
  const Console console(true, true, out.file());
  console.banner();
  console.report("Copy:\t%s...\t", "a");
  console.outcome(true);
  EXPECT_EQ(out.text(), "");
  print_banner(out.file());
  EXPECT_EQ(out.text(), "Quenmire. Version 1.02\n");
}

TEST(Console, InteractiveConsoleShowsTheActionBeforeItsOutcome) {
  Captured out;
  const Console console(false, true, out.file());
  console.report("Copy:\t%s...\t", "big.iso");
  // Read through a second handle: only flushed bytes are visible there.
  std::FILE* reader = std::fopen(("/proc/self/fd/" + std::to_string(fileno(out.file()))).c_str(),
                                 "rb");
  ASSERT_NE(reader, nullptr);
  char buffer[64] = {};
  const size_t n = std::fread(buffer, 1, sizeof buffer - 1, reader);
  std::fclose(reader);
  EXPECT_EQ(std::string(buffer, n), "Copy:\tbig.iso...\t");
}

}  // namespace
}  // namespace qmr
