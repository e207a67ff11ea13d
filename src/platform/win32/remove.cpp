// Windows removal: files, links and junctions below a root, each through
// one handle or as one entry, so that what a link leads to is never touched.

#include "platform/temporary_name.h"
#include "platform/wide_text.h"
#include "platform/win32/internal.h"

namespace qmr {

namespace win32 {

Outcome remove_link(const std::wstring& target, const std::string& path) {
  const std::wstring dir = target.substr(0, target.rfind(L'\\') + 1);
  std::wstring placeholder;
  DWORD error = ERROR_FILE_EXISTS;
  with_temporary_name(GetCurrentProcessId(), [&](const std::string& name) {
    const std::wstring drawn = dir + wide(name);
    const HANDLE made = CreateFileW(drawn.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                                    nullptr);
    if (made == INVALID_HANDLE_VALUE) {
      error = GetLastError();
      return error == ERROR_FILE_EXISTS ? NameTry::kTaken : NameTry::kDone;
    }
    CloseHandle(made);
    placeholder = drawn;
    return NameTry::kDone;
  });
  if (placeholder.empty()) return Outcome::failure(why(path, error));
  // Renaming over a name replaces the name itself, never what it leads to.
  if (!MoveFileExW(placeholder.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING)) {
    error = GetLastError();
    DeleteFileW(placeholder.c_str());
    return Outcome::failure(why(path, error));
  }
  if (!DeleteFileW(target.c_str())) return Outcome::failure(why(path, GetLastError()));
  return Outcome::success();
}

Outcome remove_directory_link(const std::wstring& target, const std::string& path, DWORD attributes) {
  // Only a link is deleted as an entry; a real directory here is not ours to
  // remove as a file.
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) return Outcome::failure(why(path, ERROR_ACCESS_DENIED));
  // The link itself, opened without following it, marked for deletion. Where
  // the system follows it anyway (a Linux link seen through Wine), the handle
  // is its target's, which must not be touched.
  const HANDLE link = CreateFileW(target.c_str(), DELETE | FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                  nullptr);
  if (link == INVALID_HANDLE_VALUE) return Outcome::failure(why(path, GetLastError()));
  const HANDLE followed = open_for_query(target);
  const std::optional<FileId> link_id = id_of_handle(link);
  const std::optional<FileId> target_id =
      followed == INVALID_HANDLE_VALUE ? std::nullopt : id_of_handle(followed);
  if (followed != INVALID_HANDLE_VALUE) CloseHandle(followed);
  if (!link_id || (target_id && *link_id == *target_id)) {
    CloseHandle(link);
    return remove_link(target, path);
  }
  FILE_DISPOSITION_INFO disposition{TRUE};
  const bool marked = SetFileInformationByHandle(link, FileDispositionInfo, &disposition, sizeof disposition);
  const DWORD error = GetLastError();
  CloseHandle(link);
  if (!marked) return Outcome::failure(why(path, error));
  if (GetFileAttributesW(target.c_str()) != INVALID_FILE_ATTRIBUTES) {
    return Outcome::failure(why(path, ERROR_ACCESS_DENIED));
  }
  return Outcome::success();
}

}  // namespace win32

using namespace win32;

namespace {

constexpr DWORD kAttributeAccess = FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Gives the open file these marks; its times stay as they are.
bool set_marks(HANDLE file, DWORD marks) {
  FILE_BASIC_INFO basic{};
  basic.FileAttributes = marks == 0 ? FILE_ATTRIBUTE_NORMAL : marks;
  return SetFileInformationByHandle(file, FileBasicInfo, &basic, sizeof basic) != 0;
}

// True when the open file `now` is the file whose identity was `before`, or,
// where the system gives none, still stands under the name `name` exactly.
bool same_file(HANDLE now, const std::optional<FileId>& before, std::wstring_view name) {
  const std::optional<FileId> id = id_of_handle(now);
  if (before && id && before->index != 0 && id->index != 0) return *before == *id;
  const std::wstring final = final_path_of(now);
  return final.size() >= name.size() && final.compare(final.size() - name.size(), name.size(), name) == 0;
}

// Deletes the file `target` through one handle: a read-only mark is lifted,
// and given back on failure, through that handle, and the deletion is judged
// on that file. A later lookup of the name could find another one: where
// names are found regardless of case, a neighbour spelled in another case,
// whose marks must never change.
Outcome remove_through_handle(const std::wstring& target, const std::string& path) {
  const HANDLE file = CreateFileW(target.c_str(), DELETE | kAttributeAccess, kShareAll, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) return Outcome::failure(why(path, GetLastError()));
  FILE_BASIC_INFO basic{};
  const DWORD marks = GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof basic)
                          ? basic.FileAttributes & ~FILE_ATTRIBUTE_NORMAL
                          : 0;
  const std::optional<FileId> id = id_of_handle(file);
  const bool lifted = (marks & FILE_ATTRIBUTE_READONLY) != 0 && set_marks(file, marks & ~FILE_ATTRIBUTE_READONLY);
  FILE_DISPOSITION_INFO disposition{TRUE};
  const bool marked = SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition) != 0;
  const DWORD error = GetLastError();
  if (!marked && lifted) set_marks(file, marks);
  CloseHandle(file);
  if (!marked) return Outcome::failure(why(path, error));
  // Some file systems report a deletion they did not do: the file must be
  // gone, or pending deletion while another program holds it (then it cannot
  // be opened at all).
  const HANDLE again = CreateFileW(target.c_str(), kAttributeAccess, kShareAll, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (again == INVALID_HANDLE_VALUE) return Outcome::success();
  const std::wstring_view name(target.c_str() + target.rfind(L'\\') + 1);
  const bool remains = same_file(again, id, name);
  if (remains && lifted) set_marks(again, marks);
  CloseHandle(again);
  return remains ? Outcome::failure(why(path, ERROR_ACCESS_DENIED)) : Outcome::success();
}

}  // namespace

Outcome NativeFileSystem::remove_file(const std::string& root, std::string_view relative) {
  state_->pauses.at(PausePoint::kRemove);
  const std::string path = root + std::string(relative);
  if (!state_->plain_below(root, parent_part(relative))) return Outcome::failure(why(path, GetLastError()));
  const std::wstring target = state_->below(root, relative);
  const DWORD attributes = GetFileAttributesW(target.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return remove_directory_link(target, path, attributes);
  }
  if (leads_elsewhere(*state_, root, relative)) return remove_link(target, path);
  return remove_through_handle(target, path);
}

bool NativeFileSystem::remove_directory(const std::string& root, std::string_view relative_dir) {
  if (relative_dir.empty()) return false;  // the root stays
  if (!state_->plain_below(root, relative_dir)) return false;
  if (!RemoveDirectoryW(state_->below(root, relative_dir).c_str())) return false;
  state_->forget();
  return true;
}

bool NativeFileSystem::remove_stale_temporary(const std::string& root, std::string_view relative) {
  // A copy in progress holds its temporary open without sharing deletion,
  // so the removal fails for exactly those.
  if (!state_->plain_below(root, parent_part(relative))) return false;
  const std::wstring path = state_->below(root, relative);
  if (leads_elsewhere(*state_, root, relative)) return false;
  SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
  return DeleteFileW(path.c_str()) != 0;
}

}  // namespace qmr
