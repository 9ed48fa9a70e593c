// What a program that starts the uploader relies on: a doomed upload ends,
// a run that did not finish leaves no result file (never a stale one), no
// body goes out without a storage token, and no token reaches standard
// output.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "e2e_harness.h"
#include "fault_rules.h"

namespace corvane::e2e {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

constexpr size_t kMiB = 1048576;

std::vector<const rapidjson::Value*> requestsOf(const rapidjson::Document& requests,
                                                const std::string& kind) {
  std::vector<const rapidjson::Value*> found;
  for (const auto& request : requests.GetArray()) {
    if (stringAt(request, "kind") == kind) found.push_back(&request);
  }
  return found;
}

// The storage stops answering after two parts: the parts then in flight
// spend their attempts side by side, no further part starts, and the run
// ends after about one request's attempts, not one request's per part.
// Measured on the stand-in's clock.
TEST(CallerContract, AnUploadWhoseStorageStopsAnsweringEndsAfterOneRequestsAttempts) {
  TempDir dir;
  LocalStore store;
  store.post("/_control/faults", rulesJson({Rule("part-put", "drop").nth(3).through(100000)}));
  UploadRun upload = uploadContent(dir, store, patternBytes(12 * kMiB, 3),
                                   {{"partsize", "#1"}, {"parallelparts", "#4"}}, 150);
  ASSERT_FALSE(upload.run.timedOut);
  EXPECT_EQ(upload.result, R"({"code":"failed","message":"uploadPartData failed!",)"
                           R"("data":{"fileitemid":"","fileitemname":""}})");
  rapidjson::Document requests = store.requests();
  auto urls = requestsOf(requests, "part-url");
  auto puts = requestsOf(requests, "part-put");
  EXPECT_EQ(requestsOf(requests, "merge").size(), 0u);
  // Parts 1 and 2 arrived; 3 to 6 were in flight when the drops began; 7
  // to 12 never started.
  EXPECT_EQ(urls.size(), 6u);
  ASSERT_GE(puts.size(), 3u);
  const int64_t firstDrop = (*puts[2])["startMs"].GetInt64();
  const int64_t lastRequest = (*puts.back())["startMs"].GetInt64();
  // 33 attempts with 31 pauses of 2 s: 62 s and the attempts' own time.
  EXPECT_LT(lastRequest - firstDrop, 75'000);
  EXPECT_GE(lastRequest - firstDrop, 60'000);
}

// A run killed before it finished leaves no result file: the earlier run's
// "success" is gone before anything is sent, and a link to it keeps its
// bytes (the file was replaced, not edited).
TEST(CallerContract, AKilledRunLeavesNoResultFileNeverAnEarlierOne) {
  TempDir dir;
  LocalStore store;
  const std::string earlier = R"({"code":"success","message":"","data":{"fileitemid":"old"}})";
  writeFile(dir.file("result.json"), earlier);
  ASSERT_EQ(::link(dir.file("result.json").c_str(), dir.file("kept.json").c_str()), 0);
  store.post("/_control/faults", rulesJson({Rule("storage-token", "stall-answer").seconds(60)}));
  writeFile(dir.file("input.bin"), patternBytes(1000));
  RunOptions options;
  options.stopWhenErrHas = " load config success.";
  options.limitSeconds = 30;
  RunResult run = runUploaderWith(
      dir, {"-cfg", writeConfig(dir, store, dir.file("input.bin"))}, options);
  ASSERT_TRUE(run.stopped) << run.err;
  // Killed mid-run (the storage token's answer never came).
  struct stat info {};
  EXPECT_NE(::stat(dir.file("result.json").c_str(), &info), 0) << "a stale result is left";
  EXPECT_EQ(readFile(dir.file("kept.json")), earlier);
}

// A refused storage token: the direct upload sends no body at all, and the
// log says why; the result keeps the contract's message.
TEST(CallerContract, WithoutAStorageTokenNoBodyIsSent) {
  TempDir dir;
  LocalStore store;
  UploadRun upload = uploadContent(dir, store, patternBytes(3 * kMiB), {{"appsecret", "wrong"},
                                                                        {"partsize", "#8"}});
  EXPECT_EQ(stringAt(upload.resultJson, "message"), "uploadOnePartData failed!");
  EXPECT_EQ(store.count("direct-upload"), 0);
  rapidjson::Document requests = store.requests();
  for (const auto& request : requests.GetArray()) EXPECT_EQ(request["bodyBytes"].GetUint64(), 0u);
  EXPECT_THAT(upload.run.err, HasSubstr("no storage token: invalid credential"));
}

// Callers keep standard output in their own logs: the token answers are
// shown there with the token replaced, every other byte as it came.
TEST(CallerContract, NoTokenReachesStandardOutput) {
  TempDir dir;
  LocalStore store({"--org-id", "org-7"});
  UploadRun upload = uploadContent(dir, store, patternBytes(1000),
                                   {{"projectid", "null"}, {"tenantid", "t-1"}, {"orgid", "org-7"}});
  ASSERT_EQ(stringAt(upload.resultJson, "code"), "success") << upload.run.err;
  EXPECT_THAT(upload.run.out, HasSubstr(R"({"code":"success","data":{"token":"<redacted>",)"));
  EXPECT_THAT(upload.run.out, HasSubstr(R"({"access_token":"<redacted>","token_type":"bearer")"));
  EXPECT_THAT(upload.run.out, Not(HasSubstr("\"st-")));
  EXPECT_THAT(upload.run.out, Not(HasSubstr("\"gw-")));
}

// No configuration destroys the user's file: any two of localfile, output,
// resumefile and progressfile that name one file (by the same text, another
// spelling, or a link) fail loading with the later key's message, the two
// keys named in the log, and nothing written or sent.
TEST(CallerContract, NoTwoPathKeysNameOneFile) {
  LocalStore store;
  const std::string content = patternBytes(3 * kMiB, 8);
  struct Case {
    std::string name;
    std::map<std::string, std::string> overrides;  // "@x" stands for the file x in the run's dir
    std::string message;
    std::string keys;
  };
  const std::vector<Case> cases = {
      {"progress over the local file", {{"progressfile", "@input.bin"}},
       "progressfile is invalid!", "progressfile and localfile"},
      {"output over the local file, spelt another way", {{"output", "@./input.bin"}},
       "output is invalid!", "output and localfile"},
      {"journal on a link to the local file", {{"resumefile", "@link.bin"}},
       "resumefile is invalid!", "resumefile and localfile"},
      {"progress over the result", {{"progressfile", "@sub/../result.json"}},
       "progressfile is invalid!", "progressfile and output"},
      {"progress over the journal", {{"resumefile", "@journal"}, {"progressfile", "@journal"}},
       "progressfile is invalid!", "progressfile and resumefile"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    writeFile(dir.file("input.bin"), content);
    ASSERT_EQ(::mkdir(dir.file("sub").c_str(), 0755), 0);
    ASSERT_EQ(::link(dir.file("input.bin").c_str(), dir.file("link.bin").c_str()), 0);
    std::map<std::string, std::string> overrides;
    for (const auto& [key, value] : c.overrides) overrides[key] = uploaderPath(dir.file(value.substr(1)));
    RunResult run = runUploader(dir, {"-cfg", writeConfig(dir, store, uploaderPath(dir.file("input.bin")), overrides)});
    EXPECT_EQ(run.exitStatus, 255);
    EXPECT_THAT(run.err, HasSubstr("] " + c.message + "\n"));
    EXPECT_THAT(run.err, HasSubstr("] " + c.keys + " name the same file: "));
    EXPECT_EQ(readFile(dir.file("input.bin")), content);
    EXPECT_FALSE(fileExists(dir.file("result.json")));
  }
  EXPECT_EQ(store.get("/_control/requests"), "[]");
}

// An earlier result goes as soon as `output` is known to be good, so a load
// that fails later leaves none; one that cannot be removed fails loading
// before anything is sent.
TEST(CallerContract, AnEarlierResultIsGoneOrTheLoadFails) {
  LocalStore store;
  const std::string earlier = R"({"code":"success","message":"","data":{"fileitemid":"old"}})";
  {
    TempDir dir;
    writeFile(dir.file("result.json"), earlier);
    writeFile(dir.file("input.bin"), "content");
    RunResult run = runUploader(
        dir, {"-cfg", writeConfig(dir, store, uploaderPath(dir.file("input.bin")), {{"partsize", "#0"}})});
    EXPECT_EQ(run.exitStatus, 255);
    EXPECT_FALSE(fileExists(dir.file("result.json"))) << "a stale result is left";
  }
  // A result in a sticky directory, owned by another user, cannot be
  // removed by the run's user (POSIX permissions bind the Linux build only).
  if (!uploaderIsWindows() && ::geteuid() == 0) {
    TempDir dir;
    ::chmod(dir.path().c_str(), 0755);
    ASSERT_EQ(::mkdir(dir.file("shared").c_str(), 01777), 0);
    ::chmod(dir.file("shared").c_str(), 01777);
    writeFile(dir.file("shared/result.json"), earlier);
    writeFile(dir.file("input.bin"), "content");
    ::chmod(dir.file("input.bin").c_str(), 0644);
    std::string config = writeConfig(dir, store, dir.file("input.bin"),
                                     {{"output", dir.file("shared/result.json")}});
    ::chmod(config.c_str(), 0644);
    RunOptions options;
    options.executableDir = dir.file("shared");
    options.user = "nobody";
    RunResult run = runUploaderWith(dir, {"-cfg", config}, options);
    EXPECT_EQ(run.exitStatus, 255);
    EXPECT_THAT(run.err, HasSubstr("] result file " + dir.file("shared/result.json") +
                                   " can not be created: Operation not permitted"));
    EXPECT_THAT(run.err, HasSubstr("] output can not write!\n"));
    EXPECT_EQ(readFile(dir.file("shared/result.json")), earlier);
  }
  EXPECT_EQ(store.get("/_control/requests"), "[]");
}

// A run whose result file cannot be written at the end exits with 1, so
// that the caller never takes what lies at `output` for this run's result.
TEST(CallerContract, AResultThatCannotBeWrittenEndsWithExitStatusOne) {
  TempDir dir;
  LocalStore store;
  store.post("/_control/faults",
             rulesJson({Rule("storage-token", "stall-answer").nth(1).seconds(2)}));
  writeFile(dir.file("input.bin"), "content");
  std::atomic<bool> loaded{false};
  // Once loading is over (the progress file is written at its end), a
  // folder takes the result's name.
  std::thread blocker([&] {
    for (int i = 0; i < 500 && !fileExists(dir.file("progress.json")); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    loaded = ::mkdir(dir.file("result.json").c_str(), 0755) == 0;
  });
  RunResult run = runUploaderWithin(
      dir, {"-cfg", writeConfig(dir, store, uploaderPath(dir.file("input.bin")),
                                {{"progressfile", uploaderPath(dir.file("progress.json"))}})},
      60);
  blocker.join();
  ASSERT_TRUE(loaded);
  EXPECT_EQ(run.exitStatus, 1) << run.err;
  EXPECT_THAT(run.err, HasSubstr("] output result failed!\n"));
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
    EXPECT_NE(entry.path().filename().string().rfind(".corvane-", 0), 0u) << "left behind";
  }
}

// A stop while loading (a tenant's project lookup that keeps failing) ends
// the run at once: exit status -1, nothing left in flight, the progress file
// "cancelled".
TEST(CallerContract, AStopWhileLoadingEndsTheLoad) {
  TempDir dir;
  LocalStore store({"--org-id", "org-7"});
  store.post("/_control/faults",
             rulesJson({Rule("project-list", "status").nth(1).through(1000).status(503).body("<html>busy</html>")}));
  writeFile(dir.file("input.bin"), "content");
  RunOptions options;
  options.stopWhenErrHas = " attempt 2 failed: ";
  // Wine hands SIGINT to the program as the console's Ctrl-C.
  options.stopSignal = uploaderIsWindows() ? SIGINT : SIGTERM;
  options.limitSeconds = 30;
  RunResult run = runUploaderWith(
      dir, {"-cfg", writeConfig(dir, store, uploaderPath(dir.file("input.bin")),
                                {{"projectid", "null"}, {"tenantid", "t-1"}, {"orgid", "org-7"},
                                 {"progressfile", uploaderPath(dir.file("progress.json"))}})},
      options);
  ASSERT_TRUE(run.stopped) << run.err;
  EXPECT_FALSE(run.timedOut);
  EXPECT_EQ(run.exitStatus, 255) << run.err;
  EXPECT_THAT(run.err, HasSubstr("] upload cancelled by "));
  rapidjson::Document progress;
  progress.Parse(readFile(dir.file("progress.json")).c_str());
  ASSERT_TRUE(progress.IsObject());
  EXPECT_EQ(stringAt(progress, "phase"), "cancelled");
  EXPECT_FALSE(fileExists(dir.file("result.json")));
  EXPECT_LE(store.count("project-list"), 3);
}

// A caller that closed its end of standard output does not kill the run:
// the upload finishes, its result is written, and one WARNING says why the
// dumps went nowhere.
TEST(CallerContract, AClosedStandardOutputDoesNotEndTheRun) {
  SKIP_FOR_WINDOWS_UPLOADER("SIGPIPE is a POSIX signal");
  TempDir dir;
  LocalStore store;
  const std::string content = patternBytes(3 * kMiB, 9);
  writeFile(dir.file("input.bin"), content);
  RunOptions options;
  options.closedStandardOutput = true;
  RunResult run = runUploaderWith(
      dir, {"-cfg", writeConfig(dir, store, dir.file("input.bin"))}, options);
  EXPECT_EQ(run.exitStatus, 0) << run.err;
  rapidjson::Document result;
  result.Parse(readFile(dir.file("result.json")).c_str());
  ASSERT_TRUE(result.IsObject()) << run.err;
  EXPECT_EQ(stringAt(result, "code"), "success");
  EXPECT_EQ(store.storedBytes(stringAt(result["data"], "fileitemid")), content);
  EXPECT_EQ(logMessagesWith(run.err, "standard output is closed").size(), 1u);
}

}  // namespace
}  // namespace corvane::e2e
