#include <windows.h>

#include <fstream>
#include <iterator>
#include <string>

#include <gtest/gtest.h>

#include "platform/file_replace.h"

namespace corvane {
namespace {

// "C:" alone names the drive's current directory, which a process keeps per
// drive (the "=C:" variable), not its root: a file at the root is written
// and probed through the root, wherever that variable points.
TEST(ReplaceFile, AFileAtADriveRootGoesThroughTheRoot) {
  ASSERT_TRUE(SetEnvironmentVariableA("=C:", "C:\\corvane-no-such-directory"));
  const std::string path = "C:\\corvane-replace-test.json";
  std::string reason;
  EXPECT_TRUE(canReplaceFile(path, reason)) << reason;
  ASSERT_TRUE(replaceFile(path, "{\"code\":\"success\"}", reason)) << reason;
  std::ifstream in(path, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "{\"code\":\"success\"}");
  in.close();
  EXPECT_TRUE(removeFile(path, reason)) << reason;
  SetEnvironmentVariableA("=C:", nullptr);
}

}  // namespace
}  // namespace corvane
