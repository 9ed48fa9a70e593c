// RAII file primitives. FileSink writes to a temporary file next to its final
// name and only renames it into place on commit(), so a failed or short upload
// never leaves a half-written file under the final name.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "crypto_util.h"

namespace localstore {

class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) : fd_(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  int release();
  bool reset();  // closes; false if close() reported an error

 private:
  int fd_;
};

class FileSink {
 public:
  explicit FileSink(std::filesystem::path final_path);
  ~FileSink();  // removes the temporary file unless committed
  FileSink(const FileSink&) = delete;
  FileSink& operator=(const FileSink&) = delete;

  bool ok() const { return ok_; }  // false after any open/write error
  void write(const char* data, size_t n);
  bool commit();  // flush, close, rename over the final path

  std::uint64_t bytes() const { return bytes_; }
  std::string sha256_hex() { return sha_.hex_digest(); }  // after the last write

 private:
  void flush_buffer();

  std::filesystem::path final_path_;
  std::filesystem::path temp_path_;
  UniqueFd fd_;
  std::vector<char> buffer_;
  Sha256 sha_;
  std::uint64_t bytes_ = 0;
  bool ok_ = true;
  bool committed_ = false;
};

// Feeds the file's bytes to `sink` in large blocks; false on read error.
bool stream_file(const std::filesystem::path& path,
                 const std::function<void(const char*, size_t)>& sink);

// Writes `text` to `path` through a temporary file and rename.
bool write_file_atomically(const std::filesystem::path& path, const std::string& text);

bool read_small_file(const std::filesystem::path& path, std::string& out);

}  // namespace localstore
