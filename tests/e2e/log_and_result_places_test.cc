// Where the uploader keeps its logs and whether its result can be written,
// as an ordinary user meets them on Linux: an executable in a directory the
// user cannot write to, and an output path that cannot take a file. The
// Windows build runs as the tests' own user (Wine does not switch users) and
// keeps no other log place.
#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "e2e_harness.h"

namespace corvane::e2e {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

// A user other than the tests' own when they run as root; ordinary users
// are bound by the permissions anyway.
constexpr const char* kOrdinaryUser = "nobody";

// A directory tree every user may enter: `dir` itself, a read-only "bin"
// holding the executable and an open "state" for whatever the run may write.
class OrdinaryUserPlaces : public ::testing::Test {
 protected:
  void SetUp() override {
    chmod(dir.path().c_str(), 0755);
    placeUploader(bin());
    chmod(bin().c_str(), 0555);
    makeDir(state(), 0777);
    writeFile(dir.file("input.bin"), "content");
    chmod(dir.file("input.bin").c_str(), 0644);
  }
  // Opened again, so that the tree can be removed by whoever runs the tests.
  void TearDown() override {
    for (const char* name : {"bin", "readonly", "closed"}) chmod(dir.file(name).c_str(), 0755);
  }
  static void makeDir(const std::string& path, mode_t mode) {
    fs::create_directories(path);
    chmod(path.c_str(), mode);
  }
  std::string bin() const { return dir.file("bin"); }
  std::string state() const { return dir.file("state"); }

  // One run as an ordinary user, the result file in "state" unless the
  // configuration says otherwise.
  RunResult runAsOrdinaryUser(const std::string& output, std::vector<std::string> environment) {
    std::string config = writeConfig(dir, store, dir.file("input.bin"), {{"output", output}});
    chmod(config.c_str(), 0644);
    RunOptions options;
    options.executableDir = bin();
    options.user = kOrdinaryUser;
    options.environment = std::move(environment);
    return runUploaderWith(dir, {"-cfg", config}, options);
  }

