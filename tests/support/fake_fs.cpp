#include "support/fake_fs.h"

#include <cstdio>
#include <functional>

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

std::string join(const std::string& root, std::string_view relative) {
  return trim(root + std::string(relative));
}

}  // namespace

void FakeFileSystem::add_dir(const std::string& path, Attributes attributes) {
  std::string dir = trim(path);
  dirs[dir] = attributes;
  for (dir = parent(dir); dirs.count(dir) == 0; dir = parent(dir)) dirs[dir] = {};
}

void FakeFileSystem::add_file(const std::string& path, std::uint64_t size, FileTime time,
                              EntryKind kind) {
  if (dirs.count(parent(path)) == 0) add_dir(parent(path));
  files[path] = File{size, time, kind, {}};
}

std::string FakeFileSystem::mounted(const std::string& path, bool through_views) const {
  std::string real = trim(path);
  for (const auto& [at, shows] : mounts) {
    if (real == at || real.rfind(at + "/", 0) == 0) real = shows + real.substr(at.size());
  }
  if (!through_views) return real;
  for (const auto& [at, shows] : views) {
    if (real == at || real.rfind(at + "/", 0) == 0) real = shows + real.substr(at.size());
  }
  return real;
}

void FakeFileSystem::count_change() {
  if (interrupt_after_changes == 0) return;
  if (--interrupt_after_changes == 0) interrupt.store(2);
}

RootStatus FakeFileSystem::open_root(const std::string& root) {
  const std::lock_guard<std::recursive_mutex> lock(mutex_);
  RootStatus status;
  const std::optional<FileId> id = identity(root);
  if (!id || dirs.count(mounted(root)) == 0) {
    status.status = id ? ListStatus::kUnreadable : ListStatus::kMissing;
    status.reason = id ? "Not a directory" : "No such file or directory";
    return status;
  }
  status.id = *id;
  return status;
}

RootProbe FakeFileSystem::probe_roots(const std::string& source_root, const std::string& dest_root) {
  const std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (!writable(mounted(resolve_path(dest_root)))) return {false, "Permission denied"};
  return {mounted(resolve_path(source_root)) == mounted(resolve_path(dest_root)), {}};
}

bool FakeFileSystem::writable(const std::string& dir) const {
  const auto found = dirs.find(trim(dir));
  if (!user || found == dirs.end()) return true;
  const Attributes& a = found->second;
  return a.owner == *user ? (a.mode & 0300) == 0300 : (a.mode & 0003) == 0003;
}

Outcome FakeFileSystem::set_directory_mode(const std::string& root, std::string_view relative_dir,
                                           std::uint32_t mode) {
  const std::lock_guard<std::recursive_mutex> lock(mutex_);
  const std::string dir = join(root, relative_dir);
  const auto found = dirs.find(dir);
  if (found == dirs.end() || (user && found->second.owner != *user)) {
    return Outcome::failure(dir + ": Operation not permitted");
  }
  found->second.mode = mode;
  char octal[16];
  std::snprintf(octal, sizeof octal, "%o", mode);
  log.push_back("mode " + dir + " " + octal);
  return Outcome::success();
}

void FakeFileSystem::list_directory(const std::string& root, std::string_view relative_dir,
                                    Listing& listing) {
  const std::lock_guard<std::recursive_mutex> lock(mutex_);
  const std::string dir = root + std::string(relative_dir);
  listing.entries.clear();
  listing.status = ListStatus::kOk;
  listing.waited = listing_wait;
  listers.insert(std::this_thread::get_id());
  const std::string key = mounted(dir);
  if (fail_list.count(trim(dir)) != 0) {
    listing.status = ListStatus::kUnreadable;
    listing.reason = "Permission denied";
    return;
  }
  if (dirs.count(key) == 0) {
    listing.status = ListStatus::kMissing;
    listing.reason = "No such file or directory";
    return;
  }
  listing.id = *identity(dir);
  listing.attributes = dirs.at(key);
  if (const auto time = dir_times.find(key); time != dir_times.end()) listing.last_write = time->second;
  // Listed out of order, as real directories are.
  for (auto d = dirs.rbegin(); d != dirs.rend(); ++d) {
    if (d->first != key && parent(d->first) == key) {
      listing.entries.push_back({base(d->first), 0, {}, {}, EntryKind::kDirectory});
    }
  }
  for (auto f = files.rbegin(); f != files.rend(); ++f) {
    if (parent(f->first) == key) {
      listing.entries.push_back(
          {base(f->first), f->second.size, f->second.time, f->second.attributes, f->second.kind});
    }
  }
}

