#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace corvane {

// The separator of the directories in a path, as the operating system writes
// it.
#ifdef _WIN32
inline constexpr char kPathSeparator = '\\';
#else
inline constexpr char kPathSeparator = '/';
#endif

// Whether HTTPS trusts the operating system's certificate store in addition
// to the TLS library's own defaults (where the library has none of its own).
#ifdef _WIN32
inline constexpr bool kTrustSystemCertificateStore = true;
#else
inline constexpr bool kTrustSystemCertificateStore = false;
#endif

// The operating-system calls the uploader needs, behind one small interface so
// that tests can install a fake (fixed clock and UUIDs, pauses that take no
// time, a chosen executable path). No other code calls these functions of the
// operating system directly. Each call says what it returns on failure.
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
  // True when `path` names an existing file or directory; false otherwise.
  virtual bool pathExists(const std::string& path) = 0;
  // The empty text when `path` names a regular file this process may open
  // for reading; otherwise the system's reason ("No such file or directory",
  // "Is a directory", "Permission denied", ...).
  virtual std::string fileReadProblem(const std::string& path) = 0;
  // Creates one directory; false when it could not be created.
  virtual bool createDirectory(const std::string& path) = 0;
  // True when `path` is a directory this process may create files in; false
  // when it is not (or, where the platform cannot tell, when it is missing).
  virtual bool isWritableDirectory(const std::string& path) = 0;
  // Where logs may go when the directory beside the executable cannot take
  // them, best first; empty where the platform keeps no other place.
  virtual std::vector<std::string> fallbackLogDirectories() = 0;
  // Blocks the calling thread for `milliseconds`.
  virtual void sleepMilliseconds(int64_t milliseconds) = 0;
  // A new random UUID as 36 characters of hex in the groups 8-4-4-4-12;
  // never fails.
  virtual std::string newUuid() = 0;
  // The system clock in 100-nanosecond ticks since 1970-01-01 00:00:00 UTC.
  virtual int64_t nowTicks() = 0;
  // The value of the environment variable `name` as the C runtime and
  // libcurl read it (names match regardless of case on Windows); the empty
  // text when it is unset or empty.
  virtual std::string environmentVariable(const std::string& name) = 0;
  // A clock that only moves forward, in milliseconds from an arbitrary
  // start, for pauses and deadlines that a change of the system clock must
  // not stretch.
  virtual int64_t steadyMilliseconds() = 0;
};

// The operating system's own environment, defined once per platform.
Env& systemEnv();

// Ticks per second of Env::nowTicks().
inline constexpr int64_t kTicksPerSecond = 10'000'000;

// Creates `path` and any missing parents; false when it does not exist as a
// directory afterwards.
bool createDirectories(Env& env, const std::string& path);

}  // namespace corvane
