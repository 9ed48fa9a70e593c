#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "support/fake_env.h"
#include "support/log_capture.h"
#include "support/scripted_transfers.h"
#include "support/test_system.h"
#include "text/local_codepage.h"
#include "upload/config_text.h"
#include "upload/corvane_multi_upload.h"
#include "upload/upload_test_util.h"

namespace corvane {
namespace {

using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::Not;
using testing::FakeEnv;
using testing::LogCapture;
using testing::ReadingDenied;
using testing::ScratchDir;
using testing::ScriptedRun;
using testing::ScriptedTransfers;

std::string jsonString(const std::string& text) { return "\"" + text + "\""; }

// A path as a JSON string: a Windows path's backslashes escaped.
std::string jsonPath(const std::string& path) {
  std::string escaped;
  for (char c : path) {
    if (c == '\\') escaped += '\\';
    escaped += c;
  }
  return jsonString(escaped);
}

// A configuration file built key by key; values are raw JSON text.
class ConfigLoading : public ::testing::Test {
 protected:
  void SetUp() override {
    setLocalCodepage(platformCodepage());
    localPath = dir.write("data.bin", "0123456789");
    keys = {
        {"accounturl", jsonString("https://acct.test")},
        {"rooturl", jsonString("https://store.test")},
        {"appsecret", jsonString("secret")},
        {"appkey", jsonString("key")},
        {"projectid", jsonString("42")},
        {"targetname", jsonString("report.pdf")},
        {"localfile", jsonPath(localPath)},
        {"output", jsonPath(dir.file("result.json"))},
        {"partsize", "5"},
    };
  }

  void set(const std::string& key, const std::string& rawValue) {
    for (auto& entry : keys) {
      if (entry.first == key) {
        entry.second = rawValue;
        return;
      }
    }
    keys.emplace_back(key, rawValue);
  }

  void drop(const std::string& key) {
    keys.erase(std::remove_if(keys.begin(), keys.end(),
                              [&](const auto& entry) { return entry.first == key; }),
               keys.end());
  }

  std::string text() const {
    std::string json = "{";
    for (size_t i = 0; i < keys.size(); ++i) {
      if (i > 0) json += ",\n  ";
      json += jsonString(keys[i].first) + ": " + keys[i].second;
    }
    return json + "}";
  }

  void TearDown() override { setLocalCodepage(platformCodepage()); }

  bool loadText(const std::string& content) {
    return uploader.loadConfig(dir.write("config.json", content));
  }
  bool load() { return loadText(text()); }

