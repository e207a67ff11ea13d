// Real temporary directory trees for tests: made fresh under the system's temp
// directory, filled with files of chosen content and times, removed afterwards.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>

namespace qmr::test {

class TempTree {
 public:
  TempTree();
  ~TempTree();
  TempTree(const TempTree&) = delete;
  TempTree& operator=(const TempTree&) = delete;

  // Absolute path of the tree's root, without a trailing separator.
  const std::string& root() const { return root_; }
  std::string path(const std::string& relative) const { return root_ + "/" + relative; }

  // Writes a file (making its parent directories) with the given content and,
  // when `mtime_ns` is not 0, that last-write time.
  void write(const std::string& relative, const std::string& content, std::int64_t mtime_ns = 0);
  void mkdir(const std::string& relative);

 private:
  std::string root_;
};

std::string read_file(const std::string& path);
std::int64_t mtime_ns(const std::string& path);  // of the link itself for a link
void set_mtime_ns(const std::string& path, std::int64_t ns);
mode_t mode_of(const std::string& path);

// Every file and link below `root`, by relative path, as "content|mtime|mode"
// (a link: "->target|mtime"); directories as "<dir>". Used to prove that a run
// changed nothing at all, or that two trees are equal. Without `modes` the
// permission bits are left out, for platforms that do not keep them.
std::map<std::string, std::string> snapshot(const std::string& root, bool modes = true);

}  // namespace qmr::test
