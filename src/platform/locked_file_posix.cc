#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/locked_file.h"

namespace corvane {
namespace {

bool writeAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t got = ::write(fd, data, size);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    data += got;
    size -= static_cast<size_t>(got);
  }
  return true;
}

class PosixLockedFile final : public LockedFile {
 public:
  PosixLockedFile(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
  ~PosixLockedFile() override { ::close(fd_); }

  std::string readAll() override {
    std::string text;
    char block[65536];
    for (off_t at = 0;;) {
      ssize_t got = ::pread(fd_, block, sizeof block, at);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) break;
      text.append(block, static_cast<size_t>(got));
      at += got;
    }
    return text;
  }

  bool rewrite(const std::string& text) override {
    return ::ftruncate(fd_, 0) == 0 && ::lseek(fd_, 0, SEEK_SET) == 0 &&
           writeAll(fd_, text.data(), text.size()) && ::fdatasync(fd_) == 0;
  }

  bool append(const std::string& text) override {
    return ::lseek(fd_, 0, SEEK_END) >= 0 && writeAll(fd_, text.data(), text.size()) &&
           ::fdatasync(fd_) == 0;
  }

  bool remove() override { return ::unlink(path_.c_str()) == 0 || errno == ENOENT; }

 private:
  int fd_;
  std::string path_;
};

}  // namespace

std::unique_ptr<LockedFile> LockedFile::open(const std::string& path, OpenStatus& status,
                                             std::string& reason) {
  status = OpenStatus::kFailed;
  int fd = path.empty() ? -1 : ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) {
    reason = std::strerror(path.empty() ? ENOENT : errno);
    return nullptr;
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    status = errno == EWOULDBLOCK ? OpenStatus::kInUse : OpenStatus::kFailed;
    reason = std::strerror(errno);
    ::close(fd);
    return nullptr;
  }
  status = OpenStatus::kOpen;
  return std::make_unique<PosixLockedFile>(fd, path);
}

}  // namespace corvane
