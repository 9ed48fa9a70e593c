#include <windows.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/env.h"
#include "platform/file_replace.h"
#include "platform/read_only_file.h"
#include "platform/windows_text.h"
#include "text/local_codepage.h"

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

// Under GBK a path of 300 characters (a Chinese name among them) works
// like a short one: the GBK text is widened and given the long-path prefix
// for the wide-character calls, past the ANSI calls' limit of 260.
TEST(LongPaths, AThreeHundredCharacterPathWorksUnderGbk) {
  setLocalCodepage(LocalCodepage::kGbk);
  char temporary[MAX_PATH + 1];
  ASSERT_GT(GetTempPathA(sizeof temporary, temporary), 0u);
  std::string directory = std::string(temporary) + "corvane-long-" +
                          std::to_string(GetCurrentProcessId());
  std::vector<std::string> made;
  // "\xB1\xA8\xB8\xE6" is the GBK form of the two characters of "report".
  const std::string segment = "\\\xB1\xA8\xB8\xE6-" + std::string(40, 'd');
  while (directory.size() < 330) {
    made.push_back(directory);
    directory += segment;
  }
  made.push_back(directory);
  Env& env = Env::current();
  ASSERT_TRUE(createDirectories(env, directory));
  const std::string path = directory + "\\result.json";
  ASSERT_GT(path.size(), 300u);
  std::string reason;
  EXPECT_TRUE(canReplaceFile(path, reason)) << reason;
  ASSERT_TRUE(replaceFile(path, "{\"code\":\"success\"}", reason)) << reason;
  EXPECT_TRUE(env.pathExists(path));
  EXPECT_EQ(env.fileReadProblem(path), "");
  ReadOnlyFile file(path);
  ASSERT_TRUE(file.isOpen());
  EXPECT_EQ(file.size(), 18u);
  EXPECT_TRUE(removeFile(path, reason)) << reason;
  EXPECT_FALSE(env.pathExists(path));
  for (auto it = made.rbegin(); it != made.rend(); ++it) {
    RemoveDirectoryW(windows::widePath(*it).c_str());
  }
  setLocalCodepage(platformCodepage());
}

// A folder that exists but takes no file (as one under Program Files) is
// no log directory; the user's own local application data is the next.
TEST(LogPlaces, AFileWhereTheFolderShouldBeIsNoWritableDirectory) {
  Env& env = Env::current();
  char temporary[MAX_PATH + 1];
  ASSERT_GT(GetTempPathA(sizeof temporary, temporary), 0u);
  EXPECT_TRUE(env.isWritableDirectory(temporary));
  const std::string file = std::string(temporary) + "corvane-logs-file-" +
                           std::to_string(GetCurrentProcessId());
  std::string reason;
  ASSERT_TRUE(replaceFile(file, "not a folder", reason)) << reason;
  EXPECT_FALSE(env.isWritableDirectory(file));
  removeFile(file, reason);
  const std::string local = env.environmentVariable("LOCALAPPDATA");
  if (!local.empty()) {
    EXPECT_EQ(env.fallbackLogDirectories(),
              std::vector<std::string>{local + "\\corvane-upload\\logs"});
  }
}

}  // namespace
}  // namespace corvane
