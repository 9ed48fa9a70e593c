#include "platform/read_only_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace corvane {

ReadOnlyFile::ReadOnlyFile(const std::string& path)
    : fd_(path.empty() ? -1 : ::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {
  // Only regular files are read: a directory opens, but has no bytes to send.
  struct stat info {};
  if (fd_ >= 0 && (fstat(fd_, &info) != 0 || !S_ISREG(info.st_mode))) {
    ::close(fd_);
    fd_ = -1;
  }
}

ReadOnlyFile::~ReadOnlyFile() {
  if (fd_ >= 0) ::close(fd_);
}

uint64_t ReadOnlyFile::size() const {
  struct stat info {};
  if (fd_ < 0 || fstat(fd_, &info) != 0) return 0;
  return static_cast<uint64_t>(info.st_size);
}

int64_t ReadOnlyFile::readAt(uint64_t offset, char* destination, size_t length) const {
  if (fd_ < 0) return -1;
  for (;;) {
    ssize_t got = ::pread(fd_, destination, length, static_cast<off_t>(offset));
    if (got >= 0) return got;
    if (errno != EINTR) return -1;
  }
}

void ReadOnlyFile::adviseSequential() const {
  if (fd_ >= 0) posix_fadvise(fd_, 0, 0, POSIX_FADV_SEQUENTIAL);
}

}  // namespace corvane
