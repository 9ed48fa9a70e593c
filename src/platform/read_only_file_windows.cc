#include <windows.h>

#include "platform/read_only_file.h"
#include "platform/windows_text.h"

namespace corvane {
namespace {

HANDLE handleOf(intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

// Opened for reading, sharing every access with others (the file may be
// written, renamed or deleted meanwhile: a shrink is caught by the reads).
HANDLE openForReading(const std::string& path) {
  const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  const DWORD flags = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN;
  return CreateFileW(windows::widePath(path).c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING,
                     flags, nullptr);
}

// The identity of the file behind `file`; nothing when it cannot be read.
std::optional<FileIdentity> identityOfHandle(HANDLE file) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(file, &info)) return std::nullopt;
  FileIdentity identity;
  identity.size = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  // 100-nanosecond units of FILETIME.
  identity.modifiedNanoseconds =
      static_cast<int64_t>((static_cast<uint64_t>(info.ftLastWriteTime.dwHighDateTime) << 32) |
                           info.ftLastWriteTime.dwLowDateTime) *
      100;
  identity.device = info.dwVolumeSerialNumber;
  identity.fileId = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  FILE_BASIC_INFO basic;
  if (GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof basic)) {
    identity.changedNanoseconds = basic.ChangeTime.QuadPart * 100;
  }
  return identity;
}

// Opened for its attributes alone, sharing every access with others; a
// directory opens too (backup semantics), so that two names of one folder
// can be told apart from two folders.
HANDLE openForAttributes(const std::string& path) {
  const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  return CreateFileW(windows::widePath(path).c_str(), FILE_READ_ATTRIBUTES, share, nullptr,
                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

}  // namespace

std::optional<FileIdentity> identityOf(const std::string& path) {
  if (path.empty()) return std::nullopt;
  HANDLE file = openForAttributes(path);
  if (file == INVALID_HANDLE_VALUE) return std::nullopt;
  std::optional<FileIdentity> identity = identityOfHandle(file);
  CloseHandle(file);
  return identity;
}

std::optional<FileIdentity> ReadOnlyFile::currentIdentity() const {
  if (!isOpen()) return std::nullopt;
  return identityOfHandle(handleOf(handle_));
}

ReadOnlyFile::ReadOnlyFile(const std::string& path) {
  if (path.empty()) return;
  HANDLE file = openForReading(path);
  if (file == INVALID_HANDLE_VALUE) return;
  // Only regular files on disk are read (a directory does not even open
  // without a flag asked for here; devices and pipes are refused).
  if (GetFileType(file) != FILE_TYPE_DISK) {
    CloseHandle(file);
    return;
  }
  handle_ = reinterpret_cast<intptr_t>(file);
  if (std::optional<FileIdentity> identity = identityOfHandle(file)) opened_ = *identity;
}

ReadOnlyFile::~ReadOnlyFile() {
  if (isOpen()) CloseHandle(handleOf(handle_));
}

int64_t ReadOnlyFile::readAt(uint64_t offset, char* destination, size_t length) const {
  if (!isOpen()) return -1;
  // One read at a 64-bit offset; the file's own position is not relied on.
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(offset & 0xFFFFFFFFu);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  const DWORD wanted = length > 0x40000000u ? 0x40000000u : static_cast<DWORD>(length);
  DWORD got = 0;
  if (ReadFile(handleOf(handle_), destination, wanted, &got, &at)) return got;
  return GetLastError() == ERROR_HANDLE_EOF ? 0 : -1;
}

// Asked for when the file was opened.
void ReadOnlyFile::adviseSequential() const {}

}  // namespace corvane
