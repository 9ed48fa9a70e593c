#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/file_replace.h"

namespace corvane {
namespace {

// A short name whatever the length of the target's own name: the directory's
// name limit can never be exceeded.
constexpr char kTemporaryName[] = ".corvane-XXXXXX";

bool fail(std::string& reason, int error) {
  reason = std::strerror(error);
  return false;
}

std::vector<char> temporaryTemplate(const std::string& path) {
  size_t slash = path.rfind('/');
  std::string name = (slash == std::string::npos ? std::string() : path.substr(0, slash + 1)) +
                     kTemporaryName;
  return std::vector<char>(name.c_str(), name.c_str() + name.size() + 1);
}

bool writeAll(int fd, const std::string& text) {
  size_t written = 0;
  while (written < text.size()) {
    ssize_t got = ::write(fd, text.data() + written, text.size() - written);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    written += static_cast<size_t>(got);
  }
  return true;
}

// The permissions an ordinary new file gets under the process's umask.
mode_t newFileMode() {
  mode_t mask = umask(0);
  umask(mask);
  return 0666 & ~mask;
}

bool isDirectory(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

}  // namespace

bool replaceFile(const std::string& path, const std::string& text, std::string& reason,
                 bool durable) {
  if (path.empty()) return fail(reason, ENOENT);
  std::vector<char> temporary = temporaryTemplate(path);
  int fd = mkstemp(temporary.data());
  if (fd < 0) return fail(reason, errno);
  bool written = fchmod(fd, newFileMode()) == 0 && writeAll(fd, text) && (!durable || fsync(fd) == 0);
  int error = errno;
  if (::close(fd) != 0 && written) {
    written = false;
    error = errno;
  }
  if (written && std::rename(temporary.data(), path.c_str()) == 0) return true;
  if (written) error = errno;
  std::remove(temporary.data());
  return fail(reason, error);
}

bool removeFile(const std::string& path, std::string& reason) {
  if (path.empty() || ::unlink(path.c_str()) == 0 || errno == ENOENT) return true;
  return fail(reason, errno);
}

bool canReplaceFile(const std::string& path, std::string& reason) {
  if (path.empty()) return fail(reason, ENOENT);
  if (isDirectory(path)) return fail(reason, EISDIR);
  std::vector<char> temporary = temporaryTemplate(path);
  int fd = mkstemp(temporary.data());
  if (fd < 0) return fail(reason, errno);
  ::close(fd);
  std::remove(temporary.data());
  return true;
}

}  // namespace corvane
