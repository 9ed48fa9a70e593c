// The progress file's figures through the clock seam: the system clock set
// an hour forward and back during a run (time synchronisation correcting a
// PC) leaves elapsed, rate and eta as the monotonic clock has them.
#include "upload/progress_report.h"

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <fstream>
#include <sstream>
#include <string>

#include "support/fake_env.h"
#include "support/fake_transfers.h"
#include "support/temp_file.h"

namespace corvane {
namespace {

using testing::FakeEnv;
using testing::FakeTransfers;
using testing::TempFile;

constexpr uint64_t kMiB = 1048576;
constexpr int64_t kHourTicks = 3600 * kTicksPerSecond;

rapidjson::Document readReport(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  rapidjson::Document document;
  document.Parse(text.str().c_str());
  return document;
}

TEST(ProgressReportClock, AWallClockJumpingAnHourLeavesTheFiguresAsTheyWere) {
  FakeEnv env;
  FakeTransfers network;
  RunControls controls;
  TransferLoop loop(network, controls);
  TempFile file("");
  ProgressReport report(file.path, loop);
  report.plan(10 * kMiB, 10);
  report.enterPhase("parts");
  for (int64_t jump : {kHourTicks, -kHourTicks}) {
    env.ticks += 2 * kTicksPerSecond;
    env.wallShiftTicks = jump;
    report.acknowledge(2 * kMiB, 2);
    report.loopTurned();
  }
  rapidjson::Document written = readReport(file.path);
  ASSERT_TRUE(written.IsObject());
  EXPECT_EQ(written["elapsed"].GetInt64(), 4);
  EXPECT_EQ(written["rate"].GetUint64(), kMiB);
  EXPECT_EQ(written["eta"].GetInt64(), 6);
  EXPECT_EQ(written["bytes"].GetUint64(), 4 * kMiB);
}

}  // namespace
}  // namespace corvane
