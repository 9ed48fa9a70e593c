#include <io.h>
#include <rpc.h>
#include <sys/stat.h>
#include <windows.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/env.h"
#include "platform/windows_text.h"

namespace corvane {
namespace {

// 100-nanosecond ticks from 1601-01-01 (the system time's epoch) to 1970-01-01.
constexpr int64_t kTicksFrom1601To1970 = 116444736000000000;

// Whether `path` exists, as `_access` with mode 0 tells.
bool accessible(const std::string& path) {
  if (path.empty()) return false;
  if (windows::pathsAreUtf8()) return _waccess(windows::widen(path).c_str(), 0) == 0;
  return _access(path.c_str(), 0) == 0;
}

// What `_stat64` says of `path`: 0, or the C runtime's error number.
int statOf(const std::string& path, struct _stat64& info) {
  int result = windows::pathsAreUtf8() ? _wstat64(windows::widen(path).c_str(), &info)
                                       : _stat64(path.c_str(), &info);
  return result == 0 ? 0 : errno;
}

// Opens `path` for reading and closes it again; 0, or the Win32 error.
DWORD tryOpenForReading(const std::string& path) {
  const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  HANDLE file = windows::pathsAreUtf8()
                    ? CreateFileW(windows::widen(path).c_str(), GENERIC_READ, share, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)
                    : CreateFileA(path.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return GetLastError();
  CloseHandle(file);
  return 0;
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
    struct _stat64 info {};
    if (path.empty()) return std::strerror(ENOENT);
    if (int error = statOf(path, info)) return std::strerror(error);
    if ((info.st_mode & _S_IFMT) == _S_IFDIR) return std::strerror(EISDIR);
    if ((info.st_mode & _S_IFMT) != _S_IFREG) return "Not a regular file";
    if (DWORD error = tryOpenForReading(path)) return windows::errorText(error);
    return {};
  }

  bool createDirectory(const std::string& path) override {
    if (windows::pathsAreUtf8()) return CreateDirectoryW(windows::widen(path).c_str(), nullptr) != 0;
    return CreateDirectoryA(path.c_str(), nullptr) != 0;
  }

  // Existence is all that is asked of the log directory here.
  bool isWritableDirectory(const std::string& path) override { return accessible(path); }

  // The logs stay beside the executable or, failing that, where the logging
  // library puts them by default.
  std::vector<std::string> fallbackLogDirectories() override { return {}; }

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
