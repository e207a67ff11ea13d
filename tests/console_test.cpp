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
  const Console console({false, false}, out.file());
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
  const Console console({true, true}, out.file(), out.file());
  console.banner();
  console.report("Copy:\t%s...\t", "a");
  console.outcome(true);
  console.reason("copy", "a", "No space left on device");
  EXPECT_EQ(out.text(), "");
  print_banner(out.file());
  EXPECT_EQ(out.text(), "Quenmire. Version 1.02\n");
}

TEST(Console, ATerminalSeesHalfLinesAndAFileEveryCompletedLine) {
  Captured interactive;
  Console(ConsoleSettings{false, true}, interactive.file()).report("Copy:\t%s...\t", "big.iso");
  EXPECT_EQ(interactive.written(), "Copy:\tbig.iso...\t");
  // Into a file or pipe a half line stays buffered, but a complete line is
  // written out at once, so a killed run's log names every finished action.
  Captured log;
  const Console console({false, false}, log.file());
  console.banner();
  console.report("Copy:\t%s...\t", "big.iso");
  EXPECT_EQ(log.written(), "");
  console.outcome(true);
  EXPECT_EQ(log.written(), "Quenmire. Version 1.02\nCopy:\tbig.iso...\tOk.\n");
}

TEST(Console, ReasonsGoToTheErrorStreamAndPreviewsArePlanned) {
  Captured out;
  Captured err;
  const Console console({false, false}, out.file(), err.file());
  console.report("Copy:\t%s...\t", "/s/a");
  console.outcome(false);
  console.reason("copy", "/s/a", "/d/a: No space left on device");
  console.report("Delete:\t%s...\t", "/d/b");
  console.planned();
  EXPECT_EQ(out.text(), "Copy:\t/s/a...\tFail.\nDelete:\t/d/b...\tPlanned.\n");
  EXPECT_EQ(err.text(), "qmr: cannot copy /s/a: /d/a: No space left on device\n");
}

}  // namespace
}  // namespace qmr
