#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

#include "support/test_system.h"

namespace corvane::testing {

std::string makeTemporaryDirectory(const std::string& prefix) {
  std::string base = ::testing::TempDir();
  if (base.empty() || base.back() != '/') base += '/';
  std::string pattern = base + prefix + "XXXXXX";
  const char* made = mkdtemp(pattern.data());
  return made ? std::filesystem::absolute(made).string() : std::string();
}

void setEnvironment(const std::string& name, const std::string& value) {
  setenv(name.c_str(), value.c_str(), 1);
}

void unsetEnvironment(const std::string& name) { unsetenv(name.c_str()); }

bool runningAsRoot() { return geteuid() == 0; }

std::filesystem::path utf8Path(const std::string& utf8) { return utf8; }

ReadingDenied::ReadingDenied(const std::string& path)
    : path_(path), held_(chmod(path.c_str(), 0) == 0) {}

ReadingDenied::~ReadingDenied() {
  if (held_) chmod(path_.c_str(), 0644);
}

bool ReadingDenied::bindsThisProcess() const { return !runningAsRoot(); }

std::optional<bool> holdsAsNobody(const std::string& directory, const std::string& readable,
                                  const std::function<bool()>& check) {
  const passwd* nobody = getpwnam("nobody");
  if (!nobody || chmod(directory.c_str(), 0755) != 0 || chmod(readable.c_str(), 0644) != 0) {
    return std::nullopt;
  }
  const uid_t uid = nobody->pw_uid;
  const gid_t gid = nobody->pw_gid;
  constexpr int kImpossible = 77;
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid < 0) return std::nullopt;
  if (pid == 0) {
    bool became = setgroups(0, nullptr) == 0 && setgid(gid) == 0 && setuid(uid) == 0 &&
                  access(readable.c_str(), R_OK) == 0;
    _exit(!became ? kImpossible : (check() ? 0 : 1));
  }
  int status = 0;
  if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return false;
  if (WEXITSTATUS(status) == kImpossible) return std::nullopt;
  return WEXITSTATUS(status) == 0;
}

}  // namespace corvane::testing
