#pragma once

// The few operating-system calls the tests make themselves, one
// implementation per platform (test_system_posix.cc, test_system_windows.cc),
// so that one test source serves both systems.

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

namespace corvane::testing {

// A new directory with a unique name starting with `prefix` under the test
// temporary directory (::testing::TempDir()); its absolute path, or the empty
// text when none could be made.
std::string makeTemporaryDirectory(const std::string& prefix);

// Sets or removes a variable of this process's environment, as getenv and the
// C runtime's time zone see it.
void setEnvironment(const std::string& name, const std::string& value);
void unsetEnvironment(const std::string& name);

// True when the process runs as the superuser, whom file permissions do not
// bind.
bool runningAsRoot();

// `utf8` as a path: UTF-8 bytes on disk on Linux, UTF-16 for the Windows
// calls (a plain std::string would be read in the ANSI code page there).
std::filesystem::path utf8Path(const std::string& utf8);

// Keeps other openers from reading `path` while the object lives: its
// permissions cleared on POSIX (the superuser still reads it), on Windows a
// handle held open that shares nothing.
class ReadingDenied {
 public:
  explicit ReadingDenied(const std::string& path);
  ~ReadingDenied();
  ReadingDenied(const ReadingDenied&) = delete;
  ReadingDenied& operator=(const ReadingDenied&) = delete;

  // False when the denial could not be set up.
  bool held() const { return held_; }
  // Whether the denial binds this very process.
  bool bindsThisProcess() const;

 private:
  std::string path_;
  bool held_ = false;
  void* handle_ = nullptr;  // Windows only
};

// Runs `check` in a child process that has become the user "nobody", after
// opening `directory` and `readable` in it to other users: whether the check
// held there, or nothing when such a child cannot be had (no such user, no
// right to switch, a platform without users to switch to).
std::optional<bool> holdsAsNobody(const std::string& directory, const std::string& readable,
                                  const std::function<bool()>& check);

}  // namespace corvane::testing