std::optional<FileId> FakeFileSystem::identity(const std::string& path) {
  const std::lock_guard<std::recursive_mutex> lock(mutex_);
  const std::string real = mounted(resolve_path(path));
  if (dirs.count(real) == 0 && files.count(real) == 0) return std::nullopt;
  return FileId{1, std::hash<std::string>()(mounted(resolve_path(path), false))};
}

Lineage FakeFileSystem::lineage(const std::string& path) {
  const std::lock_guard<std::recursive_mutex> lock(mutex_);
  Lineage result;
  std::string at = resolve_path(path);
  for (; !identity(at) && at != "/"; at = parent(at)) result.exists = false;
  for (;; at = parent(at)) {
    result.ids.push_back(*identity(at));
    if (at == "/") return result;
  }
}

bool FakeFileSystem::through_link(const std::string& root, std::string_view relative) const {
  std::string path = trim(root);
  size_t start = 0;
  for (size_t cut = relative.find('/'); cut != std::string_view::npos;
       start = cut + 1, cut = relative.find('/', start)) {
    path += '/';
    path.append(relative.substr(start, cut - start));
    const auto file = files.find(path);
    if (file != files.end()) return true;  // a link or a file where a directory should be
  }
  return false;
}

Outcome FakeFileSystem::make_root(const std::string& path) {
  const std::lock_guard<std::recursive_mutex> lock(mutex_);
  const std::string dir = trim(path);
  if (files.count(dir) != 0) return Outcome::failure(dir + ": Not a directory");
  std::vector<std::string> missing;
  for (std::string d = dir; dirs.count(d) == 0; d = parent(d)) {
    if (files.count(d) != 0) return Outcome::failure(d + ": Not a directory");
    missing.push_back(d);
  }
  for (auto d = missing.rbegin(); d != missing.rend(); ++d) {
    dirs[*d] = user ? Attributes{0755, *user, 0} : Attributes{};
    log.push_back("mkdir " + *d);
  }
  return Outcome::success();
}

DirectoryMade FakeFileSystem::make_directory(const std::string& root,
                                             std::string_view relative_dir) {
  const std::lock_guard<std::recursive_mutex> lock(mutex_);
  const std::string dir = join(root, relative_dir);
  if (through_link(root, relative_dir.substr(0, relative_dir.size() - 1))) return DirectoryMade::kFailed;
  if (dirs.count(dir) != 0) return DirectoryMade::kExisted;
  if (files.count(dir) != 0 || dirs.count(parent(dir)) == 0 || !writable(parent(dir))) {
    return DirectoryMade::kFailed;
  }
  dirs[dir] = {0700, user.value_or(0), 0};
  log.push_back("mkdir " + dir);
  return DirectoryMade::kCreated;
}

Outcome FakeFileSystem::set_file_attributes(const std::string& root, std::string_view relative,
                                           const Attributes& wanted, bool& changed) {
  const std::lock_guard<std::recursive_mutex> lock(mutex_);
  const std::string path = join(root, relative);
  changed = false;
  const auto found = files.find(path);
  if (found == files.end() || fail_copy.count(path) != 0) return Outcome::failure(path + ": Permission denied");
  if (found->second.attributes == wanted) return Outcome::success();
  found->second.attributes = wanted;
  changed = true;
  log.push_back("fattrs " + path + " " + std::to_string(wanted.mode));
  return Outcome::success();
}

bool FakeFileSystem::set_directory_time(const std::string& root, std::string_view relative_dir, FileTime time) {
  const std::lock_guard<std::recursive_mutex> lock(mutex_);
  const std::string dir = join(root, relative_dir);
  if (dirs.count(dir) == 0) return false;
  dir_times[dir] = time;
  return true;
}

Outcome FakeFileSystem::set_attributes(const std::string& root, std::string_view relative_dir,
                                       const Attributes& attributes) {
  const std::lock_guard<std::recursive_mutex> lock(mutex_);
  const std::string dir = join(root, relative_dir);
  if (dirs.count(dir) == 0) return Outcome::failure(dir + ": No such file or directory");
  dirs[dir] = attributes;
  log.push_back("attrs " + dir + " " + std::to_string(attributes.mode));
  return Outcome::success();
}

namespace {

class FakeStagedCopy final : public StagedCopy {
 public:
  FakeStagedCopy(FakeFileSystem& fs, std::string from, std::string to, bool replace)
      : fs_(fs), from_(std::move(from)), to_(std::move(to)), replace_(replace) {}
  Outcome commit() override { return fs_.place(from_, to_, replace_); }

