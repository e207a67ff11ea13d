// A destination and a source in the fake file system, scanned, planned and
// carried out as a run does: the fixture of the plan and executor suites.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "inventory/scan.h"
#include "sync/equality.h"
#include "sync/execute.h"
#include "support/captured_output.h"
#include "support/fake_fs.h"

namespace qmr {

using Log = std::vector<std::string>;

class Passes : public ::testing::Test {
 protected:
  Passes() : console_({false, false}, out_.file(), err_.file()) {}

  void SetUp() override {
    fs_.add_file("/s/new.txt", 1, 10);
    fs_.add_file("/s/same.txt", 2, 20);
    fs_.add_file("/s/diff.txt", 3, 30);
    fs_.add_file("/d/SAME.TXT", 2, 20);
    fs_.add_file("/d/diff.txt", 3, 31);  // a newer destination is still replaced
    fs_.add_file("/d/orphan.txt", 4, 40);
    fs_.add_file("/d/old/gone.txt", 5, 50);
  }

  // Scans both trees, plans and carries the plan out as a run does; returns
  // the failures.
  size_t run(SyncMode mode, bool recurse = true, const PatternList& include = {}) {
    EntryList source("/s/");
    scan_tree(fs_, source, {include, {}, recurse});
    EntryList dest("/d/");
    scan_tree(fs_, dest, {all_files_list, {}, recurse});
    const Plan plan = make_plan(source, dest, mode, time_step(dest));
    return execute_plan(plan, source, dest, fs_, console_, {false, workers_}).failed;
  }

  // The lines a preview of the same run prints.
  std::string preview(SyncMode mode) {
    EntryList source("/s/");
    scan_tree(fs_, source, {{}, {}, true});
    EntryList dest("/d/");
    scan_tree(fs_, dest, {all_files_list, {}, true});
    test::CapturedOutput out;
    preview_plan(make_plan(source, dest, mode, time_step(dest)), source, dest, fs_,
                 Console({false, false}, out.file()));
    return out.text();
  }

  test::FakeFileSystem fs_;
  test::CapturedOutput out_;
  test::CapturedOutput err_;
  Console console_;
  unsigned workers_ = 1;
};

// A tree of many directories with every kind of action, and failures among them.
inline std::string numbered(const char* prefix, int n) {
  std::string text(prefix);
  text += std::to_string(n);
  return text;
}

inline void fill_busy_tree(test::FakeFileSystem& fs) {
  for (int d = 0; d < 40; ++d) {
    const std::string dir = numbered("/dir", d) + numbered("/sub", d % 3) + "/";
    for (int f = 0; f < 12; ++f) {
      const std::string name = numbered("f", f);
      fs.add_file("/s" + dir + name, 1, f % 4 == 0 ? 1 : 2);
      if (f % 3 != 0) fs.add_file("/d" + dir + name, 1, 1);
      if (f % 5 == 0) fs.add_file("/d" + dir + "gone" + name, 1, 1);
    }
    if (d % 7 == 0) fs.add_file(numbered("/d/only", d) + "/x", 1, 1);
    if (d % 6 == 0) fs.add_file("/d" + dir + ".qmr-0a1b2c3d.tmp", 1, 1);
  }
  fs.fail_copy.insert("/s/dir4/sub1/f7");
  fs.fail_remove.insert("/d/dir9/sub0/gonef5");
}

}  // namespace qmr
