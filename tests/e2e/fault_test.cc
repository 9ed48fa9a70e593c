// The real executable against the stand-in with faults injected: dropped, cut
// and stalled connections, redirects, refused part uploads, and bad answers of
// every kind. Each
// run is checked for what arrived (sha256 of the stored file), the result
// file, the exit status, the retry lines on stderr, and that no secret leaked.
#include <gmock/gmock.h>
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <algorithm>
#include <cctype>
#include <optional>

#include "e2e_harness.h"
#include "fault_rules.h"

namespace corvane::e2e {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::StartsWith;

constexpr size_t kMiB = 1048576;
constexpr size_t kDirectSize = 64 * 1024;               // one request
constexpr size_t kMultipartSize = 2 * kMiB + kMiB / 2;  // three parts of at most 1 MiB
constexpr int kParts = 3;
constexpr uint64_t kTenMegabytes = 10 * 1000 * 1000;
constexpr uint64_t kLongHeaderLine = 100 * 1000;  // libcurl takes lines below 100 KiB
constexpr uint64_t kOverlongHeaderLine = 100 * 1024;

const char* const kEmoji = "\xF0\x9F\x98\x80";  // U+1F600, which GBK lacks
const char* const kInvalidUtf8 = "\xC3\x28";    // a lead byte without its continuation

enum class Flow {
  kDirect,     // one POST of a small file, project configured
  kMultipart,  // task, three parts, merge
  kTenant,     // small file for a tenant: gateway token and project lookup first
};

std::string replaceAll(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

// "<url> connect failed!!! retry N".
std::vector<std::string> retryLinesOf(const std::string& err) {
  return logMessagesWith(err, "connect failed!!!");
}

// "<url> attempt N failed: <cause>".
std::vector<std::string> causeLinesOf(const std::string& err) {
  return logMessagesWith(err, " attempt ");
}

std::string successResult(const std::string& id, const std::string& name = "sample.bin") {
  return R"({"code":"success","message":"","data":{"fileitemid":")" + id + R"(","fileitemname":")" +
         name + R"("}})";
}

std::string failedResult(const std::string& message) {
  return R"({"code":"failed","message":")" + message +
         R"(","data":{"fileitemid":"","fileitemname":""}})";
}

// One upload under the given rules, against a stand-in of its own. The
// constructor runs it and checks what must hold for every run: no signal,
// no secret in stderr or the logs, and no success without the file's bytes.
class FaultRun {
 public:
  FaultRun(Flow flow, const std::vector<Rule>& rules, std::string content = {},
           int limitSeconds = 60, std::map<std::string, std::string> overrides = {})
      : content_(std::move(content)) {
    if (content_.empty()) {
      content_ = patternBytes(flow == Flow::kMultipart ? kMultipartSize : kDirectSize, 7);
    }
    std::string json = replaceAll(rulesJson(rules), "{base}", store.baseUrl());
    EXPECT_THAT(store.post("/_control/faults", json), HasSubstr(R"("ok":true)")) << json;
    if (flow == Flow::kTenant) {
      overrides.insert({{"projectid", "null"}, {"tenantid", "t-1"}, {"orgid", "org-7"}});
    }
    upload = uploadContent(dir, store, content_, overrides, limitSeconds);
    requests.Parse(store.get("/_control/requests").c_str());
    items.Parse(store.get("/_control/items").c_str());
    retries = retryLinesOf(upload.run.err);
    causes = causeLinesOf(upload.run.err);
    checkEveryRun();
  }

  const std::string& content() const { return content_; }
  int exitStatus() const { return upload.run.exitStatus; }
  const std::string& result() const { return upload.result; }
  int count(const std::string& kind) const { return store.count(kind); }

  // The recorded requests of `kind`, in arrival order.
  std::vector<const rapidjson::Value*> requestsOf(const std::string& kind) const {
    std::vector<const rapidjson::Value*> found;
    if (!requests.IsArray()) return found;
    for (const auto& request : requests.GetArray()) {
      if (stringAt(request, "kind") == kind) found.push_back(&request);
    }
    return found;
  }

  // The run ended in success and the store holds exactly the file's bytes
  // under the id the result file names.
  void expectIdentical() const {
    EXPECT_EQ(exitStatus(), 0);
    std::string id = upload.fileItemId();
    ASSERT_FALSE(id.empty()) << result() << "\n" << upload.run.err;
    EXPECT_EQ(result(), successResult(id));
    ASSERT_TRUE(items.IsArray());
    ASSERT_EQ(items.Size(), 1u) << store.get("/_control/items");
    EXPECT_EQ(stringAt(items[0], "id"), id);
    EXPECT_EQ(sha256Hex(store.storedBytes(id)), sha256Hex(content_));
  }

  // The run ended in the driver's failure result.
  void expectFailure(const std::string& message) const {
    EXPECT_EQ(exitStatus(), 0);
    EXPECT_EQ(result(), failedResult(message)) << upload.run.err;
  }

