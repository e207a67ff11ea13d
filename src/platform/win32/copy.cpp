// Windows copies: the file is copied to a temporary beside the target and
// moved over the target when the copy is committed; read-only, hidden and
// system marks of a target that stays are put back. CopyFileEx does the copy
// where it honours a stop; elsewhere (Wine) the copy goes in chunks that
// check for one.

#include "platform/native.h"
#include "platform/temporary_name.h"
#include "platform/win32/internal.h"

namespace qmr {

using namespace win32;

namespace {


constexpr DWORD kChunk = DWORD{8} << 20;

// Copies `from` into the new file `to` a chunk at a time, keeping what
// CopyFileEx keeps of a plain file: the content, the last-write time and the
// read-only, hidden, system and archive marks. False with the last error set.
bool copy_in_chunks(const std::wstring& from, const std::wstring& to,
                    const std::function<void(std::uint64_t)>& progress) {
  const HANDLE in = CreateFileW(from.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (in == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(in, &info)) {
    const DWORD error = GetLastError();
    CloseHandle(in);
    SetLastError(error);
    return false;
  }
  const HANDLE out =
      CreateFileW(to.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (out == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    CloseHandle(in);
    SetLastError(error);
    return false;
  }
  std::string buffer(kChunk, '\0');
  DWORD error = ERROR_SUCCESS;
  std::uint64_t done = 0;
  for (;;) {
    if (pending_interrupt() != 0) {
      error = ERROR_REQUEST_ABORTED;
      break;
    }
    DWORD got = 0;
    if (!ReadFile(in, buffer.data(), kChunk, &got, nullptr)) {
      error = GetLastError();
      break;
    }
    if (got == 0) break;
    DWORD put = 0;
    if (!WriteFile(out, buffer.data(), got, &put, nullptr) || put != got) {
      error = put != got && GetLastError() == ERROR_SUCCESS ? ERROR_WRITE_FAULT : GetLastError();
      break;
    }
    done += got;
    if (progress) progress(done);
  }
  // The time and the marks through the open handle: under Wine every open
  // by path walks the whole path again.
  FILE_BASIC_INFO basic{};
  basic.LastWriteTime.LowPart = info.ftLastWriteTime.dwLowDateTime;
  basic.LastWriteTime.HighPart = static_cast<LONG>(info.ftLastWriteTime.dwHighDateTime);
  const DWORD marks = info.dwFileAttributes & kKeptMarks;
  basic.FileAttributes = marks != 0 ? marks : FILE_ATTRIBUTE_NORMAL;
  if (error == ERROR_SUCCESS && !SetFileInformationByHandle(out, FileBasicInfo, &basic, sizeof basic)) {
    error = GetLastError();
  }
  CloseHandle(in);
  if (!CloseHandle(out) && error == ERROR_SUCCESS) error = GetLastError();
  if (error == ERROR_SUCCESS) return true;
  SetFileAttributesW(to.c_str(), FILE_ATTRIBUTE_NORMAL);
  DeleteFileW(to.c_str());
  SetLastError(error);
  return false;
}

// Tells the copy's progress from CopyFileEx's own chunks.
DWORD CALLBACK on_copy_progress(LARGE_INTEGER, LARGE_INTEGER transferred, LARGE_INTEGER, LARGE_INTEGER,
                                DWORD, DWORD, HANDLE, HANDLE, LPVOID data) {
  const auto& progress = *static_cast<const std::function<void(std::uint64_t)>*>(data);
  progress(static_cast<std::uint64_t>(transferred.QuadPart));
  return PROGRESS_CONTINUE;
}

bool copy_to_temporary(const std::wstring& from, const std::wstring& to,
                       const std::function<void(std::uint64_t)>& progress) {
  if (cancel_is_honoured()) {
    return CopyFileExW(from.c_str(), to.c_str(), progress ? on_copy_progress : nullptr,
                       const_cast<std::function<void(std::uint64_t)>*>(&progress), copy_cancel_flag(),
                       COPY_FILE_FAIL_IF_EXISTS) != 0;
  }
  return copy_in_chunks(from, to, progress);
}

class WindowsStagedCopy final : public StagedCopy {
 public:
  WindowsStagedCopy(std::wstring temporary, std::wstring to_native, std::string to, bool replace,
                    bool target_is_link)
      : temporary_(std::move(temporary)), to_native_(std::move(to_native)), to_(std::move(to)),
        replace_(replace), target_is_link_(target_is_link) {}
  ~WindowsStagedCopy() override {
    if (temporary_.empty()) return;
    SetFileAttributesW(temporary_.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(temporary_.c_str());
  }
  WindowsStagedCopy(const WindowsStagedCopy&) = delete;
  WindowsStagedCopy& operator=(const WindowsStagedCopy&) = delete;

  Outcome commit() override {
    const std::wstring& to_native = to_native_;
    // A read-only, hidden or system target would refuse to be replaced; its
    // marks are put back if it stays. A link's marks are its target's: never
    // touched.
    const DWORD old_attributes = target_is_link_ || !replace_ ? INVALID_FILE_ATTRIBUTES
                                                                : GetFileAttributesW(to_native.c_str());
    if (old_attributes != INVALID_FILE_ATTRIBUTES) {
      SetFileAttributesW(to_native.c_str(), FILE_ATTRIBUTE_NORMAL);
    }
    if (MoveFileExW(temporary_.c_str(), to_native.c_str(), replace_ ? MOVEFILE_REPLACE_EXISTING : 0)) {
      temporary_.clear();
      return Outcome::success();
    }
    const DWORD error = GetLastError();
    if (old_attributes != INVALID_FILE_ATTRIBUTES) {
      SetFileAttributesW(to_native.c_str(), old_attributes);
    }
    return Outcome::failure(why(to_, error));
  }

 private:
  std::wstring temporary_;  // empty once it is in place
  std::wstring to_native_;
  std::string to_;
  bool replace_;
  bool target_is_link_;
};

// Why a copy failed, blaming the file that did: a source that cannot be read
// (held by another program, say) is named as the source.
Outcome copy_failure(const std::wstring& from_native, const std::string& from, const std::string& to, DWORD error) {
  if (pending_interrupt() != 0) return Outcome::failure("interrupted");
  if (error == ERROR_FILE_EXISTS) return Outcome::failure(why(to, error));
  const HANDLE source = CreateFileW(from_native.c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                    0, nullptr);
  if (source == INVALID_HANDLE_VALUE) return Outcome::failure(why(from, GetLastError()));
  CloseHandle(source);
  return Outcome::failure(why(to, error));
}

}  // namespace

namespace os {

Outcome stage_entry(NativeFileSystem::State& state, const CopyOrder& order, std::unique_ptr<StagedCopy>& staged) {
  if (pending_interrupt() != 0) return Outcome::failure("interrupted");
  const std::string from = order.source_root + order.source_relative;
  const std::string& root = order.dest_root;
  const std::string_view relative = order.dest_relative;
  const std::string to = root + order.dest_relative;
  const std::string_view dir = parent_part(relative);
  if (!state.plain_below(root, dir)) return Outcome::failure(why(root + std::string(dir), GetLastError()));
  if (!state.plain_below(order.source_root, parent_part(order.source_relative))) {
    return Outcome::failure(why(from, GetLastError()));
  }
  const std::wstring from_native = state.below(order.source_root, order.source_relative);
  const DWORD source_attributes = GetFileAttributesW(from_native.c_str());
  if (source_attributes != INVALID_FILE_ATTRIBUTES &&
      (source_attributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
    return Outcome::failure(from + ": no longer a regular file");
  }
  const std::wstring to_native = state.below(root, relative);
  if (!order.replace && GetFileAttributesW(to_native.c_str()) != INVALID_FILE_ATTRIBUTES) {
    return Outcome::failure(why(to, ERROR_FILE_EXISTS));
  }
  const auto progress = state.pauses.chunks(order.progress);
  std::wstring temporary;
  DWORD error = ERROR_FILE_EXISTS;
  with_temporary_name(GetCurrentProcessId(), [&](const std::string& name) {
    std::wstring drawn = state.below(root, std::string(dir) + name);
    if (copy_to_temporary(from_native, drawn, progress)) {
      temporary = std::move(drawn);
      return NameTry::kDone;
    }
    error = GetLastError();
    if (error == ERROR_FILE_EXISTS) return NameTry::kTaken;
    DeleteFileW(drawn.c_str());
    return NameTry::kDone;
  });
  if (temporary.empty()) return copy_failure(from_native, from, to, error);
  const bool target_is_link = order.replace && leads_elsewhere(state, root, relative);
  staged = std::make_unique<WindowsStagedCopy>(std::move(temporary), to_native, to, order.replace, target_is_link);
  // A copy finished by a copier that ignores the cancel flag is dropped.
  if (pending_interrupt() != 0) {
    staged.reset();
    return Outcome::failure("interrupted");
  }
  return Outcome::success();
}


}  // namespace os

}  // namespace qmr
