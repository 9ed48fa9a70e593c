// Answers that must neither hold the run nor fool it: an endless answer to a
// part's PUT, a gateway's page for a moment, a refused signed URL, a URL no
// attempt can use, and texts the local code page lacks in an answer that
// stored the file.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "e2e_harness.h"
#include "fault_rules.h"

namespace corvane::e2e {
namespace {

using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::SizeIs;

constexpr size_t kMiB = 1048576;

struct AnswerRun {
  AnswerRun(const std::vector<Rule>& rules, size_t size,
            std::map<std::string, std::string> overrides = {{"partsize", "#1"}}) {
    content = patternBytes(size, 31);
    store.post("/_control/faults", rulesJson(rules));
    upload = uploadContent(dir, store, content, overrides, 90);
    requests.Parse(store.get("/_control/requests").c_str());
  }
  std::string code() const { return stringAt(upload.resultJson, "code"); }
  std::vector<const rapidjson::Value*> of(const std::string& kind) const {
    std::vector<const rapidjson::Value*> found;
    for (const auto& request : requests.GetArray()) {
      if (stringAt(request, "kind") == kind) found.push_back(&request);
    }
    return found;
  }
  void expectStoredWhole() const {
    ASSERT_EQ(code(), "success") << upload.result << "\n" << upload.run.err;
    EXPECT_EQ(sha256Hex(store.storedBytes(upload.fileItemId())), sha256Hex(content));
  }

