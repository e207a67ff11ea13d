// The runner of a preview: a file system that reads through to the real one
// and changes nothing. Every task that would change the destination succeeds
// without doing anything, so that the executor, run over it, prints the very
// lines and counts a real run would, each ended by "Planned.".
//
// Threads: as the file system it reads through to.
#pragma once

#include "platform/platform.h"

namespace qmr {

class DryRunFileSystem final : public FileSystem {
 public:
  explicit DryRunFileSystem(FileSystem& real) : real_(real) {}

  const PathStyle& path_style() const override { return real_.path_style(); }
  RootStatus open_root(const std::string& root) override { return real_.open_root(root); }
  void list_directory(const std::string& root, std::string_view relative_dir, Listing& listing) override {
    real_.list_directory(root, relative_dir, listing);
  }
  std::optional<FileId> identity(const std::string& path) override { return real_.identity(path); }
  Lineage lineage(const std::string& path) override { return real_.lineage(path); }
  std::string resolve_path(const std::string& path) override { return real_.resolve_path(path); }
  std::string stored_spelling(const std::string& resolved) override { return real_.stored_spelling(resolved); }
  bool keeps_owners() const override { return real_.keeps_owners(); }
  int interrupted() const override { return real_.interrupted(); }
  // Nothing is written, so no directory needs opening.
  std::optional<std::uint32_t> bound_user() const override { return std::nullopt; }

  Outcome make_root(const std::string&) override { return Outcome::success(); }
  RootProbe probe_roots(const std::string&, const std::string&) override { return {}; }
  DirectoryMade make_directory(const std::string&, std::string_view) override { return DirectoryMade::kExisted; }
  Outcome set_attributes(const std::string&, std::string_view, const Attributes&) override {
    return Outcome::success();
  }
  Outcome set_file_attributes(const std::string&, std::string_view, const Attributes&, bool& changed) override {
    changed = true;
    return Outcome::success();
  }
  bool set_directory_time(const std::string&, std::string_view, FileTime) override { return true; }
  Outcome set_directory_mode(const std::string&, std::string_view, std::uint32_t) override {
    return Outcome::success();
  }
  Outcome stage_copy(const CopyOrder& order, std::unique_ptr<StagedCopy>& staged) override;
  Outcome remove_file(const std::string&, std::string_view) override { return Outcome::success(); }
  bool remove_directory(const std::string&, std::string_view) override { return false; }
  bool remove_stale_temporary(const std::string&, std::string_view) override { return true; }

 private:
  FileSystem& real_;
};

}  // namespace qmr
