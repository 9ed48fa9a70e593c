#include "transport/body_source.h"

#include <algorithm>
#include <vector>

namespace corvane {

bool BodySource::seek(uint64_t position) {
  if (position > length_) return false;
  if (position == 0) return rewind(), true;
  sent_ = position;
  inOrder_ = false;
  return true;
}

std::optional<uint64_t> BodySource::digest() const {
  if (!hashing_ || !inOrder_ || sent_ != length_) return std::nullopt;
  return XXH3_64bits_digest(&hash_);
}

BodySource::ReadResult BodySource::read(char* destination, size_t capacity) {
  uint64_t due = length_ - sent_;
  if (due == 0) return {ReadStatus::kEnd, 0};
  size_t wanted = static_cast<size_t>(std::min<uint64_t>(due, capacity));
  int64_t got = file_.readAt(offset_ + sent_, destination, wanted);
  if (got == 0) shrank_ = true;
  if (got <= 0) return {ReadStatus::kFailed, 0};
  sent_ += static_cast<uint64_t>(got);
  if (hashing_) XXH3_64bits_update(&hash_, destination, static_cast<size_t>(got));
  return {ReadStatus::kData, static_cast<size_t>(got)};
}

std::optional<uint64_t> windowDigest(const ReadOnlyFile& file, uint64_t offset, uint64_t length) {
  BodySource window(file, offset, length, true);
  std::vector<char> block(1 << 20);
  for (;;) {
    BodySource::ReadResult read = window.read(block.data(), block.size());
    if (read.status == BodySource::ReadStatus::kEnd) return window.digest();
    if (read.status == BodySource::ReadStatus::kFailed) return std::nullopt;
  }
}

}  // namespace corvane
