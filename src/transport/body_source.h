#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/read_only_file.h"

namespace corvane {

// A window of an open file sent as a request body: `length` bytes from
// `offset`. Every read is bounded by the bytes still due, so a transfer never
// sends more than its window, and rewind() brings it back to its first byte.
class BodySource {
 public:
  BodySource(const ReadOnlyFile& file, uint64_t offset, uint64_t length)
      : file_(file), offset_(offset), length_(length) {}

  uint64_t length() const { return length_; }
  void rewind() { sent_ = 0; }
  // True once a read found the file ending inside the window: it shrank, and
  // no later attempt can send the window whole.
  bool fileShrank() const { return shrank_; }
  // Moves to `position` within the window; false when it lies beyond it.
  bool seek(uint64_t position);

  enum class ReadStatus { kData, kEnd, kFailed };
  struct ReadResult {
    ReadStatus status;
    size_t bytes;
  };
  // Fills up to `capacity` bytes. kEnd once the whole window was read;
  // kFailed when the file ends early (it shrank) or cannot be read.
  ReadResult read(char* destination, size_t capacity);

 private:
  const ReadOnlyFile& file_;
  uint64_t offset_;
  uint64_t length_;
  uint64_t sent_ = 0;
  bool shrank_ = false;
};

}  // namespace corvane