  // Loading failed: status 255, no result file, no upload started.
  void expectLoadFailure() const {
    EXPECT_EQ(exitStatus(), 255);
    EXPECT_EQ(result(), "");
    EXPECT_EQ(count("storage-token"), 0);
    EXPECT_EQ(store.get("/_control/items"), "[]");
  }

  TempDir dir;
  LocalStore store;
  UploadRun upload;
  rapidjson::Document requests;
  rapidjson::Document items;
  std::vector<std::string> retries;
  std::vector<std::string> causes;

 private:
  void checkEveryRun() const {
    const int status = upload.run.exitStatus;
    EXPECT_TRUE(status == 0 || status == 255) << "exit status " << status << "\n" << upload.run.err;
    expectNoSecrets(upload.run);
    // A success names bytes that arrived whole: the item the result file
    // names, or every item when it names none.
    if (upload.resultJson.IsObject() && stringAt(upload.resultJson, "code") == "success") {
      ASSERT_TRUE(items.IsArray());
      ASSERT_GE(items.Size(), 1u) << "success reported, nothing stored";
      const std::string id = upload.fileItemId();
      bool named = id.empty();
      for (const auto& item : items.GetArray()) {
        if (!id.empty() && stringAt(item, "id") != id) continue;
        named = true;
        EXPECT_EQ(stringAt(item, "sha256"), sha256Hex(content_)) << stringAt(item, "id");
      }
      EXPECT_TRUE(named) << "the result names " << id << ", which the store does not hold";
    }
  }

  std::string content_;
};

Flow flowOf(const std::string& kind) {
  if (kind == "gateway-token" || kind == "project-list") return Flow::kTenant;
  if (kind == "storage-token" || kind == "direct-upload") return Flow::kDirect;
  return Flow::kMultipart;
}

// Requests of `kind` in one clean run of its flow.
int normalCount(const std::string& kind) {
  if (kind == "part-url" || kind == "part-put") return kParts;
  return 1;
}

std::string testName(std::string text) {
  std::replace_if(
      text.begin(), text.end(), [](char c) { return !std::isalnum(static_cast<unsigned char>(c)); },
      '_');
  return text;
}

// ---------------------------------------------------------------------------
// A connection dropped before the first answer of each kind: the upload is
// whole and no retry line is written. Where the request went out on a
// connection kept from an earlier request, libcurl sends it again at once on
// a new connection itself (a kept connection may have been closed by the
// server meanwhile); otherwise the second attempt follows at once, after
// the first one's cause line.

class DroppedFirstAttempt : public ::testing::TestWithParam<std::string> {};

TEST_P(DroppedFirstAttempt, IsRetriedSilentlyAndTheFileArrivesWhole) {
  const std::string kind = GetParam();
  FaultRun run(flowOf(kind), {Rule(kind, "drop").nth(1)});
  run.expectIdentical();
  EXPECT_THAT(run.retries, IsEmpty());
  EXPECT_EQ(run.count(kind), normalCount(kind) + 1);
  auto faulted = run.requestsOf(kind);
  ASSERT_FALSE(faulted.empty());
  // A failed attempt says why, with its URL but never its query.
  const std::string url = run.store.baseUrl() + stringAt(*faulted[0], "path");
  if (!run.causes.empty()) {
    EXPECT_THAT(run.causes, ElementsAre(url + " attempt 1 failed: Empty reply from server"
                                              " (curl error 52)"));
  }
  EXPECT_EQ(stringAt(*faulted[0], "fault"), "drop");
  EXPECT_EQ((*faulted[0])["status"].GetInt(), 0);
}

INSTANTIATE_TEST_SUITE_P(EachRequestKind, DroppedFirstAttempt,
                         ::testing::Values("gateway-token", "project-list", "storage-token",
                                           "direct-upload", "create-task", "part-url", "part-put",
                                           "merge"),
                         [](const auto& info) { return testName(info.param); });

// The first request of a run opens a connection of its own: a drop there is
// always the uploader's failed attempt, with its cause line.
TEST(DroppedAttempts, OnANewConnectionLogsTheCauseAndTheSecondAttemptFollowsAtOnce) {
  FaultRun run(Flow::kDirect, {Rule("storage-token", "drop").nth(1)});
  run.expectIdentical();
  EXPECT_THAT(run.retries, IsEmpty());
  EXPECT_THAT(run.causes, ElementsAre(run.store.baseUrl() +
                                      "/oauth2/token attempt 1 failed: Empty reply from server"
                                      " (curl error 52)"));
}