  TempDir dir;
  LocalStore store;
};

TEST_F(OrdinaryUserPlaces, LogsGoToTheUsersStateDirectoryWhenTheExecutablesCannotTakeThem) {
  SKIP_FOR_WINDOWS_UPLOADER("the log fallback to XDG_STATE_HOME is Linux-only by design");
  RunResult result =
      runAsOrdinaryUser(state() + "/result.json", {"XDG_STATE_HOME=" + state()});
  const std::string logs = state() + "/corvane-upload/logs";
  EXPECT_EQ(result.exitStatus, 0) << result.err;
  EXPECT_THAT(result.out, HasSubstr(" log dir is " + logs + "/corvaneMuliUpload.log.\n"));
  EXPECT_FALSE(fs::exists(bin() + "/logs"));
  ASSERT_TRUE(fs::is_directory(logs));
  std::string written;
  for (const auto& entry : fs::directory_iterator(logs)) written += readFile(entry.path().string());
  EXPECT_THAT(written, HasSubstr(" load config success."));
  EXPECT_THAT(written, HasSubstr("fileItemId:fi-"));
  EXPECT_THAT(readFile(state() + "/result.json"), HasSubstr(R"("code":"success")"));
}

TEST_F(OrdinaryUserPlaces, WithoutAnyLogDirectoryEveryLineStillReachesStandardError) {
  SKIP_FOR_WINDOWS_UPLOADER(
      "it needs the Linux log fallback and a user that POSIX permissions bind (setpriv)");
  makeDir(dir.file("closed"), 0555);
  RunResult result = runAsOrdinaryUser(
      state() + "/result.json",
      {"XDG_STATE_HOME=" + dir.file("closed"), "HOME=" + dir.file("closed")});
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_THAT(result.out, Not(HasSubstr(" log dir is ")));
  EXPECT_THAT(result.err, HasSubstr("] no log directory can be created or written; no log file "
                                    "is kept"));
  EXPECT_THAT(result.err, HasSubstr("]  load config success."));
  EXPECT_THAT(result.err, HasSubstr("] fileItemId:fi-"));
}

// A file named "logs" where the folder would be (whoever runs the tests,
// root included, and under Wine, where folder permissions do not bind): the
// logs go to the user's own place, XDG_STATE_HOME on Linux and
// %LOCALAPPDATA%\corvane-upload\logs on Windows, never to the temporary
// folder, and the " log dir is " line names it.
TEST(LogPlaces, AFileNamedLogsBesideTheExecutableSendsTheLogsToTheUsersOwnPlace) {
  TempDir dir;
  LocalStore store;
  const std::string bin = dir.file("bin");
  placeUploader(bin);
  writeFile(bin + "/logs", "a file, not a folder");
  const std::string state = dir.file("state");
  fs::create_directories(state);
  writeFile(dir.file("input.bin"), "content");
  RunOptions options;
  options.executableDir = bin;
  options.environment = {"XDG_STATE_HOME=" + state, "LOCALAPPDATA=" + uploaderPath(state)};
  RunResult result =
      runUploaderWith(dir, {"-cfg", writeConfig(dir, store, dir.file("input.bin"))}, options);
  EXPECT_EQ(result.exitStatus, 0) << result.err;
  EXPECT_THAT(result.err, Not(HasSubstr("no log directory")));
  if (uploaderIsWindows()) {
    // Wine may keep its own LOCALAPPDATA: the place's own part is checked.
    EXPECT_THAT(result.out, HasSubstr("\\corvane-upload\\logs\\corvaneMuliUpload.log.\n"));
    EXPECT_THAT(result.out, Not(HasSubstr("Temp")));
  } else {
    EXPECT_THAT(result.out, HasSubstr(" log dir is " + state +
                                      "/corvane-upload/logs/corvaneMuliUpload.log.\n"));
    EXPECT_TRUE(fs::is_directory(state + "/corvane-upload/logs"));
  }
  EXPECT_EQ(readFile(bin + "/logs"), "a file, not a folder");
}

TEST_F(OrdinaryUserPlaces, AnOutputThatCannotBeWrittenFailsLoadingBeforeAnyRequest) {
  makeDir(dir.file("readonly"), 0555);
  struct Case {
    std::string output;
    std::string reason;
  };
  std::vector<Case> cases = {Case{dir.file("missing/result.json"), "No such file or directory"},
                             Case{state(), "Is a directory"}};
  // POSIX permissions bind the Linux build only.
  if (!uploaderIsWindows()) {
    cases.push_back({dir.file("readonly/result.json"), "Permission denied"});
    // A name longer than the directory takes: the probe goes as far as the
    // write will, to the result's own name.
    cases.push_back({state() + "/" + std::string(256, 'r'), "File name too long"});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.output);
    RunResult result = runAsOrdinaryUser(c.output, {"XDG_STATE_HOME=" + state()});
    EXPECT_EQ(result.exitStatus, 255);
    EXPECT_THAT(result.err, HasSubstr("] result file " + c.output + " can not be created: " +
                                      c.reason));
    EXPECT_THAT(result.err, HasSubstr("] output can not write!"));
    EXPECT_EQ(store.get("/_control/requests"), "[]");
  }
  EXPECT_TRUE(fs::is_empty(dir.file("readonly")));
}

// A UTF-8 name in the configuration reaches the file through the default
// code page (on Windows its GBK form and the ANSI calls, which Wine maps to
// the UTF-8 name on disk) and through "UTF-8" (the wide-character calls on
// Windows); the result names the item in the code page of the run.
TEST(NativeNames, AUtf8NameWithBlanksUploadsUnderTheDefaultCodePageAndUnderUtf8) {
  LocalStore store;
  const std::string name = "\xE5\xAD\xA3\xE5\xBA\xA6 \xE6\x8A\xA5\xE5\x91\x8A final.txt";
  for (const char* codepage : {"null", "UTF-8"}) {
    SCOPED_TRACE(codepage);
    TempDir dir;
    const std::string content = std::string("quarterly in ") + codepage;
    writeFile(dir.file(name), content);
    RunResult result = runUploader(
        dir, {"-cfg", writeConfig(dir, store, dir.file(name),
                                  {{"targetname", name}, {"codepage", codepage}})});
    EXPECT_EQ(result.exitStatus, 0) << result.err;
    const bool utf8 = std::string(codepage) == "UTF-8";
    const std::string local = utf8 ? name : inDefaultCodepage(name);
    std::string answer = readFile(dir.file("result.json"));
    EXPECT_THAT(answer, HasSubstr(R"("code":"success")"));
    EXPECT_THAT(answer, HasSubstr("\"fileitemname\":\"" + local + "\""));
    // The dumps show the service's texts in the same code page; the log
    // names the file as it was opened.
    EXPECT_THAT(result.out, HasSubstr("\"fileItemName\":\"" + local + "\""));
    const std::string path = utf8 ? dir.file(name) : inDefaultCodepage(dir.file(name));
    EXPECT_THAT(result.err, HasSubstr("upload " + path + " spend time: "));
    rapidjson::Document items;
    items.Parse(store.get("/_control/items").c_str());
    ASSERT_TRUE(items.IsArray() && items.Size() > 0);
    const std::string id = stringAt(items[items.Size() - 1], "id");
    EXPECT_EQ(store.storedBytes(id), content);
  }
}