  FakeEnv env;
  ScriptedRun scripted;
  ScriptedTransfers& network = scripted.network;
  ScratchDir dir;
  std::string localPath;
  std::vector<std::pair<std::string, std::string>> keys;
  CorvaneMultiUpload uploader{scripted.context};
};

// ---- The file itself ---------------------------------------------------

TEST_F(ConfigLoading, CompleteFileLoadsAndLogsSuccess) {
  LogCapture log;
  ASSERT_TRUE(load()) << uploader.errorMessage;
  EXPECT_EQ(uploader.errorMessage, "");
  EXPECT_EQ(uploader.accounturl, "https://acct.test");
  EXPECT_EQ(uploader.rooturl, "https://store.test");
  EXPECT_EQ(uploader.appsecret, "secret");
  EXPECT_EQ(uploader.appkey, "key");
  EXPECT_EQ(uploader.projectid, "42");
  EXPECT_EQ(uploader.tenantid, "");
  EXPECT_EQ(uploader.targetname, "report.pdf");
  EXPECT_EQ(uploader.localfile, localPath);
  EXPECT_EQ(uploader.output, dir.file("result.json"));
  EXPECT_EQ(uploader.partSize, 5 * testing::kMiB);
  EXPECT_THAT(log.lines, Contains(" load config success."));
  EXPECT_TRUE(network.attempts().empty());
}

TEST_F(ConfigLoading, EmptyPathFailsWithItsMessage) {
  EXPECT_FALSE(uploader.loadConfig(""));
  EXPECT_EQ(uploader.errorMessage, "file path is empty!");
}

TEST_F(ConfigLoading, MissingFileFailsWithoutMessage) {
  LogCapture log;
  EXPECT_FALSE(uploader.loadConfig(dir.file("no-such-config.json")));
  EXPECT_EQ(uploader.errorMessage, "");
  EXPECT_THAT(log.lines, Contains(" load config error!"));
}

TEST_F(ConfigLoading, ArrayRootFailsWithoutMessage) {
  LogCapture log;
  // Appended, not concatenated: GCC 12 warns falsely (-Wrestrict) on "[" + text().
  std::string array = "[";
  array.append(text()).append("]");
  EXPECT_FALSE(loadText(array));
  EXPECT_EQ(uploader.errorMessage, "");
  EXPECT_THAT(log.lines, Contains(" load config error!"));
  EXPECT_EQ(uploader.rooturl, "");
}

TEST_F(ConfigLoading, UnparsableTextFailsWithoutMessage) {
  LogCapture log;
  EXPECT_FALSE(loadText(text() + " trailing"));
  EXPECT_EQ(uploader.errorMessage, "");
  EXPECT_FALSE(loadText("{\"rooturl\": \"https://store.test\",}"));
  EXPECT_EQ(uploader.errorMessage, "");
  EXPECT_FALSE(loadText(""));
  EXPECT_EQ(uploader.errorMessage, "");
}

TEST_F(ConfigLoading, ByteOrderMarkIsSkipped) {
  ASSERT_TRUE(loadText("\xEF\xBB\xBF" + text())) << uploader.errorMessage;
  EXPECT_EQ(uploader.rooturl, "https://store.test");
  EXPECT_EQ(uploader.partSize, 5 * testing::kMiB);
}

TEST_F(ConfigLoading, CrLfLineEndsAndUnknownKeysAreAccepted) {
  LogCapture log;
  set("comment", jsonString("ignored"));
  set("extra", "{\"nested\": [1, 2]}");
  std::string content = text();
  std::string withCrLf;
  for (char c : content) {
    if (c == '\n') withCrLf += '\r';
    withCrLf += c;
  }
  EXPECT_TRUE(loadText(withCrLf)) << uploader.errorMessage;
  // Each one named once, as a warning; nothing near them to suggest.
  std::vector<std::string> warnings;
  for (size_t i = 0; i < log.lines.size(); ++i) {
    if (log.severities[i] == google::GLOG_WARNING) warnings.push_back(log.lines[i]);
  }
  EXPECT_THAT(warnings, ::testing::ElementsAre("unknown key 'comment' ignored",
                                               "unknown key 'extra' ignored"));
}

// A misspelt optional key would change nothing silently: it is named, with
// the known key it most likely meant, and loading goes on.
TEST_F(ConfigLoading, AMisspeltKeyIsNamedWithTheKnownKeyItMostLikelyMeant) {
  LogCapture log;
  set("maxkpbs", "100");
  set("progresfile", jsonPath(dir.file("p.json")));
  set("Output", jsonString("x"));
  ASSERT_TRUE(load()) << uploader.errorMessage;
  std::vector<std::string> named;
  for (const std::string& line : log.lines) {
    if (line.rfind("unknown key", 0) == 0) named.push_back(line);
  }
  EXPECT_THAT(named, ::testing::ElementsAre(
                         "unknown key 'maxkpbs' ignored (did you mean 'maxkbps'?)",
                         "unknown key 'progresfile' ignored (did you mean 'progressfile'?)",
                         "unknown key 'Output' ignored (did you mean 'output'?)"));
  EXPECT_EQ(scripted.controls.sendCapBytesPerSecond, 0);
}

TEST_F(ConfigLoading, KeysAreMatchedWithTheirLetterCase) {
  drop("rooturl");
  set("RootUrl", jsonString("https://store.test"));
  EXPECT_FALSE(load());
  EXPECT_EQ(uploader.errorMessage, "root url is empty!");
}

// ---- Files in another encoding -------------------------------------------

// `utf8` as GBK, as a Chinese editor saves it by default.
std::string gbk(const std::string& utf8) {
  setLocalCodepage(LocalCodepage::kGbk);
  std::string converted = utf8ToLocal(utf8);
  setLocalCodepage(platformCodepage());
  return converted;
}

// ASCII `text` as UTF-16 with its byte-order mark, as Notepad saves
// "Unicode" (little-endian) and "Unicode big endian".
std::string utf16(const std::string& text, bool bigEndian) {
  std::string out = bigEndian ? "\xFE\xFF" : "\xFF\xFE";
  for (char c : text) {
    out += bigEndian ? std::string{'\0', c} : std::string{c, '\0'};
  }
  return out;
}

// The index of the first line holding `needle`; lines.size() when none does.
size_t lineWith(const LogCapture& log, const std::string& needle) {
  size_t at = 0;
  while (at < log.lines.size() && log.lines[at].find(needle) == std::string::npos) ++at;
  return at;
}

constexpr char kUtf16Line[] = "configuration file is UTF-16; save it as UTF-8";

TEST_F(ConfigLoading, AUtf16FileSaysSoBeforeLoadConfigError) {
  for (bool bigEndian : {false, true}) {
    SCOPED_TRACE(bigEndian ? "big-endian" : "little-endian");
    LogCapture log;
    EXPECT_FALSE(loadText(utf16(text(), bigEndian)));
    EXPECT_EQ(uploader.errorMessage, "");
    const size_t said = lineWith(log, kUtf16Line);
    ASSERT_LT(said, log.lines.size());
    EXPECT_EQ(log.severities[said], google::GLOG_ERROR);
    EXPECT_LT(said, lineWith(log, " load config error!"));
    EXPECT_LT(lineWith(log, " load config error!"), log.lines.size());
    EXPECT_EQ(lineWith(log, "is not UTF-8"), log.lines.size());
  }
}

// 診斷 in GBK is D4 5C 94 E0: "\\" followed by 94 is no JSON escape.
TEST_F(ConfigLoading, AGbkFileThatBreaksTheJsonSaysWhereItIsNotUtf8) {
  LogCapture log;
  EXPECT_FALSE(loadText("{\n  \"targetname\": \"" + gbk("\xE8\xA8\xBA\xE6\x96\xB7") + "\"\n}"));
  EXPECT_EQ(uploader.errorMessage, "");
  const size_t said =
      lineWith(log, "configuration file is not UTF-8 (line 2, column 18); save it as UTF-8");
  ASSERT_LT(said, log.lines.size());
  EXPECT_EQ(log.severities[said], google::GLOG_ERROR);
  EXPECT_LT(said, lineWith(log, "configuration is not valid JSON: "));
  EXPECT_LT(said, lineWith(log, " load config error!"));
  EXPECT_LT(lineWith(log, " load config error!"), log.lines.size());
}

// A GBK file that parses goes on to its usual checks: its path is no UTF-8,
// so the local file cannot be found, and the encoding was named first.
TEST_F(ConfigLoading, AGbkFileThatParsesStillEndsWithItsUsualMessage) {
  set("localfile", jsonPath(dir.write("\xE6\x8A\xA5\xE5\x91\x8A.bin", "data")));  // 报告.bin
  LogCapture log;
  EXPECT_FALSE(loadText(gbk(text())));
  EXPECT_EQ(uploader.errorMessage, "local file can not access!");
  const size_t said = lineWith(log, "configuration file is not UTF-8 (line 7, column ");
  ASSERT_LT(said, log.lines.size());
  EXPECT_LT(said, lineWith(log, "localfile "));
  EXPECT_LT(lineWith(log, "localfile "), log.lines.size());
  EXPECT_EQ(lineWith(log, " load config error!"), log.lines.size());
}

TEST_F(ConfigLoading, Utf8WithChineseAndAByteOrderMarkSaysNothingOfTheEncoding) {
  set("targetname", jsonString("\xE6\x8A\xA5\xE5\x91\x8A.pdf"));
  LogCapture log;
  ASSERT_TRUE(loadText("\xEF\xBB\xBF" + text())) << uploader.errorMessage;
  EXPECT_EQ(lineWith(log, "save it as UTF-8"), log.lines.size());
}

// ---- Messages and their order -------------------------------------------

struct MissingKeyCase {
  const char* key;
  const char* message;
};
void PrintTo(const MissingKeyCase& c, std::ostream* os) { *os << c.key; }

class ConfigMissingKey : public ConfigLoading,
                         public ::testing::WithParamInterface<MissingKeyCase> {};
// The same for the keys that hold strings.
class ConfigMissingStringKey : public ConfigMissingKey {};

TEST_P(ConfigMissingKey, AbsentKeyFailsWithItsMessage) {
  drop(GetParam().key);
  EXPECT_FALSE(load());
  EXPECT_EQ(uploader.errorMessage, GetParam().message);
}

TEST_P(ConfigMissingStringKey, EmptyStringCountsAsMissing) {
  set(GetParam().key, jsonString(""));
  EXPECT_FALSE(load());
  EXPECT_EQ(uploader.errorMessage, GetParam().message);
}

TEST_P(ConfigMissingStringKey, NonStringValueCountsAsMissing) {
  set(GetParam().key, "17");
  EXPECT_FALSE(load());
  EXPECT_EQ(uploader.errorMessage, GetParam().message);
}

TEST_P(ConfigMissingStringKey, ValueStartingWithNulCountsAsMissing) {
  set(GetParam().key, jsonString("\\u0000https://store.test"));
  EXPECT_FALSE(load());
  EXPECT_EQ(uploader.errorMessage, GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    EachRequiredKey, ConfigMissingKey,
    ::testing::Values(MissingKeyCase{"rooturl", "root url is empty!"},
                      MissingKeyCase{"appsecret", "appsecret is empty!"},
                      MissingKeyCase{"appkey", "appkey is empty!"},
                      MissingKeyCase{"projectid", "projectid is empty!"},
                      MissingKeyCase{"targetname", "targetname is empty!"},
                      MissingKeyCase{"localfile", "localfile is empty!"},
                      MissingKeyCase{"output", "output is empty!"},
                      MissingKeyCase{"partsize", "no part size item!"}),
    [](const ::testing::TestParamInfo<MissingKeyCase>& info) { return std::string(info.param.key); });

INSTANTIATE_TEST_SUITE_P(
    EachRequiredStringKey, ConfigMissingStringKey,
    ::testing::Values(MissingKeyCase{"rooturl", "root url is empty!"},
                      MissingKeyCase{"appsecret", "appsecret is empty!"},
                      MissingKeyCase{"appkey", "appkey is empty!"},
                      MissingKeyCase{"projectid", "projectid is empty!"},
                      MissingKeyCase{"targetname", "targetname is empty!"},
                      MissingKeyCase{"localfile", "localfile is empty!"},
                      MissingKeyCase{"output", "output is empty!"}),
    [](const ::testing::TestParamInfo<MissingKeyCase>& info) { return std::string(info.param.key); });

TEST_F(ConfigLoading, RootUrlFailureStopsBeforeAnyLaterKeyIsRead) {
  drop("rooturl");
  drop("appkey");
  EXPECT_FALSE(load());
  EXPECT_EQ(uploader.errorMessage, "root url is empty!");
  // The store URLs were neither read nor defaulted, the credentials not read.
  EXPECT_EQ(uploader.tokenurl, "");
  EXPECT_EQ(uploader.directurl, "");
  EXPECT_EQ(uploader.appsecret, "");
  // The keys before it were read.
  EXPECT_EQ(uploader.accounturl, "https://acct.test");
  EXPECT_EQ(uploader.gatewaytokenurl, "/api/uaa/oauth/token");
}

TEST_F(ConfigLoading, AppsecretIsCheckedBeforeTargetname) {
  drop("appsecret");
  drop("targetname");
  EXPECT_FALSE(load());
  EXPECT_EQ(uploader.errorMessage, "appsecret is empty!");
  EXPECT_EQ(uploader.appkey, "");
  EXPECT_EQ(uploader.projectid, "");
  EXPECT_EQ(uploader.localfile, "");
}

TEST_F(ConfigLoading, AppsecretIsCheckedBeforeAppkey) {
  drop("appsecret");
  drop("appkey");
  EXPECT_FALSE(load());
  EXPECT_EQ(uploader.errorMessage, "appsecret is empty!");
}

TEST_F(ConfigLoading, AppkeyFailureLeavesIdentityAndFilesUnread) {
  drop("appkey");
  EXPECT_FALSE(load());
  EXPECT_EQ(uploader.errorMessage, "appkey is empty!");
  EXPECT_EQ(uploader.appsecret, "secret");
  EXPECT_EQ(uploader.projectid, "");
  EXPECT_EQ(uploader.targetname, "");
}

TEST_F(ConfigLoading, ProjectidIsCheckedBeforeTargetname) {
  drop("projectid");
  drop("targetname");
  EXPECT_FALSE(load());
  EXPECT_EQ(uploader.errorMessage, "projectid is empty!");
  EXPECT_EQ(uploader.targetname, "");
}

TEST_F(ConfigLoading, TargetnameLocalfileOutputInThisOrder) {
  drop("localfile");
  drop("output");
  drop("targetname");
  EXPECT_FALSE(load());
  EXPECT_EQ(uploader.errorMessage, "targetname is empty!");

  set("targetname", jsonString("report.pdf"));
  CorvaneMultiUpload second(scripted.context);
  EXPECT_FALSE(second.loadConfig(dir.write("config2.json", text())));
  EXPECT_EQ(second.errorMessage, "localfile is empty!");
  EXPECT_EQ(second.output, "");
}

TEST_F(ConfigLoading, OutputIsCheckedBeforeTheLocalFileExists) {
  drop("output");
  set("localfile", jsonPath(dir.file("absent.bin")));
  EXPECT_FALSE(load());
  EXPECT_EQ(uploader.errorMessage, "output is empty!");
}

TEST_F(ConfigLoading, LocalFileIsCheckedBeforePartsize) {
  set("localfile", jsonPath(dir.file("absent.bin")));
  drop("partsize");
  EXPECT_FALSE(load());
  EXPECT_EQ(uploader.errorMessage, "local file can not access!");
  EXPECT_EQ(uploader.partSize, 0);
}

TEST_F(ConfigLoading, PartsizeFailureComesBeforeTheLookup) {
  drop("projectid");
  set("tenantid", jsonString("t1"));
  set("orgid", jsonString("o1"));
  drop("partsize");
  EXPECT_FALSE(load());
  EXPECT_EQ(uploader.errorMessage, "no part size item!");
  EXPECT_TRUE(network.attempts().empty());
}

// ---- Account URL warning and project -------------------------------------

TEST_F(ConfigLoading, MissingAccountUrlIsOnlyAWarningWhenProjectIsGiven) {
  drop("accounturl");
  EXPECT_TRUE(load());
  EXPECT_EQ(uploader.errorMessage, "account url is empty!");
  EXPECT_EQ(uploader.accounturl, "");
}

TEST_F(ConfigLoading, LaterFailureReplacesTheAccountUrlWarning) {
  drop("accounturl");
  drop("appkey");
  EXPECT_FALSE(load());
  EXPECT_EQ(uploader.errorMessage, "appkey is empty!");
}

TEST_F(ConfigLoading, ProjectidGivenAsNumberIsMissing) {
  set("projectid", "42");
  EXPECT_FALSE(load());
  EXPECT_EQ(uploader.errorMessage, "projectid is empty!");
}

TEST_F(ConfigLoading, ProjectidZeroIsKeptAsGiven) {
  set("projectid", jsonString("0"));
  ASSERT_TRUE(load()) << uploader.errorMessage;
  EXPECT_EQ(uploader.projectid, "0");
  EXPECT_EQ(uploader.taskurl, "https://store.test/mdox/v1/data/projects/0/file-items/multi-part-files");
}

TEST_F(ConfigLoading, TenantWithoutOrgidFailsEvenWithProjectid) {
  set("tenantid", jsonString("t1"));
  EXPECT_FALSE(load());
  EXPECT_EQ(uploader.errorMessage, "orgid is empty!");
}

TEST_F(ConfigLoading, TenantWithoutOrgidOrProjectidNamesTheOrgid) {
  set("tenantid", jsonString("t1"));
  drop("projectid");
  EXPECT_FALSE(load());
  EXPECT_EQ(uploader.errorMessage, "orgid is empty!");
}

TEST_F(ConfigLoading, TenantGivenAsNumberIsNoTenant) {
  set("tenantid", "7");
  set("orgid", jsonString("o1"));
  drop("projectid");
  EXPECT_FALSE(load());
  EXPECT_EQ(uploader.errorMessage, "projectid is empty!");
  EXPECT_EQ(uploader.tenantid, "");
}

TEST_F(ConfigLoading, TenantWithOrgidAndProjectidNeedsNoLookup) {
  set("tenantid", jsonString("t1"));
  set("orgid", jsonString("o1"));
  ASSERT_TRUE(load()) << uploader.errorMessage;
  EXPECT_EQ(uploader.projectid, "42");
  EXPECT_EQ(uploader.tenantid, "t1");
  EXPECT_EQ(uploader.orgid, "o1");
  EXPECT_TRUE(network.attempts().empty());
}

TEST_F(ConfigLoading, TenantWithoutProjectidLooksTheProjectUp) {
  set("tenantid", jsonString("t1"));
  set("orgid", jsonString("o1"));
  drop("projectid");
  network.thenRespond(R"({"access_token":"gw"})");
  network.thenRespond(R"({"project":{"id":9001}})");
  ::testing::internal::CaptureStdout();
  bool loaded = load();
  ::testing::internal::GetCapturedStdout();
  ASSERT_TRUE(loaded) << uploader.errorMessage;
  EXPECT_EQ(uploader.projectid, "9001");
  EXPECT_EQ(uploader.taskurl,
            "https://store.test/mdox/v1/data/projects/9001/file-items/multi-part-files");
  ASSERT_EQ(network.attempts().size(), 2u);
  EXPECT_EQ(network.attempts()[0].url, "https://acct.test/api/uaa/oauth/token");
  EXPECT_EQ(network.attempts()[1].url,
            "https://acct.test/api/org-permission/v4/orgs/o1/projects?includeExtendData=false");
}

TEST_F(ConfigLoading, FailedLookupFailsTheLoad) {
  set("tenantid", jsonString("t1"));
  set("orgid", jsonString("o1"));
  drop("projectid");
  network.thenRespond(R"({"access_token":"gw"})");
  network.thenRespond(R"({"project":{"id":"9001"}})");
  ::testing::internal::CaptureStdout();
  bool loaded = load();
  ::testing::internal::GetCapturedStdout();
  EXPECT_FALSE(loaded);
  EXPECT_EQ(uploader.projectid, "");
}

TEST_F(ConfigLoading, LookupWithoutAccountUrlFailsWithTheWarningAndSendsNothing) {
  drop("accounturl");
  set("tenantid", jsonString("t1"));
  set("orgid", jsonString("o1"));
  drop("projectid");
  EXPECT_FALSE(load());
  EXPECT_EQ(uploader.errorMessage, "account url is empty!");
  EXPECT_TRUE(network.attempts().empty());
}

// ---- The local file -------------------------------------------------------

TEST_F(ConfigLoading, MissingLocalFileCannotBeAccessed) {
  set("localfile", jsonPath(dir.file("absent.bin")));
  EXPECT_FALSE(load());
  EXPECT_EQ(uploader.errorMessage, "local file can not access!");
}

TEST_F(ConfigLoading, DirectoryAsLocalFileCannotBeAccessed) {
  set("localfile", jsonPath(dir.path()));
  EXPECT_FALSE(load());
  EXPECT_EQ(uploader.errorMessage, "local file can not access!");
}

// Root reads any file, so under root the check runs as "nobody".
TEST_F(ConfigLoading, UnreadableLocalFileCannotBeAccessed) {
  std::string locked = dir.write("locked.bin", "x");
  ReadingDenied denied(locked);
  ASSERT_TRUE(denied.held());
  set("localfile", jsonPath(locked));
  const std::string config = dir.write("config.json", text());
  auto refused = [&] {
    return !uploader.loadConfig(config) && uploader.errorMessage == "local file can not access!";
  };
  if (denied.bindsThisProcess()) {
    EXPECT_TRUE(refused()) << uploader.errorMessage;
    return;
  }
  std::optional<bool> held = testing::holdsAsNobody(dir.path(), config, refused);
  if (!held) GTEST_SKIP() << "no child process can become the user nobody and read " << config;
  EXPECT_TRUE(*held) << "as nobody, the load did not fail with \"local file can not access!\"";
}

TEST_F(ConfigLoading, LocalFileNameOutsideTheCodePageCannotBeAccessed) {
  // The file exists under its UTF-8 name; only the conversion makes it fail.
  std::string emojiPath = dir.write("photo-\xF0\x9F\x98\x80.bin", "data");
  set("localfile", jsonPath(emojiPath));
  set("codepage", jsonString("GBK"));
  LogCapture log;
  EXPECT_FALSE(load());
  EXPECT_EQ(uploader.errorMessage, "local file can not access!");
  EXPECT_EQ(uploader.localfile, "");
  // The path as configured, and what to do about it.
  EXPECT_THAT(log.lines, Contains("localfile " + emojiPath +
                                  ": not representable in code page GBK; set \"codepage\": "
                                  "\"UTF-8\""));
  EXPECT_THAT(log.lines, Not(Contains(HasSubstr("local file : "))));
}

// Every path key says which path the code page cannot hold; the run fails
// as before, with the key's own message.
TEST_F(ConfigLoading, OutputOutsideTheCodePageCannotBeWritten) {
  set("output", jsonPath(dir.file("result-\xF0\x9F\x98\x80.json")));
  set("codepage", jsonString("GBK"));
  LogCapture log;
  EXPECT_FALSE(load());
  EXPECT_EQ(uploader.output, "");
  EXPECT_EQ(uploader.errorMessage, "output can not write!");
  EXPECT_THAT(log.lines, Contains("output " + dir.file("result-\xF0\x9F\x98\x80.json") +
                                  ": not representable in code page GBK; set \"codepage\": "
                                  "\"UTF-8\""));
  set("output", jsonPath(dir.file("result.json")));
  const std::vector<std::pair<const char*, const char*>> others = {
      {"resumefile", "resumefile can not write!"},
      {"progressfile", "progressfile can not write!"},
      {"stopfile", "stopfile is invalid!"}};
  for (const auto& [key, message] : others) {
    SCOPED_TRACE(key);
    const std::string path = dir.file(std::string(key) + "-\xF0\x9F\x98\x80");
    set(key, jsonPath(path));
    EXPECT_FALSE(load());
    EXPECT_EQ(uploader.errorMessage, message);
    EXPECT_THAT(log.lines, Contains(std::string(key) + " " + path +
                                    ": not representable in code page GBK; set \"codepage\": "
                                    "\"UTF-8\""));
    drop(key);
  }
}

// The stop file is only looked for: named, it is handed to the transfer
// loop's controls, and loading neither creates nor needs it.
TEST_F(ConfigLoading, AStopFileIsHandedToTheRunsControlsAsItIs) {
  set("stopfile", jsonPath(dir.file("stop-\xE6\x8A\xA5")));
  set("codepage", jsonString("UTF-8"));
  ASSERT_TRUE(load()) << uploader.errorMessage;
  EXPECT_EQ(scripted.controls.stopFile, dir.file("stop-\xE6\x8A\xA5"));
  EXPECT_FALSE(env.pathExists(dir.file("stop-\xE6\x8A\xA5")));
}

// A file the run reads or writes itself exists while it runs: as the stop
// file it would stop every run at once.
TEST_F(ConfigLoading, AStopFileThatIsAlsoAFileOfTheRunIsRefused) {
  set("progressfile", jsonPath(dir.file("p.json")));
  for (const char* key : {"localfile", "output", "progressfile"}) {
    SCOPED_TRACE(key);
    for (const auto& entry : keys) {
      if (entry.first == key) set("stopfile", entry.second);
    }
    LogCapture log;
    EXPECT_FALSE(load());
    EXPECT_EQ(uploader.errorMessage, "stopfile is invalid!");
    EXPECT_THAT(log.lines, Contains(HasSubstr(std::string(" is also the ") + key)));
    EXPECT_EQ(scripted.controls.stopFile, "");
  }
}

TEST_F(ConfigLoading, Utf8CodepageKeepsAUtf8LocalFileName) {
  std::string chinesePath = dir.write("\xE6\x8A\xA5\xE5\x91\x8A-\xF0\x9F\x98\x80.bin", "data");
  set("localfile", jsonPath(chinesePath));
  set("codepage", jsonString("UTF-8"));
  ASSERT_TRUE(load()) << uploader.errorMessage;
  EXPECT_EQ(uploader.localfile, chinesePath);
}

// Where the platform's own code page is GBK (Windows), the ANSI calls find the
// file through its GBK name; where file names are UTF-8, that name names no
// file.
TEST_F(ConfigLoading, GbkCodepageConvertsTheLocalFileName) {
  std::string chinesePath = dir.write("\xE6\x8A\xA5\xE5\x91\x8A.bin", "data");
  set("localfile", jsonPath(chinesePath));
  set("codepage", jsonString("GBK"));
  if (platformCodepage() == LocalCodepage::kGbk) {
    EXPECT_TRUE(load()) << uploader.errorMessage;
  } else {
    EXPECT_FALSE(load());
    EXPECT_EQ(uploader.errorMessage, "local file can not access!");
  }
  EXPECT_EQ(uploader.localfile, dir.file("\xB1\xA8\xB8\xE6.bin"));
}

TEST_F(ConfigLoading, UnknownCodepageFailsTheLoad) {
  set("codepage", jsonString("latin1"));
  EXPECT_FALSE(load());
  EXPECT_EQ(uploader.errorMessage, "codepage is invalid!");
}

TEST_F(ConfigLoading, LoadWithoutCodepageTakesThePlatformsOwn) {
  for (LocalCodepage before : {LocalCodepage::kGbk, LocalCodepage::kUtf8}) {
    setLocalCodepage(before);
    ASSERT_TRUE(load()) << uploader.errorMessage;
    EXPECT_EQ(localCodepage(), platformCodepage());
  }
}

// ---- Part size ------------------------------------------------------------

TEST_F(ConfigLoading, PartsizeIsCountedInMebibytes) {
  set("partsize", "5");
  ASSERT_TRUE(load());
  EXPECT_EQ(uploader.partSize, 5 * 1048576);
}

TEST_F(ConfigLoading, LargestPartsizeDoesNotOverflow) {
  set("partsize", "2147483647");
  ASSERT_TRUE(load());
  EXPECT_EQ(uploader.partSize, int64_t{2147483647} * 1048576);
}

class ConfigPartsize : public ConfigLoading,
                       public ::testing::WithParamInterface<std::pair<const char*, const char*>> {};

TEST_P(ConfigPartsize, RejectedWithItsMessageAndLogged) {
  LogCapture log;
  set("partsize", GetParam().first);
  EXPECT_FALSE(load());
  EXPECT_EQ(uploader.errorMessage, GetParam().second);
  EXPECT_THAT(log.lines, Contains("load partsize key error!"));
  EXPECT_EQ(uploader.partSize, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Forms, ConfigPartsize,
    ::testing::Values(std::make_pair("0", "part size is less than zero!"),
                      std::make_pair("-5", "part size is less than zero!"),
                      std::make_pair("-2147483648", "part size is less than zero!"),
                      std::make_pair("5.0", "no part size item!"),
                      std::make_pair("\"5\"", "no part size item!"),
                      std::make_pair("2147483648", "no part size item!"),
                      std::make_pair("-2147483649", "no part size item!"),
                      std::make_pair("true", "no part size item!"),
                      std::make_pair("null", "no part size item!")));

// ---- Parts in flight and the stall time -------------------------------------

TEST_F(ConfigLoading, PartsInFlightAndStallTimeHaveDefaultsAndBounds) {
  ASSERT_TRUE(load());
  EXPECT_EQ(uploader.parallelparts, 1);
  EXPECT_EQ(uploader.stallseconds, 60);
  set("parallelparts", "16");
  set("stallseconds", "5");
  ASSERT_TRUE(load());
  EXPECT_EQ(uploader.parallelparts, 16);
  EXPECT_EQ(uploader.stallseconds, 5);
}

TEST_F(ConfigLoading, BadPartsInFlightOrStallTimeFailLoadingRightAfterThePartSize) {
  const std::pair<const char*, const char*> badParallel[] = {
      {"parallelparts", "0"}, {"parallelparts", "17"}, {"parallelparts", "4.0"},
      {"parallelparts", "\"4\""}, {"parallelparts", "null"}};
  const std::pair<const char*, const char*> badStall[] = {
      {"stallseconds", "4"}, {"stallseconds", "3601"}, {"stallseconds", "\"60\""}};
  for (const auto& [key, value] : badParallel) {
    set(key, value);
    EXPECT_FALSE(load()) << value;
    EXPECT_EQ(uploader.errorMessage, "parallel parts is invalid!") << value;
    // Read after the part size: a bad part size is named first.
    set("partsize", "0");
    EXPECT_FALSE(load());
    EXPECT_EQ(uploader.errorMessage, "part size is less than zero!");
    set("partsize", "5");
    drop(key);
  }
  for (const auto& [key, value] : badStall) {
    set(key, value);
    EXPECT_FALSE(load()) << value;
    EXPECT_EQ(uploader.errorMessage, "stall seconds is invalid!") << value;
    drop(key);
  }
}

// ---- Defaults and URL completion -----------------------------------------

TEST_F(ConfigLoading, EveryUrlKeyHasItsDefault) {
  ASSERT_TRUE(load()) << uploader.errorMessage;
  EXPECT_EQ(uploader.gatewaytokenurl, "/api/uaa/oauth/token");
  EXPECT_EQ(uploader.projecturl,
            "/api/org-permission/v4/orgs/{org-id}/projects?includeExtendData=false");
  EXPECT_EQ(uploader.tokenurl, "https://store.test/oauth2/token");
  EXPECT_EQ(uploader.taskurl,
            "https://store.test/mdox/v1/data/projects/42/file-items/multi-part-files");
  EXPECT_EQ(uploader.parturl,
            "https://store.test/mdox/v1/data/projects/42/file-items/multi-part-files/signed-url");
  EXPECT_EQ(uploader.mergeurl,
            "https://store.test/mdox/v1/data/projects/42/file-items/multi-part-files/merge");
  EXPECT_EQ(uploader.aborturl,
            "https://store.test/mdox/v1/data/projects/42/file-items/multi-part-files/abort");
  EXPECT_EQ(uploader.directurl, "https://store.test/mdox/data/v1/projects/42/fileItems");
}

TEST_F(ConfigLoading, NonStringUrlKeysFallBackToTheirDefaults) {
  set("taskurl", "1");
  set("gatewaytokenurl", jsonString(""));
  set("directurl", "null");
  ASSERT_TRUE(load()) << uploader.errorMessage;
  EXPECT_EQ(uploader.gatewaytokenurl, "/api/uaa/oauth/token");
  EXPECT_EQ(uploader.taskurl,
            "https://store.test/mdox/v1/data/projects/42/file-items/multi-part-files");
  EXPECT_EQ(uploader.directurl, "https://store.test/mdox/data/v1/projects/42/fileItems");
}

TEST_F(ConfigLoading, ConfiguredStoreUrlsAreJoinedToRootAndCompleted) {
  set("taskurl", jsonString("/t/{project-id}"));
  set("parturl", jsonString("/p/{project-id}/signed"));
  set("mergeurl", jsonString("/m/{project-id}"));
  set("aborturl", jsonString("/a/{project-id}"));
  set("directurl", jsonString("/d/{project-id}/items"));
  ASSERT_TRUE(load()) << uploader.errorMessage;
  EXPECT_EQ(uploader.taskurl, "https://store.test/t/42");
  EXPECT_EQ(uploader.parturl, "https://store.test/p/42/signed");
  EXPECT_EQ(uploader.mergeurl, "https://store.test/m/42");
  EXPECT_EQ(uploader.aborturl, "https://store.test/a/42");
  EXPECT_EQ(uploader.directurl, "https://store.test/d/42/items");
}

TEST_F(ConfigLoading, PlaceholderTwiceIsReplacedAtBothPlaces) {
  set("directurl", jsonString("/x/{project-id}/y/{project-id}"));
  ASSERT_TRUE(load());
  EXPECT_EQ(uploader.directurl, "https://store.test/x/42/y/42");
}

TEST_F(ConfigLoading, ProjectidHoldingThePlaceholderIsInsertedOnce) {
  set("projectid", jsonString("a{project-id}b"));
  set("taskurl", jsonString("/t/{project-id}/{project-id}"));
  ASSERT_TRUE(load());
  EXPECT_EQ(uploader.taskurl, "https://store.test/t/a{project-id}b/a{project-id}b");
  EXPECT_EQ(uploader.directurl,
            "https://store.test/mdox/data/v1/projects/a{project-id}b/fileItems");
}

TEST_F(ConfigLoading, TokenUrlIsJoinedToRootWithoutFillingPlaceholders) {
  set("tokenurl", jsonString("/auth/{project-id}/token"));
  ASSERT_TRUE(load());
  EXPECT_EQ(uploader.tokenurl, "https://store.test/auth/{project-id}/token");
}

TEST_F(ConfigLoading, NoSeparatorIsAddedOrRemovedAtTheJoin) {
  set("rooturl", jsonString("https://store.test/"));
  set("tokenurl", jsonString("token"));
  ASSERT_TRUE(load());
  EXPECT_EQ(uploader.tokenurl, "https://store.test/token");
  EXPECT_EQ(uploader.directurl, "https://store.test//mdox/data/v1/projects/42/fileItems");
}

TEST_F(ConfigLoading, AccountUrlsAreNotJoinedAtLoad) {
  set("gatewaytokenurl", jsonString("/gw/token"));
  set("projecturl", jsonString("/orgs/{org-id}/p"));
  ASSERT_TRUE(load());
  EXPECT_EQ(uploader.gatewaytokenurl, "/gw/token");
  EXPECT_EQ(uploader.projecturl, "/orgs/{org-id}/p");
  EXPECT_EQ(uploader.accounturl, "https://acct.test");
}

TEST_F(ConfigLoading, ValueWithEmbeddedNulKeepsOnlyTheCharactersBeforeIt) {
  set("targetname", jsonString("ab\\u0000cd"));
  set("rooturl", jsonString("https://store.test\\u0000/junk"));
  ASSERT_TRUE(load()) << uploader.errorMessage;
  EXPECT_EQ(uploader.targetname, "ab");
  EXPECT_EQ(uploader.targetname.size(), 2u);
  EXPECT_EQ(uploader.tokenurl, "https://store.test/oauth2/token");
}

// ---- The text helpers -------------------------------------------------------

TEST(ReplaceAll, ReplacementHoldingThePatternIsNotExpandedAgain) {
  std::string text = "{x}-{x}";
  replaceAll(text, "{x}", "<{x}>");
  EXPECT_EQ(text, "<{x}>-<{x}>");
}

TEST(ReplaceAll, ShorterReplacementStillFindsAdjacentMatches) {
  std::string text = "aaaa";
  replaceAll(text, "aa", "b");
  EXPECT_EQ(text, "bb");
  std::string empty = "abc";
  replaceAll(empty, "b", "");
  EXPECT_EQ(empty, "ac");
}

TEST(CompleteUrl, EmptyPlaceholderOnlyJoins) {
  EXPECT_EQ(completeUrl("https://r", "/a/{project-id}", "", "7"), "https://r/a/{project-id}");
  EXPECT_EQ(completeUrl("https://r", "/a/{p}/{p}", "{p}", "7"), "https://r/a/7/7");
}

TEST(UnknownKeyWarnings, EveryKeyLoadingReadsIsKnown) {
  rapidjson::Document document;
  document.Parse(R"({"accounturl":1,"gatewaytokenurl":1,"projecturl":1,"rooturl":1,
      "tokenurl":1,"taskurl":1,"parturl":1,"mergeurl":1,"aborturl":1,"directurl":1,
      "appsecret":1,"appkey":1,"projectid":1,"orgid":1,"tenantid":1,"targetname":1,
      "localfile":1,"files":1,"output":1,"codepage":1,"partsize":1,"parallelparts":1,
      "parallelfiles":1,"stallseconds":1,"maxkbps":1,"resumefile":1,"progressfile":1,
      "stopfile":1,"proxy":1})");
  ASSERT_TRUE(document.IsObject());
  EXPECT_THAT(unknownKeyWarnings(document), ::testing::IsEmpty());
  // One edit from "maxkbps"; more than two from every known key; a control
  // character escaped.
  document.Parse(R"({"maxkibps":1,"stop":1,"new\nline":1})");
  EXPECT_THAT(unknownKeyWarnings(document),
              ::testing::ElementsAre("unknown key 'maxkibps' ignored (did you mean 'maxkbps'?)",
                                     "unknown key 'stop' ignored",
                                     "unknown key 'new\\nline' ignored"));
}

TEST(GetConfigString, EmptyKeyOrWrongTypeLeavesTheFieldAlone) {
  rapidjson::Document document;
  document.Parse(R"({"": "x", "n": 1, "s": "value", "e": ""})");
  std::string field = "before";
  EXPECT_FALSE(getConfigString(document, "", field));
  EXPECT_FALSE(getConfigString(document, "n", field));
  EXPECT_FALSE(getConfigString(document, "e", field));
  EXPECT_FALSE(getConfigString(document, "absent", field));
  EXPECT_EQ(field, "before");
  EXPECT_TRUE(getConfigString(document, "s", field));
  EXPECT_EQ(field, "value");
}

TEST(ReadTextFile, StopsAtTheFirstNulAndSkipsTheByteOrderMark) {
  ScratchDir dir;
  std::string path = dir.write("t.json", std::string("\xEF\xBB\xBF{\"a\":1}\0junk", 15));
  EXPECT_EQ(readTextFile(path), "{\"a\":1}");
  std::string reason;
  EXPECT_EQ(readTextFile(dir.file("missing"), &reason), "");
  EXPECT_EQ(reason, "No such file or directory");
}

// Columns count bytes: 报 before the GBK byte takes three.
TEST(EncodingProblem, NamesTheFirstByteThatIsNotUtf8ByLineAndByteColumn) {
  EXPECT_EQ(encodingProblem("{\"a\": \"\xE6\x8A\xA5\"}"), "");
  EXPECT_EQ(encodingProblem(""), "");
  EXPECT_EQ(encodingProblem("{\n\"\xE6\x8A\xA5\xB1\xA8\": 1}"),
            "configuration file is not UTF-8 (line 2, column 5); save it as UTF-8");
  // A sequence cut short by the end of the file.
  EXPECT_EQ(encodingProblem("{\"a\":\"\xE6\x8A"),
            "configuration file is not UTF-8 (line 1, column 7); save it as UTF-8");
  EXPECT_EQ(encodingProblem("\xFF\xFE{"), "configuration file is UTF-16; save it as UTF-8");
  EXPECT_EQ(encodingProblem("\xFE\xFF"), "configuration file is UTF-16; save it as UTF-8");
}

TEST(ParseConfigText, SaysWhereAndWhatTheErrorIs) {
  rapidjson::Document document;
  std::string problem;
  EXPECT_FALSE(parseConfigText("{\n  \"a\": 1\n  \"b\": 2\n}", document, problem));
  EXPECT_EQ(problem, "line 3, column 3: Missing a comma or '}' after an object member.");
  EXPECT_FALSE(parseConfigText("{\"a\": 1,}", document, problem));
  EXPECT_EQ(problem, "line 1, column 9: Missing a name for object member.");
  EXPECT_TRUE(parseConfigText("{\"a\": [[[1]]]}", document, problem));
}

}  // namespace
}  // namespace corvane
