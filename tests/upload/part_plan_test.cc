#include "upload/part_plan.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace corvane {
namespace {

constexpr uint64_t kMiB = 1048576;

TEST(PartPlan, EmptyFileHasNoPart) {
  EXPECT_EQ(PartPlan(0, kMiB).count(), 0u);
}

TEST(PartPlan, OneByteIsOnePartOfOneByte) {
  PartPlan plan(1, kMiB);
  ASSERT_EQ(plan.count(), 1u);
  EXPECT_EQ(plan.offset(0), 0u);
  EXPECT_EQ(plan.size(0), 1u);
}

TEST(PartPlan, ExactlyOnePart) {
  PartPlan plan(kMiB, kMiB);
  ASSERT_EQ(plan.count(), 1u);
  EXPECT_EQ(plan.size(0), kMiB);
}

TEST(PartPlan, TwoAndAHalfMebibytesMakeThreeParts) {
  PartPlan plan(5 * kMiB / 2, kMiB);
  ASSERT_EQ(plan.count(), 3u);
  EXPECT_EQ(plan.offset(0), 0u);
  EXPECT_EQ(plan.offset(1), kMiB);
  EXPECT_EQ(plan.offset(2), 2 * kMiB);
  EXPECT_EQ(plan.size(0), kMiB);
  EXPECT_EQ(plan.size(1), kMiB);
  EXPECT_EQ(plan.size(2), kMiB / 2);
}

TEST(PartPlan, ExactlyThreePartsAreAllWhole) {
  PartPlan plan(3 * kMiB, kMiB);
  ASSERT_EQ(plan.count(), 3u);
  for (uint64_t i = 0; i < 3; ++i) EXPECT_EQ(plan.size(i), kMiB) << i;
  EXPECT_EQ(plan.offset(2) + plan.size(2), 3 * kMiB);
}

TEST(PartPlan, OneByteMoreThanThreePartsAddsAOneBytePart) {
  PartPlan plan(3 * kMiB + 1, kMiB);
  ASSERT_EQ(plan.count(), 4u);
  EXPECT_EQ(plan.offset(3), 3 * kMiB);
  EXPECT_EQ(plan.size(3), 1u);
  EXPECT_EQ(plan.size(2), kMiB);
}

TEST(PartPlan, OneByteLessThanThreePartsShortensTheLast) {
  PartPlan plan(3 * kMiB - 1, kMiB);
  ASSERT_EQ(plan.count(), 3u);
  EXPECT_EQ(plan.size(2), kMiB - 1);
}

TEST(PartPlan, PartsCoverTheFileWithoutGapOrOverlap) {
  const uint64_t partSize = 5 * kMiB;
  const uint64_t fileSize = 123456789;
  PartPlan plan(fileSize, partSize);
  ASSERT_EQ(plan.count(), 24u);
  uint64_t next = 0;
  for (uint64_t i = 0; i < plan.count(); ++i) {
    EXPECT_EQ(plan.offset(i), next) << i;
    EXPECT_GT(plan.size(i), 0u) << i;
    next += plan.size(i);
  }
  EXPECT_EQ(next, fileSize);
}

TEST(PartPlan, FilesBeyondFourGibibytesKeepTheirOffsets) {
  const uint64_t partSize = 2047 * kMiB;  // the largest whole-MiB part under 2^31
  const uint64_t fileSize = uint64_t{5} << 30;  // 5 GiB
  PartPlan plan(fileSize, partSize);
  ASSERT_EQ(plan.count(), 3u);
  EXPECT_EQ(plan.offset(2), 2 * partSize);
  EXPECT_EQ(plan.size(2), fileSize - 2 * partSize);
}

TEST(PartPlan, LargestPartSizeHoldsALargeFileInFewParts) {
  const uint64_t partSize = uint64_t{2147483647} * kMiB;
  const uint64_t fileSize = partSize + 1;
  PartPlan plan(fileSize, partSize);
  ASSERT_EQ(plan.count(), 2u);
  EXPECT_EQ(plan.size(1), 1u);
}

}  // namespace
}  // namespace corvane