// A name GBK cannot hold fails as before, but the log gives the path as
// configured and the way out; a path of 300 characters and more works under
// GBK as under UTF-8 (on Windows past the ANSI calls' limit of 260; the
// Windows unit tests add a Chinese name to it).
TEST(NativeNames, ANameGbkCannotHoldIsNamedAndALongPathWorksUnderGbk) {
  LocalStore store;
  TempDir dir;
  const std::string emoji = dir.file("photo-\xF0\x9F\x98\x80.bin");
  writeFile(emoji, "smile");
  RunResult refused = runUploader(
      dir, {"-cfg", writeConfig(dir, store, emoji, {{"codepage", "GBK"}})});
  EXPECT_EQ(refused.exitStatus, 255);
  EXPECT_THAT(refused.err, HasSubstr("] localfile " + emoji +
                                     ": not representable in code page GBK; set \"codepage\": "
                                     "\"UTF-8\"\n"));
  EXPECT_THAT(refused.err, HasSubstr("] local file can not access!"));
  EXPECT_THAT(refused.err, Not(HasSubstr("local file : ")));

  std::string deep = dir.path();
  while (deep.size() < 280) deep += "/" + std::string(60, 'd');
  fs::create_directories(deep);
  const std::string name = deep + "/" + std::string(30, 'n') + ".bin";
  ASSERT_GT(name.size(), 300u);
  writeFile(name, "long way down");
  RunResult run = runUploader(
      dir, {"-cfg", writeConfig(dir, store, name,
                                {{"codepage", "GBK"}, {"output", deep + "/result.json"}})});
  EXPECT_EQ(run.exitStatus, 0) << run.err;
  EXPECT_THAT(readFile(deep + "/result.json"), HasSubstr(R"("code":"success")"));
}

// The names in `directory`, sorted.
std::vector<std::string> namesIn(const std::string& directory) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(directory)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// 診 is D4 5C in GBK: its second byte is that of a backslash. Under the
// Windows build's default code page the executable's directory (for its logs
// folder) and the result file's directory (for its temporary file) must be
// split by character, or a name holding it loses its directory to a lone lead
// byte. On Linux the names are UTF-8, where no byte of 診 is a separator: the
// same run shows that such names work there as well.
TEST(NativeNames, NamesWhoseCharacterEndsInTheByteOfABackslashKeepTheirDirectories) {
  const std::string zhen = "\xE8\xA8\xBA";                        // 診
  const std::string report = "\xE5\xA0\xB1\xE5\x91\x8A" + zhen;  // 報告診
  const std::string resultName = report + ".json";
  LocalStore store;
  TempDir dir;
  const std::string content = patternBytes(3000, 7);
  writeFile(dir.file("input.bin"), content);
  fs::create_directories(dir.file(report));
  const std::string output = dir.file(report + "/" + resultName);
  RunOptions options;
  options.executableDir = dir.file("tools" + zhen);
  options.executableName = report;
  RunResult run = runUploaderWith(
      dir, {"-cfg", writeConfig(dir, store, dir.file("input.bin"), {{"output", output}})}, options);
  EXPECT_EQ(run.exitStatus, 0) << run.err;
  // The logs folder lies beside the executable, and nothing else was made there.
  const std::string logBase = options.executableDir + "/logs/corvaneMuliUpload.log.";
  EXPECT_THAT(run.out, HasSubstr(" log dir is " + inDefaultCodepage(uploaderPath(logBase)) + "\n"));
  EXPECT_THAT(run.logs, HasSubstr(" load config success."));
  const std::string executable = report + (uploaderIsWindows() ? ".exe" : "");
  EXPECT_EQ(namesIn(options.executableDir), (std::vector<std::string>{"logs", executable}));
  // The result file went to its directory, its temporary file gone.
  EXPECT_EQ(namesIn(dir.file(report)), std::vector<std::string>{resultName});
  rapidjson::Document result;
  result.Parse(readFile(output).c_str());
  ASSERT_TRUE(result.IsObject() && result.HasMember("data")) << readFile(output);
  EXPECT_EQ(stringAt(result, "code"), "success");
  EXPECT_EQ(store.storedBytes(stringAt(result["data"], "fileitemid")), content);
}

}  // namespace
}  // namespace corvane::e2e
