#include "support/fake_fs.h"

#include <algorithm>

#include "platform/ascii.h"

namespace qmr::test {

namespace {

std::string trim(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

std::string parent(const std::string& path) {
  const size_t cut = path.find_last_of('/');
  return cut == 0 ? "/" : path.substr(0, cut);
}

std::string base(const std::string& path) { return path.substr(path.find_last_of('/') + 1); }

}  // namespace

void FakeFileSystem::add_dir(const std::string& path) {
  for (std::string dir = trim(path); dirs.insert(dir).second; dir = parent(dir)) {
  }
}

void FakeFileSystem::add_file(const std::string& path, std::uint64_t size, std::int64_t time,
                              EntryKind kind) {
  add_dir(parent(path));
  files[path] = File{size, time, kind};
}

ListStatus FakeFileSystem::list_directory(const std::string& dir, std::vector<DirEntry>& entries) {
  entries.clear();
  const std::string key = trim(dir);
  if (fail_list.count(key) != 0) return ListStatus::kUnreadable;
  if (dirs.count(key) == 0) return ListStatus::kMissing;
  for (const std::string& d : dirs) {
    if (d != key && parent(d) == key) entries.push_back({base(d), EntryKind::kDirectory, 0, 0});
  }
  for (const auto& [path, file] : files) {
    if (parent(path) == key) entries.push_back({base(path), file.kind, file.size, file.time});
  }
  std::sort(entries.begin(), entries.end(), [](const DirEntry& a, const DirEntry& b) {
    return compare_folded_then_exact(a.name, b.name) < 0;
  });
  return ListStatus::kOk;
}

bool FakeFileSystem::copy_file(const std::string& from, const std::string& to) {
  const auto source = files.find(from);
  if (source == files.end() || fail_copy.count(from) != 0 || fail_copy.count(to) != 0 ||
      dirs.count(parent(to)) == 0 || dirs.count(to) != 0) {
    return false;
  }
  files[to] = source->second;
  log.push_back("copy " + from + " " + to);
  return true;
}

bool FakeFileSystem::remove_file(const std::string& path) {
  if (fail_remove.count(path) != 0 || files.erase(path) == 0) return false;
  log.push_back("remove " + path);
  return true;
}

bool FakeFileSystem::make_directory(const std::string& path) {
  const std::string dir = trim(path);
  if (dirs.count(dir) != 0 || files.count(dir) != 0 || dirs.count(parent(dir)) == 0) return false;
  dirs.insert(dir);
  log.push_back("mkdir " + dir);
  return true;
}

bool FakeFileSystem::has_children(const std::string& dir) const {
  for (const std::string& d : dirs) {
    if (d != dir && parent(d) == dir) return true;
  }
  for (const auto& entry : files) {
    if (parent(entry.first) == dir) return true;
  }
  return false;
}

bool FakeFileSystem::remove_directory(const std::string& path) {
  const std::string dir = trim(path);
  if (dir == "/" || dirs.count(dir) == 0 || has_children(dir)) return false;
  dirs.erase(dir);
  log.push_back("rmdir " + dir);
  return true;
}

std::string FakeFileSystem::resolve_path(const std::string& path) {
  std::string resolved = trim(path);
  for (const auto& [spelling, real] : aliases) {
    if (resolved.rfind(spelling, 0) == 0) resolved = real + resolved.substr(spelling.size());
  }
  return resolved;
}

}  // namespace qmr::test
