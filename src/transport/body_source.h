#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

// The hash is compiled in, header only: no library to link on any platform.
#ifndef XXH_INLINE_ALL
#define XXH_INLINE_ALL
#endif
#include <xxhash.h>

#include "platform/read_only_file.h"

namespace corvane {

// A window of an open file sent as a request body: `length` bytes from
// `offset`. Every read is bounded by the bytes still due, so a transfer never
// sends more than its window, and rewind() brings it back to its first byte.
// With `hashed`, the bytes are hashed (XXH3, 64 bits) as they are read for
// sending, so that a journal can record what was sent without reading it
// again.
class BodySource {
 public:
  BodySource(const ReadOnlyFile& file, uint64_t offset, uint64_t length, bool hashed = false)
      : file_(file), offset_(offset), length_(length), hashing_(hashed) {
    XXH3_64bits_reset(&hash_);
  }

  uint64_t offset() const { return offset_; }
  uint64_t length() const { return length_; }
  // Bytes of the window not read yet.
  uint64_t unread() const { return length_ - sent_; }
  void rewind() {
    sent_ = 0;
    XXH3_64bits_reset(&hash_);
    inOrder_ = true;
  }
  // The hash of the window as the last attempt read it, front to back and
  // whole; nothing when it did not (it moved back and forth, or stopped) or
  // when the window is not hashed.
  std::optional<uint64_t> digest() const;
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
  const bool hashing_;
  XXH3_state_t hash_;
  bool inOrder_ = true;  // every byte read so far went into the hash in order
};

// The hash of `length` bytes of `file` from `offset`, read now; nothing when
// they cannot all be read.
std::optional<uint64_t> windowDigest(const ReadOnlyFile& file, uint64_t offset, uint64_t length);

}  // namespace corvane
