#include "sync/passes.h"

#include "platform/ascii.h"
#include "sync/pairing.h"
#include "sync/paths.h"

namespace qmr {

namespace {

bool is_equal_pair(const FileEntry& d, const FileEntry& s) {
  return d.size == s.size && d.last_write == s.last_write;
}

// A destination file below a source directory that could not be read may well
// have a partner there; deleting it would lose the only copy we can see.
bool below_unread_source(std::string_view relative_path, const EntryList& source) {
  for (const ScanFailure& failure : source.failures()) {
    if (starts_with_ignoring_case(relative_path, failure.relative_dir)) return true;
  }
  return false;
}

bool delete_file(FileSystem& fs, const Console& console, const std::string& path) {
  console.report("Delete:\t%s...\t", path);
  const bool removed = fs.remove_file(path);
  console.outcome(removed);
  if (removed) {
    // The file's own directory goes too if that left it empty; it may be the
    // root, and the copy pass recreates whatever it needs.
    const size_t cut = path.find_last_of(fs.path_style().separator);
    if (cut != std::string::npos) fs.remove_directory(path.substr(0, cut));
  }
  return removed;
}

}  // namespace

size_t delete_pass(FileSystem& fs, const Console& console, SyncMode mode, const EntryList& dest,
                   EntryList& source, PartnerSpellings& spellings) {
  const SourceIndex index(source);
  size_t failures = 0;
  std::string relative;
  for (const FileEntry& d : dest) {
    relative = dest.directory(d);
    relative += dest.name(d);
    const size_t partner = index.find_partner(relative);
    if (partner != SourceIndex::kNoPartner) {
      FileEntry& s = source[partner];
      if (is_equal_pair(d, s) && mode != SyncMode::kCopyAll) s.set_needs_copy(false);
      if (s.needs_copy() && (source.name(s) != dest.name(d) ||
                           source.directory(s) != dest.directory(d))) {
        spellings.emplace(partner, relative);
      }
      continue;
    }
    if (mode == SyncMode::kCopyOnly || below_unread_source(relative, source)) continue;
    if (!delete_file(fs, console, dest.root() + relative)) ++failures;
  }
  return failures;
}

size_t copy_pass(FileSystem& fs, const Console& console, const EntryList& source,
                 const std::string& dest_root, const PartnerSpellings& spellings) {
  size_t failures = 0;
  // The last directory made sure of: files of one directory come in a run.
  const std::string* made_dir = nullptr;
  for (size_t i = 0; i < source.size(); ++i) {
    const FileEntry& s = source[i];
    if (!s.needs_copy()) continue;
    const std::string path = source.path(s);
    console.report("Copy:\t%s...\t", path);
    const std::string& dir = source.directory(s);
    const auto spelled = spellings.empty() ? spellings.end() : spellings.find(i);
    const std::string target = dest_root + (spelled != spellings.end()
                                                ? spelled->second
                                                : dir + std::string(source.name(s)));
    if (spelled != spellings.end() || made_dir != &dir) {
      make_path_dirs(fs, target, fs.path_style());
      made_dir = spelled != spellings.end() ? nullptr : &dir;
    }
    const bool copied = fs.copy_file(path, target);
    console.outcome(copied);
    if (!copied) ++failures;
  }
  return failures;
}

}  // namespace qmr
