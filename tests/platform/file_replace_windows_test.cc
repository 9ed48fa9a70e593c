#include <windows.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/env.h"
#include "platform/file_replace.h"
#include "support/fake_env.h"
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

// A clock whose pauses let another program's hold on a file go after a
// while, as a virus scanner or a reader that lets go does.
class HoldingEnv : public testing::FakeEnv {
 public:
  void sleepMilliseconds(int64_t milliseconds) override {
    FakeEnv::sleepMilliseconds(milliseconds);
    if (hold != INVALID_HANDLE_VALUE && totalSleptMilliseconds() >= releaseAfterMilliseconds) {
      CloseHandle(hold);
      hold = INVALID_HANDLE_VALUE;
    }
  }
  HANDLE hold = INVALID_HANDLE_VALUE;
  int64_t releaseAfterMilliseconds = 0;
};

HANDLE holdWithoutDeleteSharing(const std::string& path) {
  return CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

std::string contentOf(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// A file another program holds open without delete sharing is replaced, or
// removed, once it is let go within 5 seconds; held longer, the step fails
// and the earlier file stays as it was.
TEST(ReplaceFile, AFileHeldByAnotherIsReplacedOnceLetGoWithinFiveSeconds) {
  char directory[MAX_PATH];
  ASSERT_GT(GetTempPathA(MAX_PATH, directory), 0u);
  const std::string path = std::string(directory) + "corvane-held-result.json";
  std::string reason;
  ASSERT_TRUE(replaceFile(path, "earlier", reason)) << reason;
  {
    HoldingEnv env;
    env.releaseAfterMilliseconds = 3000;
    env.hold = holdWithoutDeleteSharing(path);
    ASSERT_NE(env.hold, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(replaceFile(path, "this run's", reason)) << reason;
    EXPECT_EQ(contentOf(path), "this run's");
    EXPECT_GE(env.totalSleptMilliseconds(), 3000);
  }
  {
    HoldingEnv env;
    env.releaseAfterMilliseconds = 60000;
    env.hold = holdWithoutDeleteSharing(path);
    EXPECT_FALSE(replaceFile(path, "lost", reason));
    EXPECT_FALSE(removeFile(path, reason));
    EXPECT_LE(env.totalSleptMilliseconds(), 2 * 5000 + 200);
    CloseHandle(env.hold);
    env.hold = INVALID_HANDLE_VALUE;
    EXPECT_EQ(contentOf(path), "this run's");
  }
  {
    HoldingEnv env;
    env.releaseAfterMilliseconds = 1000;
    env.hold = holdWithoutDeleteSharing(path);
    EXPECT_TRUE(removeFile(path, reason)) << reason;
    EXPECT_EQ(GetFileAttributesA(path.c_str()), INVALID_FILE_ATTRIBUTES);
  }
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
  {
    ReadOnlyFile file(path);
    ASSERT_TRUE(file.isOpen());
    EXPECT_EQ(file.size(), 18u);
  }
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
