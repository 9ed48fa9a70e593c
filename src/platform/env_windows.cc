#include <rpc.h>
#include <windows.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/env.h"
#include "platform/path_split.h"
#include "platform/windows_text.h"

namespace corvane {
namespace {

// 100-nanosecond ticks from 1601-01-01 (the system time's epoch) to 1970-01-01.
constexpr int64_t kTicksFrom1601To1970 = 116444736000000000;

// Whether `path` names an existing file or directory.
bool accessible(const std::string& path) {
  return !path.empty() &&
         GetFileAttributesW(windows::widePath(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Opens `path` for reading and closes it again; 0, or the Win32 error
// (ERROR_BAD_FILE_TYPE for a device or pipe: not a file on disk).
DWORD tryOpenForReading(const std::string& path) {
  const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  HANDLE file = CreateFileW(windows::widePath(path).c_str(), GENERIC_READ, share, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return GetLastError();
  const bool onDisk = GetFileType(file) == FILE_TYPE_DISK;
  CloseHandle(file);
  return onDisk ? 0 : ERROR_BAD_FILE_TYPE;
}

// Whether a file can be created in the directory `path`: one is, and goes
// again at once (an existing folder under Program Files cannot take one).
bool canCreateFileIn(const std::string& path) {
  std::string probe = path;
  // A GBK name may end in the byte of a backslash: split by character.
  const std::vector<size_t> separators = separatorPositions(probe);
  if (separators.empty() || separators.back() + 1 != probe.size()) probe += '\\';
  probe += ".corvane-probe-" + std::to_string(GetCurrentProcessId());
  HANDLE file =
      CreateFileW(windows::widePath(probe).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                  FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  CloseHandle(file);
  return true;
}

class WindowsEnv final : public Env {
 public:
  std::string executablePath() override {
    std::vector<char> buffer(MAX_PATH);
    for (;;) {
      DWORD length = GetModuleFileNameA(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
      if (length == 0) return {};
      if (length < buffer.size()) return std::string(buffer.data(), length);
      buffer.resize(buffer.size() * 2);
    }
  }

  bool pathExists(const std::string& path) override { return accessible(path); }

  std::string fileReadProblem(const std::string& path) override {
    if (path.empty()) return std::strerror(ENOENT);
    DWORD attributes = GetFileAttributesW(windows::widePath(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return windows::errorText(GetLastError());
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return std::strerror(EISDIR);
    DWORD error = tryOpenForReading(path);
    if (error == ERROR_BAD_FILE_TYPE) return "Not a regular file";
    if (error != 0) return windows::errorText(error);
    return {};
  }

  bool createDirectory(const std::string& path) override {
    return CreateDirectoryW(windows::widePath(path).c_str(), nullptr) != 0;
  }

  bool isWritableDirectory(const std::string& path) override {
    if (path.empty()) return false;
    DWORD attributes = GetFileAttributesW(windows::widePath(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
           canCreateFileIn(path);
  }

  // The user's own application data that stays on this machine, as the
  // ANSI calls (and the logging library) read paths.
  std::vector<std::string> fallbackLogDirectories() override {
    const std::string local = environmentVariable("LOCALAPPDATA");
    if (local.empty()) return {};
    return {local + "\\corvane-upload\\logs"};
  }

  // A stop cuts the sleep short: it must not wait for a pause.
  void sleepMilliseconds(int64_t milliseconds) override {
    windows::sleepUnlessStopped(static_cast<DWORD>(milliseconds));
  }

  std::string newUuid() override {
    UUID uuid;
    UuidCreate(&uuid);
    RPC_CSTR text = nullptr;
    UuidToStringA(&uuid, &text);
    std::string result = text ? reinterpret_cast<const char*>(text) : "";
    RpcStringFreeA(&text);
    return result;
  }

  int64_t nowTicks() override {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    ULARGE_INTEGER ticks;
    ticks.LowPart = now.dwLowDateTime;
    ticks.HighPart = now.dwHighDateTime;
    return static_cast<int64_t>(ticks.QuadPart) - kTicksFrom1601To1970;
  }

  // The process environment itself, as libcurl reads it: the C runtime's
  // copy can miss changes.
  std::string environmentVariable(const std::string& name) override {
    std::vector<char> buffer(256);
    for (;;) {
      DWORD length = GetEnvironmentVariableA(name.c_str(), buffer.data(),
                                             static_cast<DWORD>(buffer.size()));
      if (length == 0) return {};
      if (length < buffer.size()) return std::string(buffer.data(), length);
      buffer.resize(length);
    }
  }

  int64_t steadyMilliseconds() override { return static_cast<int64_t>(GetTickCount64()); }
};

}  // namespace

Env& systemEnv() {
  static WindowsEnv env;
  return env;
}

}  // namespace corvane
