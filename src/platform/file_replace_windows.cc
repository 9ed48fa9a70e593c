#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
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
  return GetFileAttributesW(windows::widePath(path).c_str());
}

bool isDirectory(const std::string& path) {
  DWORD attributes = attributesOf(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// A new, empty file with a unique short name beside `path`
// ("cvu" and four hex digits, as GetTempFileName makes them, which itself
// takes no directory longer than MAX_PATH); its name, or the empty text with
// the error in `error`.
std::string createTemporary(const std::string& path, DWORD& error) {
  std::string directory = directoryOf(path);
  const std::vector<size_t> separators = separatorPositions(directory);
  if (separators.empty() || separators.back() + 1 != directory.size()) directory += '\\';
  const unsigned start = (GetTickCount() ^ GetCurrentProcessId()) & 0xFFFFu;
  for (unsigned step = 0; step < 0x10000u; ++step) {
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, "%04X.tmp", (start + step) & 0xFFFFu);
    const std::string name = directory + kTemporaryPrefix + suffix;
    HANDLE file = CreateFileW(windows::widePath(name).c_str(), GENERIC_WRITE, 0, nullptr,
                              CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
      CloseHandle(file);
      return name;
    }
    error = GetLastError();
    if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) continue;
    // A file where the directory should be is "not a directory", as on
    // other systems.
    const DWORD attributes = attributesOf(directoryOf(path));
    if (error == ERROR_PATH_NOT_FOUND && attributes != INVALID_FILE_ATTRIBUTES &&
        !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
      error = ERROR_DIRECTORY;
    }
    return {};
  }
  return {};
}

HANDLE openForWriting(const std::string& path) {
  return CreateFileW(windows::widePath(path).c_str(), GENERIC_WRITE, 0, nullptr, TRUNCATE_EXISTING,
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
  return MoveFileExW(windows::widePath(from).c_str(), windows::widePath(to).c_str(), flags) != 0;
}

void deleteFile(const std::string& path) { DeleteFileW(windows::widePath(path).c_str()); }

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
  BOOL removed = DeleteFileW(windows::widePath(path).c_str());
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
