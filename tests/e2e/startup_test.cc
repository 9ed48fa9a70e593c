#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

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

// A lone --version or --help is answered on standard output and nothing
// else happens: no echo, no log line, no logs folder beside the executable.
TEST(Startup, ALoneVersionOrHelpAnswersAndPreparesNoLogs) {
  TempDir dir;
  RunResult version = runUploader(dir, {"--version"});
  EXPECT_EQ(version.exitStatus, 0);
  EXPECT_THAT(version.out, StartsWith("corvane-upload 1."));
  EXPECT_THAT(version.out, EndsWith(")\n"));
  EXPECT_EQ(linesOf(version.out).size(), 1u) << version.out;
  EXPECT_THAT(version.err, Not(HasSubstr("] ")));
  RunResult help = runUploader(dir, {"--help"});
  EXPECT_EQ(help.exitStatus, 0);
  EXPECT_THAT(help.out, StartsWith("Usage: corvane-upload -cfg CONFIG.json\n"));
  EXPECT_THAT(help.out, HasSubstr("README"));
  EXPECT_THAT(help.err, Not(HasSubstr("] ")));
  EXPECT_FALSE(std::filesystem::exists(dir.file("logs")));
  // The version line is the log's first line of an ordinary run, word for word.
  RunResult ordinary = runUploader(dir, {"-cfg", dir.file("missing.json")});
  const std::vector<std::string> named = logMessagesWith(ordinary.logs, "corvane-upload ");
  ASSERT_FALSE(named.empty()) << ordinary.logs;
  EXPECT_EQ(named.front() + "\n", version.out);
}

// With anything beside it, --version is an ordinary argument: echoed and
// dropped, or the configuration's path after -cfg.
TEST(Startup, VersionWithOtherArgumentsIsAnOrdinaryArgument) {
  TempDir dir;
  RunResult beside = runUploader(dir, {"--version", "-cfg", dir.file("missing.json")});
  EXPECT_EQ(beside.exitStatus, 255);
  EXPECT_THAT(beside.out, StartsWith("--version\n-cfg\n"));
  EXPECT_THAT(beside.err, HasSubstr("]  load config error!"));
  EXPECT_TRUE(std::filesystem::is_directory(dir.file("logs")));
  RunResult asPath = runUploader(dir, {"-cfg", "--version"});
  EXPECT_EQ(asPath.exitStatus, 255);
  EXPECT_THAT(asPath.err, HasSubstr("] configuration file: --version\n"));
  EXPECT_THAT(asPath.err, HasSubstr("] configuration file --version can not be read: "));
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

// A configuration saved in another encoding says so on standard error before
// loading ends as it always has: with " load config error!" when the text is
// no JSON, with the usual message of a key when it still parses.
TEST(Startup, AConfigurationInAnotherEncodingSaysSoFirst) {
  LocalStore store;
  TempDir dir;
  writeFile(dir.file("\xE6\x8A\xA5\xE5\x91\x8A.bin"), "content");  // 报告.bin
  const std::string zhenDuan = "\xE8\xA8\xBA\xE6\x96\xB7";         // 診斷, D4 5C 94 E0 in GBK
  const std::string utf8 = readFile(writeConfig(dir, store, dir.file("input.bin")));
  std::string utf16 = "\xFF\xFE";
  for (char c : utf8) utf16 += std::string{c, '\0'};
  const std::string broken = gbkOf(
      readFile(writeConfig(dir, store, dir.file("input.bin"), {{"targetname", zhenDuan}})));
  const std::string parses =
      gbkOf(readFile(writeConfig(dir, store, dir.file("\xE6\x8A\xA5\xE5\x91\x8A.bin"))));
  struct Case {
    std::string name;
    std::string content;
    std::string encodingLine;
    std::string endLine;
  };
  const std::vector<Case> cases = {
      {"UTF-16", utf16, "configuration file is UTF-16; save it as UTF-8", " load config error!"},
      // One line of JSON: the column is the offset of 診's first byte plus one.
      {"GBK that is no JSON", broken,
       "configuration file is not UTF-8 (line 1, column " +
           std::to_string(broken.find(gbkOf(zhenDuan)) + 1) + "); save it as UTF-8",
       " load config error!"},
      {"GBK that parses", parses,
       "configuration file is not UTF-8 (line 1, column " +
           std::to_string(parses.find(gbkOf("\xE6\x8A\xA5")) + 1) + "); save it as UTF-8",
       "local file can not access!"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    writeFile(dir.file("config.json"), c.content);
    RunResult run = runUploader(dir, {"-cfg", dir.file("config.json")});
    EXPECT_EQ(run.exitStatus, 255);
    const size_t said = run.err.find("] " + c.encodingLine + "\n");
    const size_t ended = run.err.find("] " + c.endLine + "\n");
    ASSERT_NE(said, std::string::npos) << run.err;
    ASSERT_NE(ended, std::string::npos) << run.err;
    EXPECT_LT(said, ended);
    EXPECT_EQ(run.err.rfind("\nE", said), run.err.rfind('\n', said)) << "not an ERROR line";
    EXPECT_FALSE(std::filesystem::exists(dir.file("result.json")));
  }
  EXPECT_EQ(store.get("/_control/requests"), "[]");
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