// Three failed attempts of one part, then success: two "retry" lines, two
// real 2-second pauses (the only test here that waits that long).
TEST(FailedAttempts, ThreeInARowOnAPartLogRetry2And3ThenTheFileArrivesWhole) {
  FaultRun run(Flow::kMultipart, {Rule("part-put", "status").nth(2).through(4).status(500)});
  run.expectIdentical();
  auto puts = run.requestsOf("part-put");
  ASSERT_EQ(puts.size(), 6u);
  const std::string part2 = run.store.baseUrl() + stringAt(*puts[1], "path");
  EXPECT_THAT(part2, HasSubstr("/storage/"));
  // The signed URL's query stays out of the lines.
  EXPECT_THAT(run.retries, ElementsAre(part2 + " connect failed!!! retry 2",
                                       part2 + " connect failed!!! retry 3"));
  EXPECT_THAT(run.causes,
              ElementsAre(part2 + " attempt 1 failed: The requested URL returned error: 500"
                                  " (curl error 22)",
                          StartsWith(part2 + " attempt 2 failed: "),
                          StartsWith(part2 + " attempt 3 failed: ")));
  // Each cause comes before its retry line.
  const std::string& err = run.upload.run.err;
  EXPECT_LT(err.find(" attempt 2 failed: "), err.find("connect failed!!! retry 2"));
  EXPECT_LT(err.find("connect failed!!! retry 2"), err.find(" attempt 3 failed: "));
  for (int i = 1; i <= 3; ++i) EXPECT_EQ(stringAt(*puts[i], "fault"), "status");
  EXPECT_EQ(stringAt(*puts[4], "path"), stringAt(*puts[1], "path"));
  EXPECT_EQ((*puts[4])["status"].GetInt(), 200);
}

// ---------------------------------------------------------------------------
// A body cut off after half of it: the attempt fails, the next one sends the
// body from its first byte.

TEST(CutBody, APartCutAfterHalfOnItsFirstAttemptIsSentAgainWhole) {
  FaultRun run(Flow::kMultipart, {Rule("part-put", "cut").nth(1)});
  run.expectIdentical();
  EXPECT_THAT(run.retries, IsEmpty());
  auto puts = run.requestsOf("part-put");
  ASSERT_EQ(puts.size(), 4u);
  EXPECT_EQ(stringAt(*puts[0], "fault"), "cut");
  uint64_t taken = (*puts[0])["bodyBytes"].GetUint64();
  EXPECT_GE(taken, kMiB / 2);
  EXPECT_LT(taken, kMiB);
  EXPECT_EQ(stringAt(*puts[1], "path"), stringAt(*puts[0], "path"));
  EXPECT_EQ((*puts[1])["bodyBytes"].GetUint64(), kMiB);
}

TEST(CutBody, ADirectUploadCutAfterHalfIsSentAgainWhole) {
  FaultRun run(Flow::kDirect, {Rule("direct-upload", "cut").nth(1)}, patternBytes(kMiB, 11));
  run.expectIdentical();
  EXPECT_THAT(run.retries, IsEmpty());
  auto posts = run.requestsOf("direct-upload");
  ASSERT_EQ(posts.size(), 2u);
  EXPECT_EQ(stringAt(*posts[0], "fault"), "cut");
  EXPECT_LT((*posts[0])["bodyBytes"].GetUint64(), kMiB);
  EXPECT_EQ((*posts[1])["bodyBytes"].GetUint64(), kMiB);
}

// ---------------------------------------------------------------------------
// A 307 keeps the method and the body: every document-store request and the
// part PUT, each redirected to itself once, reach the target whole (a
// streamed body read again from its first byte).

TEST(Redirect, EveryDocumentStoreRequestRedirectedToItselfArrivesWhole) {
  const std::vector<std::pair<Flow, std::vector<std::string>>> runs = {
      {Flow::kDirect, {"direct-upload"}},
      {Flow::kMultipart, {"create-task", "part-url", "part-put", "merge"}}};
  for (const auto& [flow, kinds] : runs) {
    std::vector<Rule> rules;
    for (const std::string& kind : kinds) rules.push_back(Rule(kind, "redirect").nth(1));
    FaultRun run(flow, rules);
    run.expectIdentical();
    EXPECT_THAT(run.retries, IsEmpty());
    for (const std::string& kind : kinds) {
      SCOPED_TRACE(kind);
      EXPECT_EQ(run.count(kind), normalCount(kind) + 1);
      auto seen = run.requestsOf(kind);
      ASSERT_GE(seen.size(), 2u);
      const auto& redirected = *seen[0];
      const auto& followed = *seen[1];
      EXPECT_EQ(redirected["status"].GetInt(), 307);
      EXPECT_EQ(followed["status"].GetInt(), 200);
      for (const char* member : {"method", "path", "query", "body"}) {
        EXPECT_EQ(stringAt(followed, member), stringAt(redirected, member)) << member;
      }
      EXPECT_EQ(followed["bodyBytes"].GetUint64(), redirected["bodyBytes"].GetUint64());
      EXPECT_GT(followed["bodyBytes"].GetUint64(), 0u);
    }
  }
}

