#include "file_io.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace localstore {
namespace {

constexpr size_t kBlockSize = 1 << 20;  // disk I/O in 1 MiB blocks

bool write_all(int fd, const char* data, size_t n) {
  while (n > 0) {
    ssize_t w = ::write(fd, data, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    data += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

}  // namespace

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) {
    reset();
    fd_ = other.release();
  }
  return *this;
}

int UniqueFd::release() {
  int fd = fd_;
  fd_ = -1;
  return fd;
}

bool UniqueFd::reset() {
  if (fd_ < 0) return true;
  int rc = ::close(fd_);
  fd_ = -1;
  return rc == 0;
}

FileSink::FileSink(std::filesystem::path final_path)
    : final_path_(std::move(final_path)),
      temp_path_(final_path_.string() + ".tmp-" + random_hex(6)) {
  fd_ = UniqueFd(::open(temp_path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
  ok_ = fd_.get() >= 0;
  buffer_.reserve(kBlockSize);
}

FileSink::~FileSink() {
  if (committed_) return;
  fd_.reset();
  std::error_code ignored;
  std::filesystem::remove(temp_path_, ignored);
}

void FileSink::write(const char* data, size_t n) {
  sha_.update(data, n);
  bytes_ += n;
  while (n > 0 && ok_) {
    size_t take = std::min(n, kBlockSize - buffer_.size());
    buffer_.insert(buffer_.end(), data, data + take);
    data += take;
    n -= take;
    if (buffer_.size() == kBlockSize) flush_buffer();
  }
}

void FileSink::flush_buffer() {
  if (ok_ && !buffer_.empty()) ok_ = write_all(fd_.get(), buffer_.data(), buffer_.size());
  buffer_.clear();
}

bool FileSink::commit() {
  flush_buffer();
  if (!fd_.reset()) ok_ = false;
  if (!ok_) return false;
  std::error_code ec;
  std::filesystem::rename(temp_path_, final_path_, ec);
  committed_ = !ec;
  return committed_;
}

bool stream_file(const std::filesystem::path& path,
                 const std::function<void(const char*, size_t)>& sink) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return false;
  std::vector<char> block(kBlockSize);
  for (;;) {
    ssize_t n = ::read(fd.get(), block.data(), block.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    sink(block.data(), static_cast<size_t>(n));
  }
}

bool write_file_atomically(const std::filesystem::path& path, const std::string& text) {
  FileSink sink(path);
  sink.write(text.data(), text.size());
  return sink.commit();
}

bool read_small_file(const std::filesystem::path& path, std::string& out) {
  out.clear();
  return stream_file(path, [&](const char* data, size_t n) { out.append(data, n); });
}

}  // namespace localstore
