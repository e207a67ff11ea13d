#include "sync/totals.h"

#include <cstdio>
#include <utility>

namespace qmr {

std::string summary_line(const RunTotals& totals, int stop_signal, std::chrono::steady_clock::duration elapsed) {
  const auto count = [](std::uint64_t n) { return std::to_string(n); };
  std::string line = "Summary: " + count(totals.copied) + " copied (" + count(totals.copied_bytes) + " bytes), " +
                     count(totals.deleted) + " deleted, " + count(totals.failed) + " failed, " +
                     count(totals.unchanged) + " unchanged, " + count(totals.attributes) + " attributes";
  for (const auto& [n, what] : {std::pair{totals.renamed, " renamed"}, {totals.linked, " linked"},
                                {totals.not_kept, " not kept"}}) {
    if (n != 0) line += ", " + count(n) + what;
  }
  if (stop_signal != 0) line += ", stopped by signal " + std::to_string(stop_signal);
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count();
  char time[32];
  std::snprintf(time, sizeof time, ", %lld.%03lld s", static_cast<long long>(ms / 1000),
                static_cast<long long>(ms % 1000));
  return line + time;
}

void count_action(RunTotals& totals, const Action& action, const EntryList& source) {
  if (action.kind() != ActionKind::kCopy) {
    ++totals.deleted;
    return;
  }
  ++totals.copied;
  totals.copied_bytes += source.file_size(source[action.entry]);
}

}  // namespace qmr
