#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <vector>

#include "platform/env.h"
#include "platform/file_replace.h"
#include "platform/path_split.h"
#include "platform/windows_text.h"

namespace corvane {
namespace {

constexpr int64_t kHeldRetryMilliseconds = 5000;
constexpr int64_t kHeldPauseMilliseconds = 100;

bool fail(std::string& reason, DWORD error) {
  reason = windows::errorText(error);
  return false;
}

// The directory part of `path` with its last separator; empty when it has
// none. Both separators count, split by character (a GBK name may end in the
// byte of a backslash).
std::string directoryWithSeparator(const std::string& path) {
  const std::vector<size_t> separators = separatorPositions(path);
  return separators.empty() ? std::string() : path.substr(0, separators.back() + 1);
}

DWORD attributesOf(const std::string& path) {
  return GetFileAttributesW(windows::widePath(path).c_str());
}

bool isDirectory(const std::string& path) {
  DWORD attributes = attributesOf(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// Another program may have the file open without delete sharing (a reader,
// a virus scanner): it usually lets go within a few seconds. Replacing such a
// file is refused as a sharing violation or, by MoveFileEx, as access denied
// (as for a read-only file, which then costs the 5 seconds before it fails).
bool heldByAnother(DWORD error) {
  return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION ||
         error == ERROR_ACCESS_DENIED;
}

// The error of a file that could not be created at `path`: a file where its
// directory should be is "not a directory", as on other systems.
DWORD creationError(const std::string& path) {
  const DWORD error = GetLastError();
  std::string directory = directoryWithSeparator(path);
  if (error != ERROR_PATH_NOT_FOUND || directory.size() < 2) return error;
  directory.pop_back();
  const DWORD attributes = attributesOf(directory);
  const bool notDirectory =
      attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
  return notDirectory ? ERROR_DIRECTORY : error;
}

// Runs `step` until it succeeds, fails for another reason, or the file has
// been held for 5 seconds; the error of its last failure, 0 on success.
template <typename Step>
DWORD retryWhileHeld(Step step) {
  Env& env = Env::current();
  const int64_t deadline = env.steadyMilliseconds() + kHeldRetryMilliseconds;
  for (;;) {
    if (step()) return 0;
    const DWORD error = GetLastError();
    if (!heldByAnother(error) || env.steadyMilliseconds() >= deadline) return error;
    env.sleepMilliseconds(kHeldPauseMilliseconds);
  }
}

// A new file at `path` for this process alone; a file left there by a run
// that was killed is removed first.
HANDLE createNew(const std::string& path) {
  const std::wstring wide = windows::widePath(path);
  DeleteFileW(wide.c_str());
  return CreateFileW(wide.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                     nullptr);
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

// Writes `text` to the temporary file beside `path` and moves it over
// `path`; the error of the step that failed, 0 on success.
DWORD writeThenMove(const std::string& path, const std::string& text, bool durable,
                    bool waitWhileHeld) {
  const std::string temporary = temporaryNameFor(path);
  HANDLE file = createNew(temporary);
  if (file == INVALID_HANDLE_VALUE) return creationError(temporary);
  bool written = writeAll(file, text) && (!durable || FlushFileBuffers(file));
  DWORD error = GetLastError();
  CloseHandle(file);
  if (written) {
    error = waitWhileHeld ? retryWhileHeld([&] { return moveOver(temporary, path); })
                          : (moveOver(temporary, path) ? 0 : GetLastError());
    if (error == 0) return 0;
  }
  deleteFile(temporary);
  return error;
}

}  // namespace

std::string temporaryNameFor(const std::string& path) {
  return directoryWithSeparator(path) + temporaryBaseName(path);
}

bool replaceFile(const std::string& path, const std::string& text, std::string& reason,
                 bool durable, bool waitWhileHeld) {
  if (path.empty()) return fail(reason, ERROR_PATH_NOT_FOUND);
  const DWORD error = writeThenMove(path, text, durable, waitWhileHeld);
  return error == 0 || fail(reason, error);
}

bool removeFile(const std::string& path, std::string& reason) {
  if (path.empty()) return true;
  const DWORD error =
      retryWhileHeld([&] { return DeleteFileW(windows::widePath(path).c_str()) != 0; });
  if (error == 0 || error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return true;
  return fail(reason, error);
}

bool canReplaceFile(const std::string& path, std::string& reason) {
  if (path.empty()) return fail(reason, ERROR_PATH_NOT_FOUND);
  if (isDirectory(path)) {
    reason = std::strerror(EISDIR);
    return false;
  }
  const DWORD error = writeThenMove(path, std::string(), false, true);
  if (error != 0) return fail(reason, error);
  return removeFile(path, reason);
}

}  // namespace corvane
