#include <openssl/rand.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "platform/env.h"

namespace corvane {
namespace {

std::string environmentText(const char* name) {
  const char* value = std::getenv(name);
  return value ? std::string(value) : std::string();
}

class PosixEnv final : public Env {
 public:
  std::string executablePath() override {
    std::array<char, 4096> buffer{};
    ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
    if (length <= 0) return {};
    return std::string(buffer.data(), static_cast<size_t>(length));
  }

  bool pathExists(const std::string& path) override {
    return !path.empty() && access(path.c_str(), F_OK) == 0;
  }

  std::string fileReadProblem(const std::string& path) override {
    struct stat info {};
    if (path.empty()) return std::strerror(ENOENT);
    if (stat(path.c_str(), &info) != 0) return std::strerror(errno);
    if (S_ISDIR(info.st_mode)) return std::strerror(EISDIR);
    if (!S_ISREG(info.st_mode)) return "Not a regular file";
    if (access(path.c_str(), R_OK) != 0) return std::strerror(errno);
    return {};
  }

  bool createDirectory(const std::string& path) override {
    return mkdir(path.c_str(), 0755) == 0;
  }

  bool isWritableDirectory(const std::string& path) override {
    struct stat info {};
    return !path.empty() && stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode) &&
           access(path.c_str(), W_OK | X_OK) == 0;
  }

  // The user's state directory, as the XDG base directory rules name it.
  std::vector<std::string> fallbackLogDirectories() override {
    std::string state = environmentText("XDG_STATE_HOME");
    if (state.empty() || state[0] != '/') {
      const std::string home = environmentText("HOME");
      if (home.empty()) return {};
      state = home + "/.local/state";
    }
    return {state + "/corvane-upload/logs"};
  }

  // One sleep that a signal cuts short (a stop must not wait for a pause).
  void sleepMilliseconds(int64_t milliseconds) override {
    struct timespec pause {};
    pause.tv_sec = static_cast<time_t>(milliseconds / 1000);
    pause.tv_nsec = static_cast<long>(milliseconds % 1000) * 1'000'000;
    nanosleep(&pause, nullptr);
  }

  std::string newUuid() override {
    std::array<unsigned char, 16> bytes{};
    RAND_bytes(bytes.data(), static_cast<int>(bytes.size()));
    bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40);  // version 4
    bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
    std::array<char, 37> text{};
    std::snprintf(text.data(), text.size(),
                  "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x",
                  bytes[0], bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7],
                  bytes[8], bytes[9], bytes[10], bytes[11], bytes[12], bytes[13], bytes[14],
                  bytes[15]);
    return std::string(text.data(), 36);
  }

  int64_t nowTicks() override {
    auto since = std::chrono::system_clock::now().time_since_epoch();
    return std::chrono::duration_cast<std::chrono::nanoseconds>(since).count() / 100;
  }

  std::string environmentVariable(const std::string& name) override {
    return environmentText(name.c_str());
  }

  int64_t steadyMilliseconds() override {
    auto since = std::chrono::steady_clock::now().time_since_epoch();
    return std::chrono::duration_cast<std::chrono::milliseconds>(since).count();
  }
};

}  // namespace

Env& systemEnv() {
  static PosixEnv env;
  return env;
}

}  // namespace corvane
