// Windows roots: what a path names and, under Wine too, which directories
// hold it, whatever drive letters reach them.
#include <functional>

#include "platform/win32/internal.h"

namespace qmr {

using namespace win32;

std::optional<FileId> NativeFileSystem::identity(const std::string& path) {
  const HANDLE handle = open_for_query(path);
  if (handle == INVALID_HANDLE_VALUE) return std::nullopt;
  const std::optional<FileId> id = id_of_handle(handle);
  CloseHandle(handle);
  if (id && (id->volume == 0 || id->index == 0)) return std::nullopt;  // nothing to trust
  return id;
}

namespace {

// Under Wine, the host's own path of `path` (a drive letter mapped onto a
// host directory stays in it unresolved); empty elsewhere.
std::string host_path(const std::string& path) {
  using UnixName = char*(__cdecl*)(const wchar_t*);
  static const auto unix_name = reinterpret_cast<UnixName>(reinterpret_cast<void (*)()>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
  if (unix_name == nullptr) return {};
  size_t root_length = 0;
  char* name = unix_name(absolute_path(path, root_length).c_str());
  if (name == nullptr) return {};
  std::string result(name);
  HeapFree(GetProcessHeap(), 0, name);
  return result;
}

// Cuts the last name off `path`; false at the top ("C:\", "\\srv\share", "/").
bool cut_last_name(std::string& path, char separator) {
  while (path.size() > 1 && path.back() == separator) path.pop_back();
  const size_t cut = path.find_last_of(separator);
  if (cut == std::string::npos || path == "/") return false;
  if (separator == '\\') {
    if (path.size() <= 3 && path.size() >= 2 && path[1] == ':') return false;
    if (path.rfind("\\\\", 0) == 0 && std::count(path.begin(), path.end(), '\\') <= 3) return false;
  }
  path.resize(cut == 0 || (cut == 2 && path[1] == ':') ? cut + 1 : cut);
  return true;
}

// Opens `path` for its identity, or its nearest existing ancestor.
HANDLE open_nearest(std::string& path, char separator, const std::function<HANDLE(const std::string&)>& open,
                    bool& exists) {
  HANDLE handle = open(path);
  while (handle == INVALID_HANDLE_VALUE && cut_last_name(path, separator)) {
    exists = false;
    handle = open(path);
  }
  return handle;
}

// Under Wine no device number reaches a program, and the volume serial
// number follows the drive letter a directory is shown under (0 on tmpfs, so
// two mounts side by side can show one identity). The final path Wine gives a
// handle is the host's own path of the directory, shown under the drive
// that maps it best: one spelling for each directory.
std::optional<FileId> host_id(HANDLE handle) {
  const std::optional<std::uint64_t> index = index_of_handle(handle);
  const std::wstring final = final_path_of(handle);
  if (!index || final.empty()) return std::nullopt;
  return FileId{std::hash<std::wstring>{}(final), *index};
}

// The ids of `handle` and of each directory above it, reached by `parent`.
void climb(HANDLE handle, std::string at, const std::function<bool(std::string&)>& parent,
           const std::function<HANDLE(const std::string&)>& open,
           const std::function<std::optional<FileId>(HANDLE)>& identify, Lineage& lineage) {
  for (int depth = 0; handle != INVALID_HANDLE_VALUE && depth < 4096; ++depth) {
    const std::optional<FileId> id = identify(handle);
    CloseHandle(handle);
    if (!id || (!lineage.ids.empty() && lineage.ids.back() == *id)) return;
    lineage.ids.push_back(*id);
    handle = parent(at) ? open(at) : INVALID_HANDLE_VALUE;
  }
  if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
}

}  // namespace

// Under Wine the lineage is taken in the host's tree: a drive letter mapped
// onto a host directory gives other spellings, and another volume serial
// number, to the same directories. The host resolves each "..", so every
// parent is the true one, and each is known by its host path (see host_id).
Lineage NativeFileSystem::lineage(const std::string& path) {
  Lineage result;
  if (std::string host = host_path(path); !host.empty() && host[0] == '/') {
    const auto open = [](const std::string& p) { return open_for_query(L"\\\\?\\unix" + wide(p)); };
    const HANDLE handle = open_nearest(host, '/', open, result.exists);
    const auto up = [](std::string& p) {
      p += "/..";
      return true;
    };
    climb(handle, host, up, open, host_id, result);
    return result;
  }
  std::string at = resolve_path(path);
  const auto open = [](const std::string& p) { return open_for_query(p); };
  const HANDLE handle = open_nearest(at, '\\', open, result.exists);
  climb(handle, at, [](std::string& p) { return cut_last_name(p, '\\'); }, open, id_of_handle, result);
  return result;
}

}  // namespace qmr
