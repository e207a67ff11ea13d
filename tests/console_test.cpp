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
  Captured interactive;
  Console(false, true, interactive.file()).report("Copy:\t%s...\t", "big.iso");
  EXPECT_EQ(interactive.written(), "Copy:\tbig.iso...\t");
  // Into a file or pipe output stays buffered.
  Captured buffered;
  Console(false, false, buffered.file()).report("Copy:\t%s...\t", "big.iso");
  EXPECT_EQ(buffered.written(), "");
}

}  // namespace
}  // namespace qmr
