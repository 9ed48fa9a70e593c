// What a program that starts the uploader relies on: a doomed upload ends,
// a run that did not finish leaves no result file (never a stale one), no
// body goes out without a storage token, and no token reaches standard
// output.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

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

}  // namespace
}  // namespace corvane::e2e
