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

// Every message of a failed configuration load, from the real executable:
// the reason on standard error, exit status 255, no result file and nothing
// sent. (The output that cannot be written is in log_and_result_places_test.)
TEST(ConfigurationMessages, EachProblemEndsLoadingWithItsMessageAndSendsNothing) {
  LocalStore store;
  struct Case {
    std::map<std::string, std::string> overrides;
    std::string message;
  };
  const std::vector<Case> cases = {
      {{{"rooturl", "null"}}, "root url is empty!"},
      {{{"appsecret", ""}}, "appsecret is empty!"},
      {{{"appkey", "null"}}, "appkey is empty!"},
      {{{"appkey", "k\x01"}}, "appkey is invalid!"},
      {{{"projectid", "null"}}, "projectid is empty!"},
      {{{"projectid", "p\t1"}}, "projectid is invalid!"},
      {{{"tenantid", "t-1"}}, "orgid is empty!"},
      {{{"tenantid", "t-1"}, {"orgid", "o\n7"}}, "orgid is invalid!"},
      {{{"tenantid", "t\r1"}, {"orgid", "o-7"}}, "tenantid is invalid!"},
      {{{"targetname", "null"}}, "targetname is empty!"},
      {{{"localfile", "null"}}, "localfile is empty!"},
      {{{"localfile", "/nonexistent/input.bin"}}, "local file can not access!"},
      {{{"output", "#17"}}, "output is empty!"},
      {{{"codepage", "latin1"}}, "codepage is invalid!"},
      {{{"partsize", "null"}}, "no part size item!"},
      {{{"partsize", "#0"}}, "part size is less than zero!"},
      {{{"parallelparts", "#17"}}, "parallel parts is invalid!"},
      {{{"stallseconds", "#4"}}, "stall seconds is invalid!"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    TempDir dir;
    writeFile(dir.file("input.bin"), "content");
    RunResult run =
        runUploader(dir, {"-cfg", writeConfig(dir, store, dir.file("input.bin"), c.overrides)});
    EXPECT_EQ(run.exitStatus, 255);
    EXPECT_THAT(run.err, HasSubstr("] " + c.message + "\n"));
    EXPECT_THAT(run.logs, HasSubstr("] " + c.message + "\n"));
    EXPECT_EQ(readFile(dir.file("result.json")), "");
  }
  EXPECT_EQ(store.get("/_control/requests"), "[]");
}

// The one warning of loading: the upload runs, and the result carries it.
TEST(ConfigurationMessages, AMissingAccountUrlIsAWarningInTheResult) {
  TempDir dir;
  LocalStore store;
  UploadRun upload = uploadContent(dir, store, "content", {{"accounturl", "null"}});
  EXPECT_EQ(upload.run.exitStatus, 0) << upload.run.err;
  const std::string id = upload.fileItemId();
  ASSERT_FALSE(id.empty()) << upload.result;
  EXPECT_EQ(upload.result, R"({"code":"success","message":"account url is empty!","data":)"
                           R"({"fileitemid":")" + id + R"(","fileitemname":"sample.bin"}})");
}

}  // namespace
}  // namespace corvane::e2e
