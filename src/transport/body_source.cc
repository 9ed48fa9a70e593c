#include "transport/body_source.h"

#include <algorithm>

namespace corvane {

bool BodySource::seek(uint64_t position) {
  if (position > length_) return false;
  sent_ = position;
  return true;
}

BodySource::ReadResult BodySource::read(char* destination, size_t capacity) {
  uint64_t due = length_ - sent_;
  if (due == 0) return {ReadStatus::kEnd, 0};
  size_t wanted = static_cast<size_t>(std::min<uint64_t>(due, capacity));
  int64_t got = file_.readAt(offset_ + sent_, destination, wanted);
  if (got == 0) shrank_ = true;
  if (got <= 0) return {ReadStatus::kFailed, 0};
  sent_ += static_cast<uint64_t>(got);
  return {ReadStatus::kData, static_cast<size_t>(got)};
}

}  // namespace corvane