  TempDir dir;
  LocalStore store;
  std::string content;
  UploadRun upload;
  rapidjson::Document requests;
};

// An answer that never ends fails its attempt once it passes the cap; the
// part is sent again and arrives. Standard output stays small.
TEST(Answers, AnEndlessAnswerToAPartIsCutAtTheCapAndThePartSentAgain) {
  AnswerRun run({Rule("part-put", "endless").nth(1)}, 2 * kMiB + 10);
  run.expectStoredWhole();
  EXPECT_FALSE(run.upload.run.timedOut);
  EXPECT_THAT(run.upload.run.err, HasSubstr("failed: the answer is larger than 4194304 bytes"));
  EXPECT_EQ(run.of("part-put").size(), 4u);
  EXPECT_LT(run.upload.run.rawOut.size(), 64u * 1024u);
}

// A load balancer's page for a moment at the merge: the merge is sent
// again, and the multipart upload is not thrown away.
TEST(Answers, AGatewayPageAtTheMergeIsRetriedLikeAFailedTransfer) {
  AnswerRun run({Rule("merge", "status")
                     .nth(1)
                     .status(503)
                     .body("<html><body>503 Service Unavailable</body></html>")
                     .contentType("text/html")},
                2 * kMiB + 10);
  run.expectStoredWhole();
  EXPECT_THAT(logMessagesWith(run.upload.run.err, " attempt "),
              ::testing::ElementsAre(run.store.baseUrl() +
                                     "/mdox/v1/data/projects/4242/file-items/multi-part-files/merge"
                                     " attempt 1 failed: HTTP 503 from the service, not JSON"));
  EXPECT_THAT(logMessagesWith(run.upload.run.err, "connect failed!!!"), IsEmpty());
  EXPECT_EQ(run.of("merge").size(), 2u);
}

// Its Retry-After is the pause before the next attempt, seen by the
// stand-in's own clock.
TEST(Answers, AGatewayPagesRetryAfterIsWaitedBeforeTheNextAttempt) {
  AnswerRun run({Rule("create-task", "status")
                     .nth(1)
                     .status(429)
                     .body("slow down")
                     .contentType("text/plain")
                     .headerLine("Retry-After", "1")},
                2 * kMiB + 10);
  run.expectStoredWhole();
  auto tasks = run.of("create-task");
  ASSERT_EQ(tasks.size(), 2u);
  EXPECT_GE((*tasks[1])["startMs"].GetInt64() - (*tasks[0])["endMs"].GetInt64(), 900);
}

// The service's own error form is its answer, whatever the status.
TEST(Answers, TheServicesErrorFormAt503IsJudgedAtOnce) {
  AnswerRun run({Rule("create-task", "status").nth(1).status(503)}, 2 * kMiB + 10);
  EXPECT_EQ(run.code(), "failed");
  EXPECT_EQ(stringAt(run.upload.resultJson, "message"), "createUploadTask failed!");
  EXPECT_EQ(run.of("create-task").size(), 1u);
}

// A refused signed URL has most likely expired: the part asks for a new one
// and is sent there. One mark per part, as ever.
TEST(Answers, APartRefusedWith403AsksForAFreshUrlAndArrives) {
  AnswerRun run({Rule("part-put", "status").nth(1).status(403).body("<Error>expired</Error>")},
                3 * kMiB);
  run.expectStoredWhole();
  EXPECT_EQ(run.of("part-url").size(), 4u);
  EXPECT_EQ(run.of("part-put").size(), 4u);
  EXPECT_THAT(run.upload.run.err, HasSubstr("part 1: the signed URL was refused (HTTP 403); "
                                            "asking for a new one"));
  EXPECT_THAT(logMessagesWith(run.upload.run.err, "connect failed!!!"), IsEmpty());
  EXPECT_THAT(run.upload.run.out, HasSubstr("...\n"));
  EXPECT_EQ(run.upload.run.out.find("....\n"), std::string::npos);
}

// A URL libcurl cannot use fails its request at once: no retry, no pause.
TEST(Answers, ASignedUrlOfAnotherSchemeFailsAtOnce) {
  AnswerRun run({Rule("part-url", "pass").nth(1).set("data", "\"file:///etc/hostname\"")},
                2 * kMiB + 10);
  EXPECT_EQ(run.code(), "failed");
  EXPECT_EQ(stringAt(run.upload.resultJson, "message"), "uploadPartData failed!");
  EXPECT_THAT(logMessagesWith(run.upload.run.err, "connect failed!!!"), IsEmpty());
  EXPECT_THAT(logMessagesWith(run.upload.run.err, "file:/"), SizeIs(1));
  EXPECT_THAT(run.upload.run.err, HasSubstr("(curl error 1)"));
  EXPECT_EQ(run.store.count("merge"), 0);
}

// Under GBK a name the code page lacks does not turn a stored file into a
// failure (which the caller would upload again, making a duplicate): it is
// left out of the result, with a warning.
class NameWithoutGbkForm : public ::testing::TestWithParam<size_t> {};

TEST_P(NameWithoutGbkForm, IsStoredAndReportedAsSuccessWithoutTheName) {
  AnswerRun run({}, GetParam(),
                {{"partsize", "#1"}, {"codepage", "GBK"}, {"targetname", "Stra\xC3\x9F" "e.bin"}});
  run.expectStoredWhole();
  EXPECT_EQ(stringAt(run.upload.resultJson["data"], "fileitemname"), "");
  EXPECT_FALSE(run.upload.fileItemId().empty());
  EXPECT_THAT(run.upload.run.err, HasSubstr("file item name has no GBK form"));
  EXPECT_EQ(run.store.get("/_control/items").find("Stra\xC3\x9F" "e.bin") != std::string::npos,
            true);
}

INSTANTIATE_TEST_SUITE_P(DirectAndMultipart, NameWithoutGbkForm,
                         ::testing::Values(64 * 1024, 2 * kMiB + 10),
                         [](const auto& info) { return info.param < kMiB ? "direct" : "multipart"; });

// A file item name holding a line break cannot forge a log line: the log
// shows it escaped, the result file as it came.
TEST(Answers, AServiceTextWithALineBreakStaysOnItsLogLine) {
  AnswerRun run({Rule("merge", "pass").set("data.fileItemName", R"("a.bin\nE1209 forged")")},
                2 * kMiB);
  ASSERT_EQ(run.code(), "success") << run.upload.run.err;
  EXPECT_THAT(run.upload.run.err, HasSubstr("] fileItemName:a.bin\\nE1209 forged\n"));
  EXPECT_EQ(run.upload.run.err.find("\nE1209 forged"), std::string::npos);
}

}  // namespace
}  // namespace corvane::e2e
