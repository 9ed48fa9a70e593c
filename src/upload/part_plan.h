#pragma once

#include <algorithm>
#include <cstdint>
#include <numeric>
#include <vector>

namespace corvane {

// How a file of `fileSize` bytes is cut into parts of `partSize` bytes: every
// part but the last is whole, the last holds the remainder.
class PartPlan {
 public:
  PartPlan(uint64_t fileSize, uint64_t partSize) : fileSize_(fileSize), partSize_(partSize) {}

  uint64_t total() const { return fileSize_; }
  uint64_t count() const { return partSize_ == 0 ? 0 : (fileSize_ + partSize_ - 1) / partSize_; }
  uint64_t offset(uint64_t index) const { return index * partSize_; }
  uint64_t size(uint64_t index) const { return std::min(partSize_, fileSize_ - offset(index)); }
  // Every part's index, in order.
  std::vector<uint64_t> indices() const {
    std::vector<uint64_t> all(count());
    std::iota(all.begin(), all.end(), uint64_t{0});
    return all;
  }

 private:
  uint64_t fileSize_;
  uint64_t partSize_;
};

}  // namespace corvane