// A redirect loop is followed at most 10 times: past that the attempt fails,
// and the next one, which the loop no longer catches, goes through.
TEST(Redirect, ALoopEndsTheAttemptAfterTenRedirects) {
  FaultRun run(Flow::kMultipart, {Rule("part-put", "redirect").nth(1).through(11)});
  run.expectIdentical();
  EXPECT_THAT(run.retries, IsEmpty());
  EXPECT_EQ(run.count("part-put"), 11 + kParts);
  auto seen = run.requestsOf("part-put");
  ASSERT_EQ(seen.size(), 11u + kParts);
  const std::string url = run.store.baseUrl() + stringAt(*seen[0], "path");
  EXPECT_THAT(run.causes, ElementsAre(url + " attempt 1 failed: Maximum (10) redirects followed"
                                            " (curl error 47)"));
  EXPECT_EQ((*seen[11])["status"].GetInt(), 200);
}

// ---------------------------------------------------------------------------
// A storage-token request read whole and never answered is given up 20
// seconds after it started, and the second attempt follows at once. The
// stall outlasts the run's own limit, so only the uploader's limit can end it.

TEST(StalledAnswer, TheStorageTokenRequestIsGivenUpAfterTwentySecondsAndSentAgain) {
  FaultRun run(Flow::kDirect, {Rule("storage-token", "stall-answer").nth(1).seconds(120)}, {},
               45);
  EXPECT_FALSE(run.upload.run.timedOut);
  run.expectIdentical();
  EXPECT_THAT(run.retries, IsEmpty());
  auto seen = run.requestsOf("storage-token");
  ASSERT_EQ(seen.size(), 2u);
  const auto& stalled = *seen[0];
  EXPECT_EQ(stringAt(stalled, "fault"), "stall-answer");
  EXPECT_EQ(stringAt(stalled, "closedBy"), "client");
  const int64_t waited = stalled["endMs"].GetInt64() - stalled["startMs"].GetInt64();
  EXPECT_GE(waited, 19000);
  EXPECT_LT(waited, 30000);
  EXPECT_EQ((*seen[1])["status"].GetInt(), 200);
}

// A transfer that stops moving (under 1 KiB/s) for "stallseconds" is cut, and
// the attempt counts as failed: the part or the part URL request is sent
// again at once, and a stalled endpoint can no longer hold the run for ever.
// (A merge whose body went out is not cut so: see SlowAnswerOfACreatingRequest.)
struct StallCase {
  std::string kind;
  std::string action;
};

class StalledTransfer : public ::testing::TestWithParam<StallCase> {};

TEST_P(StalledTransfer, IsCutSoonAfterTheStallTimeAndSentAgain) {
  const StallCase& c = GetParam();
  FaultRun run(Flow::kMultipart, {Rule(c.kind, c.action).nth(1).seconds(120)}, {}, 45,
               {{"stallseconds", "#5"}});
  EXPECT_FALSE(run.upload.run.timedOut);
  run.expectIdentical();
  EXPECT_THAT(run.retries, IsEmpty());
  // The second attempt, and the exchange that ended just before the stalled
  // one began (a stall-read may still be holding its own record open).
  auto seen = run.requestsOf(c.kind);
  ASSERT_GE(seen.size(), 1u);
  const rapidjson::Value* again = nullptr;
  for (const rapidjson::Value* request : seen) {
    if ((*request)["status"].GetInt() == 200 && !again) again = request;
  }
  ASSERT_NE(again, nullptr);
  const rapidjson::Value* before = nullptr;
  for (const auto& request : run.requests.GetArray()) {
    if (request["seq"].GetUint64() + 1 < (*again)["seq"].GetUint64()) before = &request;
  }
  ASSERT_NE(before, nullptr);
  const std::string url = run.store.baseUrl() + stringAt(*again, "path");
  EXPECT_THAT(run.causes, ElementsAre(url + " attempt 1 failed: Operation too slow. Less than "
                                            "1024 bytes/sec transferred the last 5 seconds "
                                            "(curl error 28)"));
  // The stall time, plus up to one more: libcurl judges the speed over a
  // moving window, which a fast start keeps above the limit for a while.
  const int64_t cutAfter = (*again)["startMs"].GetInt64() - (*before)["endMs"].GetInt64();
  std::printf("%s stalled by %s: cut and sent again after %lld ms\n", c.kind.c_str(),
              c.action.c_str(), static_cast<long long>(cutAfter));
  EXPECT_GE(cutAfter, 5000);
  EXPECT_LT(cutAfter, 15000);
}

INSTANTIATE_TEST_SUITE_P(StallSeconds5, StalledTransfer,
                         ::testing::Values(StallCase{"part-put", "stall-read"},
                                           StallCase{"part-url", "stall-answer"}),
                         [](const auto& info) {
                           return testName(info.param.kind + "_" + info.param.action);
                         });

// The merge and the direct upload create the file item: the service stores
// it, then takes its time to answer. Once the request went out whole, the
// stall rule no longer cuts the wait, so it is sent once and its answer
// taken: one item in the store, the run a success. (Cut and sent again, the
// merge was refused "task not found" and the direct upload stored twice.)
class SlowAnswerOfACreatingRequest : public ::testing::TestWithParam<std::string> {};

