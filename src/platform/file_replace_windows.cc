#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/file_replace.h"
#include "platform/path_split.h"
#include "platform/windows_text.h"

namespace corvane {
namespace {

// A short name whatever the length of the target's own name.
constexpr char kTemporaryPrefix[] = "cvu";

bool fail(std::string& reason, DWORD error) {
  reason = windows::errorText(error);
  return false;
}

// The directory part of `path` ("." when it has none); both separators count,
// split by character (a GBK name may end in the byte of a backslash).
std::string directoryOf(const std::string& path) {
  const std::vector<size_t> separators = separatorPositions(path);
  if (separators.empty()) return ".";
  const size_t last = separators.back();
  // A root keeps its separator: "C:" alone is the drive's current directory.
  const bool root = last == 0 || (last == 2 && path[1] == ':');
  return path.substr(0, root ? last + 1 : last);
}

DWORD attributesOf(const std::string& path) {
  return windows::pathsAreUtf8() ? GetFileAttributesW(windows::widen(path).c_str())
                                 : GetFileAttributesA(path.c_str());
}

bool isDirectory(const std::string& path) {
  DWORD attributes = attributesOf(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// The error of a failed GetTempFileName in `directory`: it says "the directory
// name is invalid" for a directory that does not exist as well as for a file
// in its place; the first is "not found", as on other systems.
DWORD temporaryError(const std::string& directory) {
  DWORD error = GetLastError();
  if (error == ERROR_DIRECTORY && attributesOf(directory) == INVALID_FILE_ATTRIBUTES) {
    return ERROR_PATH_NOT_FOUND;
  }
  return error;
}

// A new, empty file with a unique short name beside `path`; its name, or the
// empty text with the error in `error`.
std::string createTemporary(const std::string& path, DWORD& error) {
  const std::string directory = directoryOf(path);
  if (windows::pathsAreUtf8()) {
    wchar_t name[MAX_PATH + 1];
    if (GetTempFileNameW(windows::widen(directory).c_str(),
                         windows::widen(kTemporaryPrefix).c_str(), 0, name) == 0) {
      error = temporaryError(directory);
      return {};
    }
    int length = WideCharToMultiByte(CP_UTF8, 0, name, -1, nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<size_t>(length > 0 ? length - 1 : 0), '\0');
    WideCharToMultiByte(CP_UTF8, 0, name, -1, utf8.data(), length, nullptr, nullptr);
    return utf8;
  }
  char name[MAX_PATH + 1];
  if (GetTempFileNameA(directory.c_str(), kTemporaryPrefix, 0, name) == 0) {
    error = temporaryError(directory);
    return {};
  }
  return name;
}

HANDLE openForWriting(const std::string& path) {
  if (windows::pathsAreUtf8()) {
    return CreateFileW(windows::widen(path).c_str(), GENERIC_WRITE, 0, nullptr, TRUNCATE_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
  }
  return CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, TRUNCATE_EXISTING,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

bool writeAll(HANDLE file, const std::string& text) {
  size_t written = 0;
  while (written < text.size()) {
    DWORD chunk = 0;
    DWORD wanted = static_cast<DWORD>(std::min<size_t>(text.size() - written, 1u << 30));
    if (!WriteFile(file, text.data() + written, wanted, &chunk, nullptr)) return false;
    written += chunk;
  }
  return true;
}

bool moveOver(const std::string& from, const std::string& to) {
  const DWORD flags = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;
  if (windows::pathsAreUtf8()) {
    return MoveFileExW(windows::widen(from).c_str(), windows::widen(to).c_str(), flags) != 0;
  }
  return MoveFileExA(from.c_str(), to.c_str(), flags) != 0;
}

void deleteFile(const std::string& path) {
  if (windows::pathsAreUtf8()) {
    DeleteFileW(windows::widen(path).c_str());
  } else {
    DeleteFileA(path.c_str());
  }
}

}  // namespace

bool replaceFile(const std::string& path, const std::string& text, std::string& reason,
                 bool durable) {
  if (path.empty()) return fail(reason, ERROR_PATH_NOT_FOUND);
  DWORD error = 0;
  std::string temporary = createTemporary(path, error);
  if (temporary.empty()) return fail(reason, error);
  HANDLE file = openForWriting(temporary);
  bool written = file != INVALID_HANDLE_VALUE && writeAll(file, text) &&
                 (!durable || FlushFileBuffers(file));
  error = GetLastError();
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  if (written && moveOver(temporary, path)) return true;
  if (written) error = GetLastError();
  deleteFile(temporary);
  return fail(reason, error);
}

bool removeFile(const std::string& path, std::string& reason) {
  if (path.empty()) return true;
  BOOL removed = windows::pathsAreUtf8() ? DeleteFileW(windows::widen(path).c_str())
                                         : DeleteFileA(path.c_str());
  DWORD error = removed ? 0 : GetLastError();
  if (removed || error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return true;
  return fail(reason, error);
}

bool canReplaceFile(const std::string& path, std::string& reason) {
  if (path.empty()) return fail(reason, ERROR_PATH_NOT_FOUND);
  if (isDirectory(path)) {
    reason = std::strerror(EISDIR);
    return false;
  }
  DWORD error = 0;
  std::string temporary = createTemporary(path, error);
  if (temporary.empty()) return fail(reason, error);
  deleteFile(temporary);
  return true;
}

}  // namespace corvane
