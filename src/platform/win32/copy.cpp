// Windows copies: CopyFileEx to a temporary beside the target, moved over
// the target when the copy is committed; read-only, hidden and system marks
// of a target that stays are put back.
#include <random>

#include "platform/temporary_name.h"
#include "platform/win32/internal.h"

namespace qmr {

using namespace win32;

namespace {

std::string next_temporary_name() {
  thread_local std::minstd_rand generator(GetCurrentProcessId() ^ GetTickCount());
  return temporary_name(generator);
}

class WindowsStagedCopy final : public StagedCopy {
 public:
  WindowsStagedCopy(std::wstring temporary, std::string to, bool replace)
      : temporary_(std::move(temporary)), to_(std::move(to)), replace_(replace) {}
  ~WindowsStagedCopy() override {
    if (temporary_.empty()) return;
    SetFileAttributesW(temporary_.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(temporary_.c_str());
  }
  WindowsStagedCopy(const WindowsStagedCopy&) = delete;
  WindowsStagedCopy& operator=(const WindowsStagedCopy&) = delete;

  Outcome commit() override {
    const std::wstring to_native = native(to_);
    // A read-only, hidden or system target would refuse to be replaced; its
    // marks are put back if it stays.
    const DWORD old_attributes = GetFileAttributesW(to_native.c_str());
    if (replace_ && old_attributes != INVALID_FILE_ATTRIBUTES) {
      SetFileAttributesW(to_native.c_str(), FILE_ATTRIBUTE_NORMAL);
    }
    if (MoveFileExW(temporary_.c_str(), to_native.c_str(), replace_ ? MOVEFILE_REPLACE_EXISTING : 0)) {
      temporary_.clear();
      return Outcome::success();
    }
    const DWORD error = GetLastError();
    if (replace_ && old_attributes != INVALID_FILE_ATTRIBUTES) {
      SetFileAttributesW(to_native.c_str(), old_attributes);
    }
    return Outcome::failure(why(to_, error));
  }

 private:
  std::wstring temporary_;  // empty once it is in place
  std::string to_;
  bool replace_;
};

}  // namespace

Outcome NativeFileSystem::stage_copy(const CopyOrder& order, std::unique_ptr<StagedCopy>& staged) {
  staged.reset();
  if (pending_interrupt() != 0) return Outcome::failure("interrupted");
  const std::string from = order.source_root + order.source_relative;
  const std::string& root = order.dest_root;
  const std::string_view relative = order.dest_relative;
  const std::string to = root + order.dest_relative;
  const std::string_view dir = parent_part(relative);
  if (!state_->plain_below(root, dir)) return Outcome::failure(why(root + std::string(dir), GetLastError()));
  if (!state_->plain_below(order.source_root, parent_part(order.source_relative))) {
    return Outcome::failure(why(from, GetLastError()));
  }
  const std::wstring from_native = native(from);
  const DWORD source_attributes = GetFileAttributesW(from_native.c_str());
  if (source_attributes != INVALID_FILE_ATTRIBUTES &&
      (source_attributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
    return Outcome::failure(from + ": no longer a regular file");
  }
  const std::wstring to_native = native(to);
  if (!order.replace && GetFileAttributesW(to_native.c_str()) != INVALID_FILE_ATTRIBUTES) {
    return Outcome::failure(why(to, ERROR_FILE_EXISTS));
  }
  for (int attempt = 0; attempt < 16; ++attempt) {
    std::wstring temporary = native(root + std::string(dir) + next_temporary_name());
    const BOOL copied = CopyFileExW(from_native.c_str(), temporary.c_str(), nullptr, nullptr,
                                    copy_cancel_flag(), COPY_FILE_FAIL_IF_EXISTS);
    const DWORD error = GetLastError();
    if (!copied) {
      if (error == ERROR_FILE_EXISTS) continue;
      DeleteFileW(temporary.c_str());
      if (pending_interrupt() != 0) return Outcome::failure("interrupted");
      if (error == ERROR_FILE_NOT_FOUND || error == ERROR_ACCESS_DENIED ||
          error == ERROR_SHARING_VIOLATION) {
        if (GetFileAttributesW(from_native.c_str()) == INVALID_FILE_ATTRIBUTES) {
          return Outcome::failure(why(from, error));
        }
      }
      return Outcome::failure(why(to, error));
    }
    staged = std::make_unique<WindowsStagedCopy>(std::move(temporary), to, order.replace);
    // A copy finished by a copier that ignores the cancel flag is dropped.
    if (pending_interrupt() != 0) {
      staged.reset();
      return Outcome::failure("interrupted");
    }
    return Outcome::success();
  }
  return Outcome::failure(why(to, ERROR_FILE_EXISTS));
}

}  // namespace qmr