TEST_P(SlowAnswerOfACreatingRequest, IsAwaitedPastTheStallTimeAndSentOnce) {
  const std::string kind = GetParam();
  // A small body, so that libcurl's moving window sees the wait as a stall
  // at once (a fast start keeps it above the limit for a while).
  const std::string content = kind == "direct-upload" ? patternBytes(512, 7) : std::string();
  FaultRun run(flowOf(kind), {Rule(kind, "pass").nth(1).delayMs(10000)}, content, 45,
               {{"stallseconds", "#5"}});
  run.expectIdentical();
  EXPECT_EQ(run.count(kind), 1);
  EXPECT_THAT(run.causes, IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(StallSeconds5, SlowAnswerOfACreatingRequest,
                         ::testing::Values("merge", "direct-upload"),
                         [](const auto& info) { return testName(info.param); });

// ---------------------------------------------------------------------------
// A part PUT refused with an HTTP status: the storage did not keep the part,
// so the attempt counts as failed and is repeated.

TEST(RefusedPut, Answered500TwiceThen200LogsRetry2OnceAndTheFileArrivesWhole) {
  FaultRun run(Flow::kMultipart, {Rule("part-put", "status").nth(1).status(500),
                                  Rule("part-put", "status").nth(2).status(500)});
  run.expectIdentical();
  auto puts = run.requestsOf("part-put");
  ASSERT_EQ(puts.size(), 5u);
  const std::string part1 = run.store.baseUrl() + stringAt(*puts[0], "path");
  EXPECT_THAT(run.retries, ElementsAre(part1 + " connect failed!!! retry 2"));
  const std::string refused = "The requested URL returned error: 500 (curl error 22)";
  EXPECT_THAT(run.causes, ElementsAre(part1 + " attempt 1 failed: " + refused,
                                      part1 + " attempt 2 failed: " + refused));
  EXPECT_EQ((*puts[2])["status"].GetInt(), 200);
  EXPECT_EQ((*puts[2])["bodyBytes"].GetUint64(), kMiB);
}

class RefusedPutOnce : public ::testing::TestWithParam<int> {};

TEST_P(RefusedPutOnce, IsRepeatedSilentlyAndTheFileArrivesWhole) {
  FaultRun run(Flow::kMultipart,
               {Rule("part-put", "status")
                    .nth(2)
                    .status(GetParam())
                    .body("<?xml version=\"1.0\"?><Error><Code>Refused</Code></Error>")
                    .contentType("application/xml")});
  run.expectIdentical();
  EXPECT_THAT(run.retries, IsEmpty());
  EXPECT_EQ(run.count("part-put"), kParts + 1);
}

INSTANTIATE_TEST_SUITE_P(Statuses, RefusedPutOnce, ::testing::Values(403, 500, 503),
                         [](const auto& info) { return "Status" + std::to_string(info.param); });

// The answers judged by their body are not retried for their status.
TEST(StatusOfJudgedAnswers, A500WithASuccessBodyIsASuccessWithoutRetry) {
  FaultRun run(Flow::kDirect, {Rule("direct-upload", "pass").status(500)});
  run.expectIdentical();
  EXPECT_THAT(run.retries, IsEmpty());
  EXPECT_EQ(run.count("direct-upload"), 1);
}

TEST(StatusOfJudgedAnswers, A503WithAnErrorEnvelopeFailsWithoutRetry) {
  FaultRun run(Flow::kMultipart, {Rule("create-task", "status").status(503)});
  run.expectFailure("createUploadTask failed!");
  EXPECT_THAT(run.retries, IsEmpty());
  EXPECT_EQ(run.count("create-task"), 1);
  EXPECT_EQ(run.count("part-url"), 0);
}

// ---------------------------------------------------------------------------
// Bad answers, every form for every answer the uploader judges.

enum class Expect {
  kIdentical,     // the upload goes through untouched
  kCleanFailure,  // the failure result of the step (or a failed load)
};

struct BodyCase {
  std::string kind;
  std::string form;
  std::vector<Rule> rules;
  Expect expect;
  std::map<std::string, std::string> config = {};  // keys added to the configuration
};

// A success answer of `kind` as the stand-in would give it, with made-up ids.
std::string forgedSuccess(const std::string& kind) {
  if (kind == "gateway-token")
    return R"({"access_token":"gw-forged","token_type":"bearer","expires_in":3600})";
  if (kind == "project-list") return R"({"project":{"id":4242,"name":"demo project"}})";
  if (kind == "storage-token") {
    return R"({"code":"success","data":{"token":"st-forged","expireTime":"2099-01-01 00:00:00"}})";
  }
  if (kind == "create-task") return R"({"code":"success","data":{"id":"task-forged"}})";
  if (kind == "part-url") {
    return R"({"code":"success","data":"{base}/storage/task-forged/1?expires=4102444800&signature=00"})";
  }
  return R"({"code":"success","data":{"status":"success","fileItemId":"item-forged","fileItemName":"sample.bin"}})";
}

std::string quoted(const std::string& text) { return "\"" + text + "\""; }

std::vector<BodyCase> badBodyCases() {
  std::vector<BodyCase> cases;
  const std::vector<std::string> judged = {"gateway-token", "project-list", "storage-token",
                                           "direct-upload", "create-task",  "part-url",
                                           "merge"};
  for (const std::string& kind : judged) {
    // Answers are judged from their UTF-8 text: a text the local code page
    // lacks, or bytes that are no UTF-8, in a member nobody reads change
    // nothing.
    const Expect unconvertible = Expect::kIdentical;
    std::string forged = forgedSuccess(kind);
    std::string nul = forged.substr(0, 12) + std::string(1, '\0') + forged.substr(12);
    cases.push_back({kind,
                     "not_json",
                     {Rule(kind, "body")
                          .status(200)
                          .body("<html><body><h1>Welcome</h1></body></html>")
                          .contentType("text/html")},
                     Expect::kCleanFailure});
    cases.push_back(
        {kind, "json_array", {Rule(kind, "body").body("[" + forged + "]")}, Expect::kCleanFailure});
    cases.push_back(
        {kind, "nul_byte", {Rule(kind, "body").bodyBase64(base64Of(nul))}, Expect::kCleanFailure});
    const std::map<std::string, std::string> gbk = {{"codepage", "GBK"}};
    cases.push_back({kind,
                     "text_gbk_lacks",
                     {Rule(kind, "pass").set("note", quoted(kEmoji))},
                     unconvertible,
                     gbk});
    // The platform's own code page: UTF-8 on Linux, which has every
    // character (GBK on Windows, where this case fails as the one above).
    cases.push_back({kind,
                     "text_gbk_lacks_in_utf8",
                     {Rule(kind, "pass").set("note", quoted(kEmoji))},
                     Expect::kIdentical});
    cases.push_back({kind,
                     "invalid_utf8",
                     {Rule(kind, "pass").set("note", quoted(kInvalidUtf8))},
                     unconvertible});
    // A captured answer is never allowed to grow without bound.
    cases.push_back({kind,
                     "ten_megabyte_answer",
                     {Rule(kind, "pass").padTo(kTenMegabytes)},
                     Expect::kCleanFailure});
    cases.push_back({kind,
                     "ten_megabytes_of_junk",
                     {Rule(kind, "body").body("<html>").padTo(kTenMegabytes)},
                     Expect::kCleanFailure});
    cases.push_back({kind,
                     "long_header_line",
                     {Rule(kind, "pass").header("X-Fill", kLongHeaderLine)},
                     Expect::kIdentical});
  }
  // The part PUT's answer is not judged; it may be large all the same.
  cases.push_back({"part-put",
                   "ten_megabyte_answer",
                   {Rule("part-put", "pass").nth(1).padTo(kTenMegabytes)},
                   Expect::kIdentical});
  cases.push_back({"part-put",
                   "long_header_line",
                   {Rule("part-put", "pass").header("X-Fill", kLongHeaderLine)},
                   Expect::kIdentical});
  return cases;
}

// What a clean failure of each step looks like, beyond the result file.
void expectStoppedAt(const FaultRun& run, const std::string& kind) {
  if (kind == "gateway-token" || kind == "project-list") {
    run.expectLoadFailure();
    if (kind == "gateway-token") {
      // The lookup still goes out, with nothing after the bearer prefix, and is refused.
      auto lookups = run.requestsOf("project-list");
      ASSERT_EQ(lookups.size(), 1u);
      EXPECT_EQ(headerOf(*lookups[0], "authorization").find("gw-"), std::string::npos);
      EXPECT_EQ((*lookups[0])["status"].GetInt(), 401);
    }
    return;
  }
  if (kind == "storage-token") {
    // No token held: the upload sends nothing and says why.
    run.expectFailure("uploadOnePartData failed!");
    EXPECT_EQ(run.count("direct-upload"), 0);
    EXPECT_THAT(run.upload.run.err, HasSubstr("no storage token: "));
    return;
  }
  if (kind == "direct-upload") return run.expectFailure("uploadOnePartData failed!");
  if (kind == "create-task") {
    run.expectFailure("createUploadTask failed!");
    EXPECT_EQ(run.count("part-url"), 0);
    return;
  }
  if (kind == "part-url") {
    run.expectFailure("uploadPartData failed!");
    EXPECT_EQ(run.count("part-url"), kParts);  // every part is tried
    EXPECT_EQ(run.count("part-put"), 0);
    EXPECT_EQ(run.count("merge"), 0);
    return;
  }
  run.expectFailure("mergeUploadTask failed!");
}

class BadAnswer : public ::testing::TestWithParam<BodyCase> {};

TEST_P(BadAnswer, EndsCleanlyOrGoesThroughUntouched) {
  const BodyCase& c = GetParam();
  FaultRun run(flowOf(c.kind), c.rules, {}, 60, c.config);
  EXPECT_THAT(run.retries, IsEmpty());  // a judged answer is never retried
  Expect expect = c.expect;
  if (expect == Expect::kIdentical) {
    run.expectIdentical();
  } else {
    expectStoppedAt(run, c.kind);
  }
  auto faulted = run.requestsOf(c.kind);
  ASSERT_FALSE(faulted.empty());
  EXPECT_FALSE(stringAt(*faulted[0], "fault").empty());
}

INSTANTIATE_TEST_SUITE_P(EveryForm, BadAnswer, ::testing::ValuesIn(badBodyCases()),
                         [](const auto& info) {
                           return testName(info.param.kind + "_" + info.param.form);
                         });

// A header line longer than libcurl takes fails that attempt; the next one
// follows silently. The first answer is lost after the request was handled,
// which is harmless for these kinds (an extra task at most stays open).
class OverlongHeaderOnce : public ::testing::TestWithParam<std::string> {};

TEST_P(OverlongHeaderOnce, FailsOneAttemptAndTheNextGoesThrough) {
  const std::string kind = GetParam();
  FaultRun run(flowOf(kind), {Rule(kind, "pass").nth(1).header("X-Fill", kOverlongHeaderLine)});
  run.expectIdentical();
  EXPECT_THAT(run.retries, IsEmpty());
  EXPECT_EQ(run.count(kind), normalCount(kind) + 1);
}

INSTANTIATE_TEST_SUITE_P(EachRequestKind, OverlongHeaderOnce,
                         ::testing::Values("gateway-token", "project-list", "storage-token",
                                           "create-task", "part-url", "part-put"),
                         [](const auto& info) { return testName(info.param); });

// The answer to a request that creates the item, lost after the store acted:
// the attempt is repeated like any failed transfer. These pin what follows;
// a merge refused after such an attempt says that the file may be stored.
TEST(AnswerLostAfterHandling, ADirectUploadIsStoredTwiceAndTheSecondItemIsReported) {
  FaultRun run(Flow::kDirect,
               {Rule("direct-upload", "pass").nth(1).header("X-Fill", kOverlongHeaderLine)});
  EXPECT_THAT(run.retries, IsEmpty());
  EXPECT_EQ(run.count("direct-upload"), 2);
  ASSERT_TRUE(run.items.IsArray());
  ASSERT_EQ(run.items.Size(), 2u);  // a duplicate item is left behind
  EXPECT_EQ(run.result(), successResult(stringAt(run.items[1], "id")));
  for (const auto& item : run.items.GetArray()) {
    EXPECT_EQ(stringAt(item, "sha256"), sha256Hex(run.content()));
  }
}

TEST(AnswerLostAfterHandling, AMergeIsReportedAsFailedAlthoughTheFileWasStored) {
  FaultRun run(Flow::kMultipart,
               {Rule("merge", "pass").nth(1).header("X-Fill", kOverlongHeaderLine)});
  EXPECT_THAT(run.retries, IsEmpty());
  run.expectFailure("mergeUploadTask failed!");
  auto merges = run.requestsOf("merge");
  ASSERT_EQ(merges.size(), 2u);
  EXPECT_EQ((*merges[1])["status"].GetInt(), 404);  // the task is gone with the first merge
  ASSERT_TRUE(run.items.IsArray());
  ASSERT_EQ(run.items.Size(), 1u);
  EXPECT_EQ(stringAt(run.items[0], "sha256"), sha256Hex(run.content()));
  // The run says that the file may be stored all the same.
  EXPECT_THAT(logMessagesWith(run.upload.run.err, "first merge attempt"),
              ElementsAre("the first merge attempt got no answer; the service may have stored "
                          "the file"));
}

// ---------------------------------------------------------------------------
// Members of the wrong type, for every member the uploader reads. The stand-in
// handles the request for real and then retypes one member of its answer.

struct TypeCase {
  std::string kind;
  std::string path;
  std::string json;  // the member's new value
  Expect expect;
  std::string name;
};

std::vector<TypeCase> wrongTypeCases() {
  return {
      {"gateway-token", "access_token", "1", Expect::kCleanFailure, "access_token_number"},
      {"gateway-token", "access_token", "null", Expect::kCleanFailure, "access_token_null"},
      {"project-list", "project.id", R"("4242")", Expect::kCleanFailure, "project_id_string"},
      {"project-list", "project.id", "-1", Expect::kCleanFailure, "project_id_negative"},
      {"project-list", "project.id", "4242.0", Expect::kCleanFailure, "project_id_fraction"},
      {"project-list", "project", R"("4242")", Expect::kCleanFailure, "project_string"},
      {"storage-token", "code", "true", Expect::kCleanFailure, "code_boolean"},
      {"storage-token", "code", R"("SUCCESS")", Expect::kCleanFailure, "code_other_case"},
      {"storage-token", "data", R"("x")", Expect::kCleanFailure, "data_string"},
      {"storage-token", "data.token", "1", Expect::kCleanFailure, "token_number"},
      {"direct-upload", "data", R"("x")", Expect::kCleanFailure, "data_string"},
      {"direct-upload", "data.status", "1", Expect::kCleanFailure, "status_number"},
      {"create-task", "data", R"("x")", Expect::kCleanFailure, "data_string"},
      {"create-task", "data.id", "7", Expect::kCleanFailure, "id_number"},
      {"part-url", "data", "7", Expect::kCleanFailure, "data_number"},
      {"part-url", "data", R"({"url":"x"})", Expect::kCleanFailure, "data_object"},
      {"merge", "data", R"("x")", Expect::kCleanFailure, "data_string"},
      {"merge", "data.status", "1", Expect::kCleanFailure, "status_number"},
  };
}

class WrongType : public ::testing::TestWithParam<TypeCase> {};

TEST_P(WrongType, EndsInTheStepsFailure) {
  const TypeCase& c = GetParam();
  FaultRun run(flowOf(c.kind), {Rule(c.kind, "pass").set(c.path, c.json)});
  EXPECT_THAT(run.retries, IsEmpty());
  expectStoppedAt(run, c.kind);
}

INSTANTIATE_TEST_SUITE_P(EveryMemberRead, WrongType, ::testing::ValuesIn(wrongTypeCases()),
                         [](const auto& info) {
                           return testName(info.param.kind + "_" + info.param.name);
                         });

// An "expireTime" the uploader cannot read: the token is used but never held
// as valid, so every document-store request asks for a token first.
TEST(WrongTypeOfExpiry, TheTokenIsUsedButAskedForBeforeEveryRequest) {
  FaultRun run(Flow::kMultipart, {Rule("storage-token", "pass").set("data.expireTime", "5")});
  EXPECT_THAT(run.retries, IsEmpty());
  run.expectIdentical();
  EXPECT_EQ(run.count("storage-token"), 1 + kParts + 1);  // task, each part URL, merge
}

// A part URL of the wrong type for one part: the other parts are still sent,
// the merge is not asked for.
TEST(WrongTypeOfPartUrl, OnePartFailsTheOthersAreSentAndNothingIsMerged) {
  FaultRun run(Flow::kMultipart, {Rule("part-url", "pass").nth(2).set("data", "7")});
  EXPECT_THAT(run.retries, IsEmpty());
  run.expectFailure("uploadPartData failed!");
  EXPECT_EQ(run.count("part-url"), kParts);
  EXPECT_EQ(run.count("part-put"), kParts - 1);
  EXPECT_EQ(run.count("merge"), 0);
  EXPECT_THAT(run.upload.run.out, HasSubstr("\n..\n"));  // one mark per part that had a URL
}

// The item's id or name of the wrong type: the store made the item, so the
// run succeeds, but the result file cannot name what it did not receive.
class WrongTypeOfItemField : public ::testing::TestWithParam<std::pair<std::string, std::string>> {
};

TEST_P(WrongTypeOfItemField, SucceedsWithThatFieldEmptyAndTheBytesStored) {
  const auto& [kind, member] = GetParam();
  FaultRun run(flowOf(kind), {Rule(kind, "pass").set("data." + member, "3")});
  EXPECT_THAT(run.retries, IsEmpty());
  EXPECT_EQ(run.exitStatus(), 0);
  ASSERT_TRUE(run.items.IsArray());
  ASSERT_EQ(run.items.Size(), 1u);
  std::string id = stringAt(run.items[0], "id");
  EXPECT_EQ(sha256Hex(run.store.storedBytes(id)), sha256Hex(run.content()));
  if (member == "fileItemId") {
    EXPECT_EQ(run.result(), successResult("", "sample.bin"));
  } else {
    EXPECT_EQ(run.result(), successResult(id, ""));
  }
}

INSTANTIATE_TEST_SUITE_P(
    DirectAndMerge, WrongTypeOfItemField,
    ::testing::Values(std::pair<std::string, std::string>{"direct-upload", "fileItemId"},
                      std::pair<std::string, std::string>{"direct-upload", "fileItemName"},
                      std::pair<std::string, std::string>{"merge", "fileItemId"},
                      std::pair<std::string, std::string>{"merge", "fileItemName"}),
    [](const auto& info) { return testName(info.param.first + "_" + info.param.second); });

// ---------------------------------------------------------------------------
// The secret check itself finds what it looks for.

TEST(SecretCheck, FindsTheSecretTheCredentialAndASignedQuery) {
  SKIP_FOR_WINDOWS_UPLOADER(kNoUploaderRun);
  const std::string credential =
      base64Of(std::string(LocalStore::kAppKey) + ":" + LocalStore::kAppSecret);
  for (const std::string& leak : {std::string(LocalStore::kAppSecret), credential,
                                  std::string("/storage/t/1?expires=1&signature=ab")}) {
    SCOPED_TRACE(leak);
    RunResult inErr;
    inErr.err = "E0101 corvaneMuliUpload:1] " + leak + "\n";
    EXPECT_NONFATAL_FAILURE(expectNoSecrets(inErr), "is in stderr");
    RunResult inLogs;
    inLogs.logs = "..." + leak;
    EXPECT_NONFATAL_FAILURE(expectNoSecrets(inLogs), "is in a log file");
  }
}

}  // namespace
}  // namespace corvane::e2e
