#include "support/temp_tree.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace qmr::test {

TempTree::TempTree() {
  std::string pattern = (fs::temp_directory_path() / "qmr-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  root_ = pattern;
}

TempTree::~TempTree() {
  std::error_code ignored;
  // Restore permissions that a test took away so that everything can go.
  for (auto it = fs::recursive_directory_iterator(root_, ignored);
       it != fs::recursive_directory_iterator(); it.increment(ignored)) {
    if (it->is_directory(ignored) && !it->is_symlink(ignored)) ::chmod(it->path().c_str(), 0755);
  }
  ::chmod(root_.c_str(), 0755);
  fs::remove_all(root_, ignored);
  if (fs::exists(root_, ignored)) {
    // Trees deeper than the longest path the library can name.
    const std::string command = "rm -rf '" + root_ + "'";
    [[maybe_unused]] const int status = std::system(command.c_str());
  }
}

void TempTree::write(const std::string& relative, const std::string& content,
                     std::int64_t mtime_ns) {
  const fs::path file = path(relative);
  fs::create_directories(file.parent_path());
  std::ofstream(file, std::ios::binary | std::ios::trunc) << content;
  if (mtime_ns != 0) set_mtime_ns(file.string(), mtime_ns);
}

void TempTree::mkdir(const std::string& relative) { fs::create_directories(path(relative)); }

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

std::int64_t mtime_ns(const std::string& path) {
  struct stat st{};
  if (::lstat(path.c_str(), &st) != 0) return -1;
  return static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

void set_mtime_ns(const std::string& path, std::int64_t ns) {
  const struct timespec times[2] = {{ns / 1000000000, ns % 1000000000},
                                    {ns / 1000000000, ns % 1000000000}};
  if (::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0) {
    throw std::runtime_error("utimensat failed on " + path);
  }
}

mode_t mode_of(const std::string& path) {
  struct stat st{};
  ::lstat(path.c_str(), &st);
  return st.st_mode & 07777;
}

std::map<std::string, std::string> snapshot(const std::string& root, bool modes) {
  std::map<std::string, std::string> result;
  if (!fs::exists(root)) return result;
  std::error_code error;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator();
       it.increment(error)) {
    const std::string relative = it->path().lexically_relative(root).string();
    const std::string full = it->path().string();
    if (it->is_symlink()) {
      result[relative] = "->" + fs::read_symlink(it->path()).string() + "|" +
                         std::to_string(mtime_ns(full));
    } else if (it->is_directory()) {
      result[relative] = "<dir>";
    } else if (!it->is_regular_file()) {
      result[relative] = "<special>";  // a fifo is never opened: that would wait for a writer
    } else {
      result[relative] = read_file(full) + "|" + std::to_string(mtime_ns(full));
      if (modes) result[relative] += "|" + std::to_string(mode_of(full));
    }
  }
  return result;
}

}  // namespace qmr::test
