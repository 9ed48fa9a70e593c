// Multipart uploads with several parts in flight at once: the same bytes,
// messages and retries as one part at a time, never more parts in flight
// than configured.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "e2e_harness.h"

namespace corvane::e2e {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

constexpr uint64_t kPart = 1048576;
constexpr int kParallel = 4;

std::string failedResult(const std::string& message) {
  return R"({"code":"failed","message":")" + message +
         R"(","data":{"fileitemid":"","fileitemname":""}})";
}

class ParallelParts : public ::testing::Test {
 protected:
  explicit ParallelParts(std::vector<std::string> storeArguments = {})
      : store(std::move(storeArguments)) {}

  void installFaults(const std::string& rules) {
    ASSERT_THAT(store.post("/_control/faults", rules), HasSubstr("\"ok\":true"));
  }

  UploadRun upload(const std::string& content) {
    return uploadContent(dir, store, content, {{"parallelparts", "#" + std::to_string(kParallel)}});
  }

  // The run succeeded and the store holds exactly `content`.
  void expectStored(const UploadRun& run, const std::string& content) {
    EXPECT_EQ(run.run.exitStatus, 0);
    const std::string id = run.fileItemId();
    ASSERT_FALSE(id.empty()) << run.result << "\n" << run.run.err;
    EXPECT_EQ(sha256Hex(store.storedBytes(id)), sha256Hex(content));
    expectNoSecrets(run.run);
  }

  // The parts' marks: one per part that obtained its URL, then a line end.
  static size_t marksOf(const std::string& out) {
    size_t line = out.find("\n", out.find("createUploadTask CURLOPT_HEADERFUNCTION out:"));
    line = out.find("\r\n\r\n\n", line);
    if (line == std::string::npos) return 0;
    size_t from = line + 5;
    return out.find_first_not_of('.', from) - from;
  }

  TempDir dir;
  LocalStore store;
};

TEST_F(ParallelParts, TheFileArrivesWholeWithNoMoreThanTheAllowedPartsInFlight) {
  // Slow answers to the PUTs keep parts in flight long enough to overlap.
  installFaults(R"([{"kind":"part-put","nth":0,"action":"pass","delayMs":200}])");
  const std::string content = patternBytes(kPart * 9 + 17, 4);
  UploadRun run = upload(content);
  expectStored(run, content);
  EXPECT_EQ(store.count("part-url"), 10);
  EXPECT_EQ(store.count("part-put"), 10);
  EXPECT_EQ(store.count("storage-token"), 1);
  EXPECT_EQ(store.count("merge"), 1);
  EXPECT_EQ(store.count("partsInFlightMax"), kParallel);
  EXPECT_EQ(marksOf(run.run.out), 10u);
  EXPECT_THAT(run.run.logs, HasSubstr("part count: 10"));
  EXPECT_THAT(run.run.logs, Not(HasSubstr("connect failed")));
}

TEST_F(ParallelParts, ARefusedTaskOrMergeNamesItsStep) {
  installFaults(R"([{"kind":"create-task","nth":1,"action":"status","status":400}])");
  EXPECT_EQ(upload(patternBytes(kPart * 3)).result, failedResult("createUploadTask failed!"));
  EXPECT_EQ(store.count("part-url"), 0);
  installFaults(R"([{"kind":"merge","nth":1,"action":"status","status":400}])");
  EXPECT_EQ(upload(patternBytes(kPart * 3)).result, failedResult("mergeUploadTask failed!"));
  EXPECT_EQ(store.get("/_control/items"), "[]");
}

TEST_F(ParallelParts, ARefusedPartUrlFailsThePartsButEveryOtherPartIsSent) {
  installFaults(R"([{"kind":"part-url","nth":2,"action":"status","status":403}])");
  UploadRun run = upload(patternBytes(kPart * 6));
  EXPECT_EQ(run.result, failedResult("uploadPartData failed!"));
  EXPECT_EQ(store.count("part-url"), 6);
  EXPECT_EQ(store.count("part-put"), 5);
  EXPECT_EQ(store.count("merge"), 0);
  EXPECT_EQ(marksOf(run.run.out), 5u);
}

// One faulted PUT per run: side by side, which part's attempt comes second
// (or fourth) is a matter of timing, and two faults on one part would pause.
TEST_F(ParallelParts, APutAnswered500OrCutIsSentAgainWholeAtOnce) {
  const std::string content = patternBytes(kPart * 6 + 5, 5);
  for (const char* rule : {R"([{"kind":"part-put","nth":2,"action":"status","status":500}])",
                           R"([{"kind":"part-put","nth":2,"action":"cut"}])"}) {
    SCOPED_TRACE(rule);
    installFaults(rule);
    UploadRun run = upload(content);
    expectStored(run, content);
    EXPECT_EQ(marksOf(run.run.out), 7u);
    EXPECT_THAT(run.run.logs, HasSubstr(" attempt 1 failed: "));
    EXPECT_THAT(run.run.logs, Not(HasSubstr("connect failed")));
  }
  EXPECT_EQ(store.count("part-put"), 2 * (7 + 1));
}

// Tokens that live two seconds (counted in the stand-in's whole seconds, so
// between one and two): one is reused only while a whole second is left, and
// an upload of three rounds of slow parts outlives the first.
class ShortLivedTokens : public ParallelParts {
 protected:
  ShortLivedTokens() : ParallelParts({"--token-lifetime", "2"}) {}
};

TEST_F(ShortLivedTokens, ATokenThatExpiresMidUploadIsRenewedWhilePartsAreInFlight) {
  installFaults(R"([{"kind":"part-put","nth":0,"action":"pass","delayMs":400}])");
  const std::string content = patternBytes(kPart * 12, 6);
  UploadRun run = upload(content);
  expectStored(run, content);
  EXPECT_GE(store.count("storage-token"), 2);
  EXPECT_THAT(run.run.logs, Not(HasSubstr("invalid token")));
}

}  // namespace
}  // namespace corvane::e2e
