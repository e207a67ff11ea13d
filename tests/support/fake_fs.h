// An in-memory file system for testing the scan and the passes: files with size
// and time, directories, a log of every change made, and failures on request.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace qmr::test {

class FakeFileSystem final : public FileSystem {
 public:
  struct File {
    std::uint64_t size = 0;
    std::int64_t time = 0;
    EntryKind kind = EntryKind::kFile;
  };

  // Paths are absolute and use "/"; parents are made as needed.
  void add_file(const std::string& path, std::uint64_t size, std::int64_t time,
                EntryKind kind = EntryKind::kFile);
  void add_dir(const std::string& path);

  const PathStyle& path_style() const override { return kPosixPathStyle; }
  ListStatus list_directory(const std::string& dir, std::vector<DirEntry>& entries) override;
  bool copy_file(const std::string& from, const std::string& to) override;
  bool remove_file(const std::string& path) override;
  bool make_directory(const std::string& path) override;
  bool remove_directory(const std::string& path) override;
  std::string resolve_path(const std::string& path) override;

  std::map<std::string, File> files;
  std::set<std::string> dirs{"/"};
  // Paths whose operation fails.
  std::set<std::string> fail_list, fail_copy, fail_remove;
  // "copy FROM TO", "remove P", "mkdir D", "rmdir D", in the order done;
  // only changes that happened are logged.
  std::vector<std::string> log;
  // Links resolved by resolve_path: spelling prefix -> real prefix.
  std::map<std::string, std::string> aliases;

 private:
  bool has_children(const std::string& dir) const;
};

}  // namespace qmr::test
