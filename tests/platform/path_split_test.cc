#include "platform/path_split.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "platform/env.h"
#include "support/fake_env.h"
#include "text/local_codepage.h"

namespace corvane {
namespace {

using Positions = std::vector<size_t>;

// `path` with every '/' written as the platform's separator.
std::string native(std::string path) {
  for (char& c : path) {
    if (c == '/') c = kPathSeparator;
  }
  return path;
}

// In GBK, 診 is D4 5C: its second byte is that of a backslash. 斷 is 94 E0.
const std::string kZhen = "\xD4\x5C";
const std::string kDuan = "\x94\xE0";

// Paths in GBK, as the Windows build hands them to the ANSI calls. On Linux
// a backslash byte is no separator anyway; the splits are the same there.
class GbkPaths : public ::testing::Test {
 protected:
  void SetUp() override { setLocalCodepage(LocalCodepage::kGbk); }
  void TearDown() override { setLocalCodepage(platformCodepage()); }
};

TEST_F(GbkPaths, TheTestCharacterIsWhatItSaysInGbk) {
  EXPECT_EQ(utf8ToLocal("\xE8\xA8\xBA\xE6\x96\xB7"), kZhen + kDuan);  // 診斷
}

TEST_F(GbkPaths, ATrailByteOfABackslashSeparatesNothing) {
  // C:\out\診斷.json
  EXPECT_EQ(separatorPositions(native("C:/out/") + kZhen + kDuan + ".json"), (Positions{2, 6}));
  // A name that ends in such a character: C:\out\報告診
  EXPECT_EQ(separatorPositions(native("C:/out/") + "\x88\xF3\xB8\xE6" + kZhen), (Positions{2, 6}));
  // A directory that ends in one: C:\out診\r.json
  EXPECT_EQ(separatorPositions(native("C:/out") + kZhen + native("/r.json")), (Positions{2, 8}));
}

TEST_F(GbkPaths, ALoneLeadByteAtTheEndReadsNothingBeyondThePath) {
  EXPECT_EQ(separatorPositions(native("C:/out/\xD4")), (Positions{2, 6}));
  EXPECT_EQ(separatorPositions("\xD4"), Positions{});
}

TEST(PathSplit, Utf8PathsAndTheForwardSlashSplitByByte) {
  setLocalCodepage(LocalCodepage::kUtf8);
  // C:\out\診斷.json in UTF-8: no byte of a multibyte character is below 0x80.
  EXPECT_EQ(separatorPositions(native("C:/out/\xE8\xA8\xBA\xE6\x96\xB7.json")), (Positions{2, 6}));
  setLocalCodepage(platformCodepage());
  EXPECT_EQ(separatorPositions("dir/sub/name"), (Positions{3, 7}));
  EXPECT_EQ(separatorPositions("name"), Positions{});
  EXPECT_EQ(separatorPositions(""), Positions{});
}

// Directories that do not exist until created; nothing touches the disk.
class RecordedDirectories : public testing::FakeEnv {
 public:
  bool pathExists(const std::string& path) override { return made.count(path) > 0; }
  bool createDirectory(const std::string& path) override {
    createdDirectories.push_back(path);
    made.insert(path);
    return true;
  }
  std::set<std::string> made;
};

TEST_F(GbkPaths, CreateDirectoriesMakesEachParentOnceAndNoneCutInsideACharacter) {
  RecordedDirectories env;
  const std::string zhenDir = native("/srv/") + kZhen;
  EXPECT_TRUE(createDirectories(env, zhenDir + native("/logs")));
  EXPECT_EQ(env.createdDirectories,
            (std::vector<std::string>{native("/srv"), zhenDir, zhenDir + native("/logs")}));
}

}  // namespace
}  // namespace corvane
