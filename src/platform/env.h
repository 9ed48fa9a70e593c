#pragma once

#include <cstdint>
#include <string>

namespace corvane {

// The operating-system calls the uploader needs, behind one small interface so
// that tests can install a fake (fixed clock and UUIDs, pauses that take no
// time, a chosen executable path). No other code calls these functions of the
// operating system directly.
class Env {
 public:
  virtual ~Env() = default;

  // The installed environment: the real one unless a test installed another.
  static Env& current();
  // Installs `env` (not owned) for the whole process; nullptr restores the
  // real one. Returns the environment that was installed before.
  static Env* install(Env* env);

  // Full path of the running executable; the empty text when it is unknown.
  virtual std::string executablePath() = 0;
  // True when `path` names an existing file or directory.
  virtual bool pathExists(const std::string& path) = 0;
  // True when `path` names an existing regular file that this process may
  // open for reading.
  virtual bool isReadableRegularFile(const std::string& path) = 0;
  // Creates one directory; false when it could not be created.
  virtual bool createDirectory(const std::string& path) = 0;
  // Blocks the calling thread for `milliseconds`.
  virtual void sleepMilliseconds(int64_t milliseconds) = 0;
  // A new random UUID (version 4) as 36 characters of lower-case hex in the
  // groups 8-4-4-4-12; never fails.
  virtual std::string newUuid() = 0;
  // The system clock in 100-nanosecond ticks since 1970-01-01 00:00:00 UTC.
  virtual int64_t nowTicks() = 0;
};

// Ticks per second of Env::nowTicks().
inline constexpr int64_t kTicksPerSecond = 10'000'000;

}  // namespace corvane
