#include <windows.h>

#include "platform/locked_file.h"
#include "platform/windows_text.h"

namespace corvane {
namespace {

// The lock covers one byte far beyond any content, so that it never stands
// in the way of this handle's own reads and writes.
constexpr DWORD kLockOffsetHigh = 0x7FFFFFFF;

class WindowsLockedFile final : public LockedFile {
 public:
  WindowsLockedFile(HANDLE file, std::string path) : file_(file), path_(std::move(path)) {}
  ~WindowsLockedFile() override {
    OVERLAPPED at{};
    at.OffsetHigh = kLockOffsetHigh;
    UnlockFileEx(file_, 0, 1, 0, &at);
    CloseHandle(file_);
  }

  std::string readAll() override {
    std::string text;
    char block[65536];
    for (ULONGLONG at = 0;;) {
      OVERLAPPED position{};
      position.Offset = static_cast<DWORD>(at & 0xFFFFFFFFu);
      position.OffsetHigh = static_cast<DWORD>(at >> 32);
      DWORD got = 0;
      if (!ReadFile(file_, block, sizeof block, &got, &position) || got == 0) break;
      text.append(block, got);
      at += got;
    }
    return text;
  }

  bool rewrite(const std::string& text) override {
    LARGE_INTEGER start{};
    return SetFilePointerEx(file_, start, nullptr, FILE_BEGIN) && SetEndOfFile(file_) &&
           writeAll(text) && FlushFileBuffers(file_);
  }

  bool append(const std::string& text) override {
    LARGE_INTEGER none{};
    return SetFilePointerEx(file_, none, nullptr, FILE_END) && writeAll(text) &&
           FlushFileBuffers(file_);
  }

  bool remove() override {
    BOOL removed = DeleteFileW(windows::widePath(path_).c_str());
    return removed || GetLastError() == ERROR_FILE_NOT_FOUND;
  }

 private:
  bool writeAll(const std::string& text) {
    size_t written = 0;
    while (written < text.size()) {
      DWORD chunk = 0;
      if (!WriteFile(file_, text.data() + written, static_cast<DWORD>(text.size() - written), &chunk,
                     nullptr) ||
          chunk == 0) {
        return false;
      }
      written += chunk;
    }
    return true;
  }

  HANDLE file_;
  std::string path_;
};

HANDLE openShared(const std::string& path) {
  const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  return CreateFileW(windows::widePath(path).c_str(), GENERIC_READ | GENERIC_WRITE, share, nullptr,
                     OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

std::unique_ptr<LockedFile> LockedFile::open(const std::string& path, OpenStatus& status,
                                             std::string& reason) {
  status = OpenStatus::kFailed;
  HANDLE file = path.empty() ? INVALID_HANDLE_VALUE : openShared(path);
  if (file == INVALID_HANDLE_VALUE) {
    reason = windows::errorText(path.empty() ? ERROR_PATH_NOT_FOUND : GetLastError());
    return nullptr;
  }
  OVERLAPPED at{};
  at.OffsetHigh = kLockOffsetHigh;
  if (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
    DWORD error = GetLastError();
    status = error == ERROR_LOCK_VIOLATION ? OpenStatus::kInUse : OpenStatus::kFailed;
    reason = windows::errorText(error);
    CloseHandle(file);
    return nullptr;
  }
  status = OpenStatus::kOpen;
  return std::make_unique<WindowsLockedFile>(file, path);
}

}  // namespace corvane
