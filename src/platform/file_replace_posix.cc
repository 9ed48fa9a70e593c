#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/file_replace.h"

namespace corvane {
namespace {

bool fail(std::string& reason, int error) {
  reason = std::strerror(error);
  return false;
}

// A new file at `path` for this process alone: a file left there by a run
// that was killed is removed first, and O_EXCL never follows a link.
int createExclusive(const std::string& path) {
  ::unlink(path.c_str());
  return ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
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

bool isDirectory(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// Writes `text` to the temporary file beside `path` and renames it over
// `path`; the errno of the step that failed, 0 on success.
int writeThenRename(const std::string& path, const std::string& text, bool durable) {
  const std::string temporary = temporaryNameFor(path);
  int fd = createExclusive(temporary);
  if (fd < 0) return errno;
  bool written = writeAll(fd, text) && (!durable || fsync(fd) == 0);
  int error = errno;
  if (::close(fd) != 0 && written) {
    written = false;
    error = errno;
  }
  if (written && std::rename(temporary.c_str(), path.c_str()) == 0) return 0;
  if (written) error = errno;
  ::unlink(temporary.c_str());
  return error;
}

}  // namespace

std::string temporaryNameFor(const std::string& path) {
  size_t slash = path.rfind('/');
  std::string directory = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
  return directory + temporaryBaseName(path);
}

bool replaceFile(const std::string& path, const std::string& text, std::string& reason,
                 bool durable, bool /*waitWhileHeld: nothing holds a name here*/) {
  if (path.empty()) return fail(reason, ENOENT);
  int error = writeThenRename(path, text, durable);
  return error == 0 || fail(reason, error);
}

bool removeFile(const std::string& path, std::string& reason) {
  if (path.empty() || ::unlink(path.c_str()) == 0 || errno == ENOENT) return true;
  return fail(reason, errno);
}

bool canReplaceFile(const std::string& path, std::string& reason) {
  if (path.empty()) return fail(reason, ENOENT);
  if (isDirectory(path)) return fail(reason, EISDIR);
  int error = writeThenRename(path, std::string(), false);
  if (error != 0) return fail(reason, error);
  return removeFile(path, reason);
}

}  // namespace corvane
