#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "e2e_harness.h"

namespace corvane::e2e {
namespace {

using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

TEST(Startup, NoArgumentsStillPreparesLogsThenFailsWithCfgEmpty) {
  TempDir dir;
  RunResult run = runUploader(dir, {});
  EXPECT_EQ(run.exitStatus, 255);
  EXPECT_EQ(run.out,
            " log dir is " + uploaderPath(dir.path() + "/logs/corvaneMuliUpload.log.") + "\n");
  // Windows writes its console text with CRLF line ends (text mode).
  EXPECT_THAT(run.rawOut, EndsWith(uploaderIsWindows() ? ".\r\n" : ".\n"));
  EXPECT_THAT(run.err, HasSubstr(" main:"));
  EXPECT_THAT(run.err, HasSubstr("] -cfg empty!"));
  ASSERT_FALSE(run.logFiles.empty());
  for (const std::string& name : run.logFiles) EXPECT_THAT(name, StartsWith("corvaneMuliUpload.log."));
  EXPECT_THAT(run.logs, HasSubstr("-cfg empty!"));
}

TEST(Startup, EveryArgumentIsEchoedBeforeTheLogLine) {
  TempDir dir;
  RunResult run = runUploader(dir, {"-cfg=a.json", "x.json", "-cfg", ""});
  EXPECT_EQ(run.exitStatus, 255);
  EXPECT_THAT(run.out, StartsWith("-cfg=a.json\nx.json\n-cfg\n\n log dir is "));
  EXPECT_THAT(run.err, HasSubstr("-cfg empty!"));
}

TEST(Startup, AFailedLoadExitsWith255LogsItsReasonAndWritesNoResult) {
  TempDir dir;
  writeFile(dir.file("config.json"), R"({"appkey":"k"})");
  RunResult run = runUploader(dir, {"-cfg", dir.file("config.json")});
  EXPECT_EQ(run.exitStatus, 255);
  EXPECT_THAT(run.logs, HasSubstr("root url is empty!"));
  EXPECT_THAT(run.err, HasSubstr("root url is empty!"));
  EXPECT_EQ(readFile(dir.file("result.json")), "");
}

TEST(Startup, TheLogNamesTheBuildAndTheConfigurationFirst) {
  TempDir dir;
  RunResult run = runUploader(dir, {"-cfg", dir.file("missing.json")});
  size_t version = run.logs.find("] corvane-upload 1.");
  ASSERT_NE(version, std::string::npos) << run.logs;
  EXPECT_THAT(run.logs.substr(version), HasSubstr("(libcurl/"));
  size_t config = run.logs.find("] configuration file: " + dir.file("missing.json"));
  EXPECT_LT(version, config);
  EXPECT_NE(config, std::string::npos);
}

TEST(Startup, AnUnreadableConfigurationLogsLoadConfigErrorAndWhy) {
  TempDir dir;
  RunResult run = runUploader(dir, {"-cfg", dir.file("missing.json")});
  EXPECT_EQ(run.exitStatus, 255);
  EXPECT_THAT(run.err, HasSubstr("corvaneMuliUpload:"));
  EXPECT_THAT(run.err, HasSubstr("]  load config error!"));
  EXPECT_THAT(run.err, HasSubstr("] configuration file " + dir.file("missing.json") +
                                 " can not be read: No such file or directory"));
}

TEST(Startup, AConfigurationWithAMissingCommaSaysWhere) {
  TempDir dir;
  writeFile(dir.file("config.json"), "{\n  \"appkey\": \"k\"\n  \"rooturl\": \"r\"\n}");
  RunResult run = runUploader(dir, {"-cfg", dir.file("config.json")});
  EXPECT_EQ(run.exitStatus, 255);
  EXPECT_THAT(run.err, HasSubstr("] configuration is not valid JSON: line 3, column 3: Missing a "
                                 "comma or '}' after an object member."));
  EXPECT_THAT(run.err, HasSubstr("]  load config error!"));
}

TEST(Startup, ADirectoryAsLocalFileCannotBeAccessed) {
  TempDir dir;
  LocalStore store;
  RunResult run = runUploader(dir, {"-cfg", writeConfig(dir, store, dir.path())});
  EXPECT_EQ(run.exitStatus, 255);
  EXPECT_THAT(run.err, HasSubstr("local file can not access!"));
  EXPECT_THAT(run.err, HasSubstr("] local file " + dir.path() + ": Is a directory"));
  EXPECT_EQ(store.count("storage-token"), 0);
}

}  // namespace
}  // namespace corvane::e2e