 private:
  FakeFileSystem& fs_;
  std::string from_, to_;
  bool replace_;
};

}  // namespace

Outcome FakeFileSystem::stage_copy(const CopyOrder& order, std::unique_ptr<StagedCopy>& staged) {
  const std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (interrupt.load() != 0) return Outcome::failure("interrupted");
  const std::string from = join(order.source_root, order.source_relative);
  const std::string to = join(order.dest_root, order.dest_relative);
  const auto source = files.find(from);
  if (source == files.end() || fail_copy.count(from) != 0) {
    return Outcome::failure(from + ": No such file or directory");
  }
  if (source->second.kind != order.kind) return Outcome::failure(from + ": no longer of its kind");
  if (fail_copy.count(to) != 0) return Outcome::failure(to + ": No space left on device");
  if (through_link(order.dest_root, order.dest_relative)) return Outcome::failure(to + ": Not a directory");
  if (dirs.count(parent(to)) == 0) return Outcome::failure(to + ": No such file or directory");
  if (!writable(parent(to))) return Outcome::failure(to + ": Permission denied");
  if (!order.replace && (files.count(to) != 0 || dirs.count(to) != 0)) {
    return Outcome::failure(to + ": File exists");
  }
  staged = std::make_unique<FakeStagedCopy>(*this, from, to, order.replace);
  return Outcome::success();
}

Outcome FakeFileSystem::place(const std::string& from, const std::string& to, bool replace) {
  const std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (dirs.count(to) != 0) return Outcome::failure(to + ": Is a directory");
  if (!replace && files.count(to) != 0) return Outcome::failure(to + ": File exists");
  files[to] = files.at(from);
  log.push_back("copy " + from + " " + to);
  count_change();
  return Outcome::success();
}

Outcome FakeFileSystem::remove_file(const std::string& root, std::string_view relative) {
  const std::lock_guard<std::recursive_mutex> lock(mutex_);
  const std::string path = join(root, relative);
  if (through_link(root, relative)) return Outcome::failure(path + ": Not a directory");
  if (fail_remove.count(path) != 0 || !writable(parent(path)) || files.erase(path) == 0) {
    return Outcome::failure(path + ": Permission denied");
  }
  log.push_back("remove " + path);
  count_change();
  return Outcome::success();
}

bool FakeFileSystem::remove_stale_temporary(const std::string& root, std::string_view relative) {
  const std::lock_guard<std::recursive_mutex> lock(mutex_);
  const std::string path = join(root, relative);
  if (fail_remove.count(path) != 0 || !writable(parent(path)) || files.erase(path) == 0) return false;
  log.push_back("debris " + path);
  return true;
}

bool FakeFileSystem::has_children(const std::string& dir) const {
  for (const auto& d : dirs) {
    if (d.first != dir && parent(d.first) == dir) return true;
  }
  for (const auto& entry : files) {
    if (parent(entry.first) == dir) return true;
  }
  return false;
}

bool FakeFileSystem::remove_directory(const std::string& root, std::string_view relative_dir) {
  const std::lock_guard<std::recursive_mutex> lock(mutex_);
  const std::string dir = join(root, relative_dir);
  if (relative_dir.empty() || dir == trim(root)) return false;
  if (dirs.count(dir) == 0 || has_children(dir) || !writable(parent(dir))) return false;
  dirs.erase(dir);
  log.push_back("rmdir " + dir);
  return true;
}

std::string FakeFileSystem::resolve_path(const std::string& path) {
  const std::lock_guard<std::recursive_mutex> lock(mutex_);
  std::string resolved = trim(path);
  for (const auto& [spelling, real] : aliases) {
    if (resolved.rfind(spelling, 0) == 0) resolved = real + resolved.substr(spelling.size());
  }
  // "." and ".." by their spelling, as the system does for names that do
  // not exist yet.
  std::vector<std::string> parts;
  for (size_t start = 1; start <= resolved.size();) {
    size_t end = resolved.find('/', start);
    if (end == std::string::npos) end = resolved.size();
    const std::string part = resolved.substr(start, end - start);
    start = end + 1;
    if (part.empty() || part == ".") continue;
    if (part != "..") {
      parts.push_back(part);
    } else if (!parts.empty()) {
      parts.pop_back();
    }
  }
  std::string normal;
  for (const std::string& part : parts) normal += "/" + part;
  return normal.empty() ? "/" : normal;
}

}  // namespace qmr::test
