#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <functional>
#include <string>
#include <vector>

#include "platform/file_replace.h"
#include "platform/read_only_file.h"
#include "platform/stop_signals.h"
#include "support/fake_env.h"
#include "support/log_capture.h"
#include "support/scripted_transfers.h"
#include "text/local_codepage.h"
#include "transport/body_source.h"
#include "transport/gateway_signing.h"
#include "upload/corvane_multi_upload.h"
#include "upload/result_file.h"
#include "upload/upload_test_util.h"

namespace corvane {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;
using testing::FakeEnv;
using testing::kMiB;
using testing::kTicks;
using testing::LogCapture;
using testing::patternBytes;
using testing::readWholeFile;
using testing::ScratchDir;
using testing::ScriptedRun;
using testing::ScriptedTransfers;
using testing::SeenOptions;
using testing::respondNotingOptions;
using testing::TimeZoneGuard;

constexpr char kTokenUrl[] = "https://store.test/oauth2/token";
constexpr char kDirectUrl[] = "https://store.test/mdox/data/v1/projects/p1/fileItems";
constexpr char kTaskUrl[] = "https://store.test/mdox/v1/data/projects/p1/file-items/multi-part-files";
constexpr char kPartUrl[] =
    "https://store.test/mdox/v1/data/projects/p1/file-items/multi-part-files/signed-url";
constexpr char kMergeUrl[] =
    "https://store.test/mdox/v1/data/projects/p1/file-items/multi-part-files/merge";
constexpr char kTokenBody[] =
    R"({"code":"success","data":{"token":"tok-run","expireTime":"2030-01-01 00:00:00"}})";
constexpr char kItemBody[] =
    R"({"data":{"status":"success","fileItemId":"f1","fileItemName":"n1"}})";

std::string signedUrlBody(const std::string& url) { return R"({"data":")" + url + R"("})"; }
std::string blobUrl(int part) { return "https://blob.test/part-" + std::to_string(part) + "?sig=s"; }

class Upload : public ::testing::Test {
 protected:
  void SetUp() override {
    setLocalCodepage(LocalCodepage::kGbk);
    uploader.appkey = "key";
    uploader.appsecret = "secret";
    uploader.tokenurl = kTokenUrl;
    uploader.directurl = kDirectUrl;
    uploader.taskurl = kTaskUrl;
    uploader.parturl = kPartUrl;
    uploader.mergeurl = kMergeUrl;
    uploader.projectid = "p1";
    uploader.targetname = "a.txt";
    uploader.partSize = kMiB;
    uploader.output = dir.file("result.json");
    // A valid token, so single operations make only their own request.
    uploader.accessToken = "tok";
    uploader.accessTokenExpiry = env.ticks + 3600 * kTicks;
  }

  std::string useFile(const std::string& content) {
    uploader.localfile = dir.write("data.bin", content);
    return content;
  }

  // The steps as run() calls them, on the local file opened once.
  bool directUpload() { return uploader.uploadEntireData(ReadOnlyFile(uploader.localfile)); }
  bool createTask(std::string& id) {
    return uploader.createUploadTask(id, ReadOnlyFile(uploader.localfile));
  }
  bool partData(const std::string& id) {
    return uploader.uploadPartData(id, ReadOnlyFile(uploader.localfile));
  }
  // A part's URL, through the request and the judgement the part sender uses.
  bool partUrl(const std::string& id, int32_t number, std::string& url) {
    auto request = uploader.partUrlRequest(id, number);
    return request && uploader.judgePartUrl(scripted.loop.perform(*request), url);
  }
  // One part's PUT to `url` as the part sender builds it.
  HttpResponse putPart(const std::string& url, BodySource& part) {
    return scripted.loop.perform(uploader.partPutRequest(url, part));
  }

  // Runs `operation` with standard output captured into `printed`.
  template <typename Operation>
  auto captured(Operation operation) {
    ::testing::internal::CaptureStdout();
    auto result = operation();
    printed = ::testing::internal::GetCapturedStdout();
    return result;
  }

  std::vector<ScriptedTransfers::Attempt> attemptsTo(const std::string& urlPrefix) const {
    std::vector<ScriptedTransfers::Attempt> found;
    for (const auto& attempt : network.attempts()) {
      if (attempt.url.rfind(urlPrefix, 0) == 0) found.push_back(attempt);
    }
    return found;
  }

  TimeZoneGuard zone{"UTC"};
  FakeEnv env;
  ScriptedRun scripted;
  ScriptedTransfers& network = scripted.network;
  ScratchDir dir;
  CorvaneMultiUpload uploader{scripted.context};
  std::string printed;
};

// ============================================================================
// Direct upload
// ============================================================================

TEST_F(Upload, DirectUploadPercentEncodesTheQueryAndStreamsTheFile) {
  std::string content = useFile(patternBytes(100));
  uploader.targetname = "my file&x=1+y\xE6\x8A\xA5\xE5\x91\x8A.txt";
  uploader.projectid = "p 1";
  network.thenRespond(kItemBody);
  EXPECT_TRUE(captured([&] { return directUpload(); }));
  ASSERT_EQ(network.attempts().size(), 1u);
  const auto& sent = network.attempts()[0];
  EXPECT_EQ(sent.method, "POST");
  EXPECT_EQ(sent.url, std::string(kDirectUrl) +
                          "?name=my%20file%26x%3D1%2By%E6%8A%A5%E5%91%8A.txt&parentId=p%201&length=100");
  EXPECT_EQ(sent.uploaded, content);
  EXPECT_TRUE(sent.hadHeaderList);
  EXPECT_THAT(sent.headerLines,
              ElementsAre("Authorization:Bearer tok", "Content-Type: application/json"));
  EXPECT_EQ(sent.postFields, "");
  EXPECT_EQ(uploader.fileItemId, "f1");
  EXPECT_EQ(uploader.fileItemName, "n1");
}

TEST_F(Upload, DocumentStoreRequestsDefaultToHttpsAndCaptureTheirAnswers) {
  useFile("hello");
  std::vector<SeenOptions> seen;
  network.then(respondNotingOptions(network, seen, kItemBody));
  network.then(respondNotingOptions(network, seen, R"({"data":{"id":"T"}})"));
  network.then(respondNotingOptions(network, seen, kItemBody));
  std::string uploadId;
  captured([&] { return directUpload(); });
  captured([&] { return createTask(uploadId); });
  captured([&] { return uploader.mergeUploadTask("T"); });
  ASSERT_EQ(seen.size(), 3u);
  for (size_t i = 0; i < seen.size(); ++i) {
    EXPECT_TRUE(seen[i].defaultHttps) << i;
    EXPECT_TRUE(seen[i].capturesBody) << i;
    EXPECT_TRUE(seen[i].capturesHeaders) << i;
    EXPECT_FALSE(seen[i].failOnHttpError) << i;
  }
}

// Every answer has an end: a JSON request's within 60 seconds of being
// sent, the two that create a file item within 10 minutes (the service may
// take that long to assemble a large file); only those two are let finish
// through a stop.
TEST_F(Upload, EveryRequestsAnswerHasALimitAndTheCreatorsTheirOwn) {
  useFile("hello");
  uploader.accessTokenExpiry = env.ticks;  // a token request first
  std::vector<SeenOptions> seen;
  network.then(respondNotingOptions(network, seen, kTokenBody));
  network.then(respondNotingOptions(network, seen, kItemBody));
  network.then(respondNotingOptions(network, seen, R"({"data":{"id":"T"}})"));
  network.then(respondNotingOptions(network, seen, signedUrlBody(blobUrl(1))));
  network.then(respondNotingOptions(network, seen, kItemBody));
  std::string uploadId;
  std::string url;
  captured([&] { return directUpload(); });
  captured([&] { return createTask(uploadId); });
  captured([&] { return partUrl("T", 1, url); });
  captured([&] { return uploader.mergeUploadTask("T"); });
  ASSERT_EQ(seen.size(), 5u);
  for (size_t i : {0, 2, 3}) {
    EXPECT_EQ(seen[i].answerSeconds, 60) << i;
    EXPECT_FALSE(seen[i].createsItem) << i;
  }
  for (size_t i : {1, 4}) {
    EXPECT_EQ(seen[i].answerSeconds, 600) << i;
    EXPECT_TRUE(seen[i].createsItem) << i;
  }
}

TEST_F(Upload, DirectUploadOfAnEmptyFileStillPosts) {
  useFile("");
  network.thenRespond(kItemBody);
  EXPECT_TRUE(captured([&] { return directUpload(); }));
  ASSERT_EQ(network.attempts().size(), 1u);
  EXPECT_EQ(network.attempts()[0].method, "POST");
  EXPECT_EQ(network.attempts()[0].url, std::string(kDirectUrl) + "?name=a.txt&parentId=p1&length=0");
  EXPECT_EQ(network.attempts()[0].uploaded, "");
}

TEST_F(Upload, DirectUploadDumpsTheResponseUnderItsLabels) {
  useFile("hello");
  network.thenRespond(kItemBody, "HTTP/1.1 201 Created\r\n\r\n");
  captured([&] { return directUpload(); });
  EXPECT_EQ(printed, std::string("uploadEntireData CURLOPT_WRITEFUNCTION out:\n") + kItemBody +
                         "\nuploadEntireData CURLOPT_HEADERFUNCTION out:\n"
                         "HTTP/1.1 201 Created\r\n\r\n\n");
}

TEST_F(Upload, DirectUploadLogsSizeAndTheFileItemLines) {
  useFile("hello");
  LogCapture log;
  network.thenRespond(kItemBody);
  captured([&] { return directUpload(); });
  EXPECT_THAT(log.lines, Contains("upload file size: 5"));
  EXPECT_THAT(log.lines, Contains("fileItemId:f1"));
  EXPECT_THAT(log.lines, Contains("fileItemName:n1"));
}

TEST_F(Upload, RejectedDirectUploadStillLogsTheEmptyFileItemLines) {
  useFile("hello");
  LogCapture log;
  network.thenRespond(R"({"data":{"status":"failed"}})");
  EXPECT_FALSE(captured([&] { return directUpload(); }));
  EXPECT_THAT(log.lines, Contains("fileItemId:"));
  EXPECT_THAT(log.lines, Contains("fileItemName:"));
}

TEST_F(Upload, UnopenableLocalFileFailsWithoutAnyRequest) {
  uploader.localfile = dir.file("vanished.bin");
  uploader.accessToken = "";  // not even a token may be asked for
  uploader.accessTokenExpiry = env.ticks;
  LogCapture log;
  EXPECT_TRUE(captured([&] { return uploader.run(); }));
  EXPECT_TRUE(network.attempts().empty());
  EXPECT_EQ(printed, "");
  EXPECT_EQ(uploader.errorMessage, "uploadOnePartData failed!");
  EXPECT_THAT(log.lines, Contains("local file " + uploader.localfile + ": No such file or directory"));
}

TEST_F(Upload, DirectoryInPlaceOfTheLocalFileSendsNothing) {
  // The path was a file at load time and has become a directory since: it
  // cannot be read, so no empty file item may be created from it.
  uploader.localfile = dir.path();
  network.thenRespond(kItemBody);
  EXPECT_TRUE(captured([&] { return uploader.run(); }));
  EXPECT_TRUE(network.attempts().empty()) << "sent: " << network.attempts()[0].url;
  EXPECT_EQ(uploader.fileItemId, "");
  EXPECT_EQ(uploader.errorMessage, "uploadOnePartData failed!");
}

TEST_F(Upload, RetriedDirectUploadResendsTheWholeFileFromItsFirstByte) {
  std::string content = useFile(patternBytes(5000));
  network.thenFail(CURLE_SEND_ERROR, 1234);
  network.thenRespond(kItemBody);
  EXPECT_TRUE(captured([&] { return directUpload(); }));
  ASSERT_EQ(network.attempts().size(), 2u);
  EXPECT_EQ(network.attempts()[0].uploaded, content.substr(0, 1234));
  EXPECT_EQ(network.attempts()[1].uploaded, content);
}

TEST_F(Upload, DirectUploadTransferFailurePrintsNothing) {
  useFile("hello");
  uploader.errorMessage = "earlier";
  EXPECT_FALSE(captured([&] { return directUpload(); }));
  EXPECT_EQ(network.attempts().size(), 33u);
  EXPECT_EQ(printed, "");
  EXPECT_EQ(uploader.errorMessage, "earlier");
}

TEST_F(Upload, DirectUploadAsksForATokenFirstWhenNoneIsHeld) {
  useFile("hello");
  uploader.accessToken = "";
  uploader.accessTokenExpiry = env.ticks;
  network.thenRespond(kTokenBody);
  network.thenRespond(kItemBody);
  EXPECT_TRUE(captured([&] { return directUpload(); }));
  ASSERT_EQ(network.attempts().size(), 2u);
  EXPECT_EQ(network.attempts()[0].url, kTokenUrl);
  EXPECT_EQ(network.attempts()[1].headerLines[0], "Authorization:Bearer tok-run");
}

// Without a storage token no body goes out: the service would refuse it
// only once every byte had been sent.
TEST_F(Upload, DirectUploadWithoutTokenSendsNothingAndSaysWhy) {
  useFile("hello");
  uploader.accessToken = "";
  uploader.accessTokenExpiry = env.ticks;
  LogCapture log;
  network.thenRespond(R"({"code":401,"message":"no token"})");
  network.thenRespond(kItemBody);
  EXPECT_FALSE(captured([&] { return directUpload(); }));
  ASSERT_EQ(network.attempts().size(), 1u);
  EXPECT_EQ(uploader.errorMessage, "no token");
  EXPECT_THAT(log.lines, Contains("no storage token: no token"));
}

TEST_F(Upload, EveryDocumentStoreStepWithoutTokenSendsNothing) {
  useFile(patternBytes(3000));
  uploader.partSize = 1000;
  uploader.accessToken = "";
  uploader.accessTokenExpiry = env.ticks;
  for (int i = 0; i < 3; ++i) network.thenRespond(R"({"code":401,"message":"no token"})");
  std::string id;
  EXPECT_FALSE(captured([&] { return createTask(id); }));
  EXPECT_FALSE(captured([&] { return partData("T"); }));
  EXPECT_FALSE(captured([&] { return uploader.mergeUploadTask("T"); }));
  // Only the three token requests went out.
  ASSERT_EQ(network.attempts().size(), 3u);
  for (const auto& attempt : network.attempts()) EXPECT_EQ(attempt.url, kTokenUrl);
}

TEST_F(Upload, TenantDirectUploadIsSignedOverTheRawQueryValues) {
  useFile("hello");
  uploader.tenantid = "t1";
  uploader.targetname = "a b&c.txt";
  network.thenRespond(kItemBody);
  EXPECT_TRUE(captured([&] { return directUpload(); }));
  ASSERT_EQ(network.attempts().size(), 1u);
  const auto& headers = network.attempts()[0].headerLines;
  ASSERT_EQ(headers.size(), 9u);
  EXPECT_EQ(headers[0], "Authorization:Bearer tok");
  EXPECT_EQ(headers[1], "Content-Type: application/json");
  EXPECT_EQ(headers[7], "x-project-id:p1");
  EXPECT_EQ(headers[8], "x-tenant-id:t1");
  const std::string nonce = "00000000-0000-4000-8000-000000000001";
  const std::string timestamp = std::to_string(env.ticks / 10000);
  EXPECT_EQ(headers[3], "x-ca-nonce:" + nonce);
  EXPECT_EQ(headers[6], "x-ca-timestamp:" + timestamp);
  const std::string toSign = "POST\nx-ca-key:key\nx-ca-nonce:" + nonce + "\nx-ca-timestamp:" +
                             timestamp +
                             "\n/mdox/data/v1/projects/p1/fileItems?length=5&name=a b&c.txt&parentId=p1";
  EXPECT_EQ(headers[4], "x-ca-signature:" + base64Encode(hmacSign("secret", toSign)));
}

struct ItemCase {
  const char* name;
  std::string body;
  bool accepted;
  const char* fileItemId;
  const char* fileItemName;
  const char* errorMessage;
};
void PrintTo(const ItemCase& c, std::ostream* os) { *os << c.name; }

const std::vector<ItemCase>& itemCases() {
  static const std::vector<ItemCase> cases = {
      {"StatusInCapitals", R"({"data":{"status":"SUCCESS","fileItemId":"f1","fileItemName":"n1"}})",
       true, "f1", "n1", "earlier"},
      {"StatusCapitalised", R"({"data":{"status":"Success","fileItemId":"f1","fileItemName":"n1"}})",
       true, "f1", "n1", "earlier"},
      {"StatusWithTrailingBlank",
       R"({"data":{"status":"Success ","fileItemId":"f1","fileItemName":"n1"}})", false, "", "",
       "earlier"},
      {"StatusFailed", R"({"data":{"status":"failed","fileItemId":"f1"}})", false, "", "", "earlier"},
      {"IntegerCodeWinsOverSuccessData",
       R"({"code":500,"message":"denied","data":{"status":"success","fileItemId":"f1"}})", false,
       "", "", "denied"},
      {"IntegerCodeWithoutMessage", R"({"code":0,"data":{"status":"success","fileItemId":"f1"}})",
       false, "", "", "earlier"},
      {"CodeAsString",
       R"({"code":"500","message":"m","data":{"status":"success","fileItemId":"f1","fileItemName":"n1"}})",
       true, "f1", "n1", "earlier"},
      {"CodeBeyond32Bits",
       R"({"code":2147483648,"message":"m","data":{"status":"success","fileItemId":"f1","fileItemName":"n1"}})",
       true, "f1", "n1", "earlier"},
      {"CodeWithFraction",
       R"({"code":1.5,"message":"m","data":{"status":"success","fileItemId":"f1","fileItemName":"n1"}})",
       true, "f1", "n1", "earlier"},
      {"NoFileItemName", R"({"data":{"status":"success","fileItemId":"f1"}})", true, "f1", "",
       "earlier"},
      {"FileItemIdAsNumber", R"({"data":{"status":"success","fileItemId":17,"fileItemName":"n1"}})",
       true, "", "n1", "earlier"},
      {"StatusAsNumber", R"({"data":{"status":1}})", false, "", "", "earlier"},
      {"DataAsString", R"({"data":"success"})", false, "", "", "earlier"},
      {"NoData", R"({"status":"success"})", false, "", "", "earlier"},
      {"HtmlPage", "<html><body>502 Bad Gateway</body></html>", false, "", "", "earlier"},
      {"ArrayRoot", R"([{"data":{"status":"success"}}])", false, "", "", "earlier"},
      {"ChineseNameStoredInLocalCodePage",
       "{\"data\":{\"status\":\"success\",\"fileItemId\":\"f1\",\"fileItemName\":\"\xE6\x8A\xA5\xE5\x91\x8A\"}}",
       true, "f1", "\xB1\xA8\xB8\xE6", "earlier"},
      // The item was stored: its name, which the caller cannot be given, is
      // left out of a success.
      {"CharacterOutsideTheCodePage",
       "{\"data\":{\"status\":\"success\",\"fileItemId\":\"f1\",\"fileItemName\":\"\xF0\x9F\x98\x80\"}}",
       true, "f1", "", "earlier"},
      {"BackslashByteInAGbkName",
       "{\"data\":{\"status\":\"success\",\"fileItemId\":\"f1\",\"fileItemName\":\"\xE8\xA8\xBA\"}}",
       true, "f1", "\xD4\x5C", "earlier"},
  };
  return cases;
}

class DirectJudging : public Upload, public ::testing::WithParamInterface<ItemCase> {};

TEST_P(DirectJudging, ResponseDecidesTheOutcome) {
  useFile("hello");
  uploader.errorMessage = "earlier";
  network.thenRespond(GetParam().body);
  EXPECT_EQ(captured([&] { return directUpload(); }), GetParam().accepted);
  EXPECT_EQ(uploader.fileItemId, GetParam().fileItemId);
  EXPECT_EQ(uploader.fileItemName, GetParam().fileItemName);
  EXPECT_EQ(uploader.errorMessage, GetParam().errorMessage);
}

INSTANTIATE_TEST_SUITE_P(Bodies, DirectJudging, ::testing::ValuesIn(itemCases()),
                         [](const ::testing::TestParamInfo<ItemCase>& info) {
                           return std::string(info.param.name);
                         });

TEST_F(Upload, MissingFileItemMembersLeaveEarlierValues) {
  useFile("hello");
  uploader.fileItemId = "old-id";
  uploader.fileItemName = "old-name";
  network.thenRespond(R"({"data":{"status":"success"}})");
  EXPECT_TRUE(captured([&] { return directUpload(); }));
  EXPECT_EQ(uploader.fileItemId, "old-id");
  EXPECT_EQ(uploader.fileItemName, "old-name");
}

// ============================================================================
// Upload task creation
// ============================================================================

TEST_F(Upload, TaskBodyNamesTheFileParentPathAndLength) {
  useFile(patternBytes(12345));
  network.thenRespond(R"({"data":{"id":"T-1"}})");
  std::string uploadId;
  EXPECT_TRUE(captured([&] { return createTask(uploadId); }));
  EXPECT_EQ(uploadId, "T-1");
  ASSERT_EQ(network.attempts().size(), 1u);
  const auto& sent = network.attempts()[0];
  EXPECT_EQ(sent.method, "POST");
  EXPECT_EQ(sent.url, kTaskUrl);
  EXPECT_EQ(sent.postFields,
            R"({"name":"a.txt","parentId":"p1","parentPath":"/test/","length":12345})");
  EXPECT_THAT(sent.headerLines,
              ElementsAre("Authorization:Bearer tok", "Content-Type: application/json"));
  EXPECT_EQ(sent.uploaded, "");
}

TEST_F(Upload, TaskBodyEscapesTheNameAndKeepsDigitsAsAString) {
  useFile("12345");
  uploader.targetname = "say \"hi\"\\ \xE6\x8A\xA5";
  uploader.projectid = "42";
  network.thenRespond(R"({"data":{"id":"T-1"}})");
  std::string uploadId;
  captured([&] { return createTask(uploadId); });
  ASSERT_EQ(network.attempts().size(), 1u);
  EXPECT_EQ(network.attempts()[0].postFields,
            "{\"name\":\"say \\\"hi\\\"\\\\ \xE6\x8A\xA5\",\"parentId\":\"42\","
            "\"parentPath\":\"/test/\",\"length\":5}");
}

TEST_F(Upload, TaskDumpsTheResponseUnderItsLabels) {
  useFile("12345");
  network.thenRespond(R"({"data":{"id":"T-1"}})", "HTTP/1.1 200 OK\r\n\r\n");
  std::string uploadId;
  captured([&] { return createTask(uploadId); });
  EXPECT_EQ(printed,
            "createUploadTask CURLOPT_WRITEFUNCTION out:\n{\"data\":{\"id\":\"T-1\"}}\n"
            "createUploadTask CURLOPT_HEADERFUNCTION out:\nHTTP/1.1 200 OK\r\n\r\n\n");
}

TEST_F(Upload, TenantTaskIsSignedWithoutQuery) {
  useFile("12345");
  uploader.tenantid = "t1";
  network.thenRespond(R"({"data":{"id":"T-1"}})");
  std::string uploadId;
  EXPECT_TRUE(captured([&] { return createTask(uploadId); }));
  const auto& headers = network.attempts().at(0).headerLines;
  ASSERT_EQ(headers.size(), 9u);
  const std::string nonce = "00000000-0000-4000-8000-000000000001";
  const std::string timestamp = std::to_string(env.ticks / 10000);
  const std::string toSign = "POST\nx-ca-key:key\nx-ca-nonce:" + nonce + "\nx-ca-timestamp:" +
                             timestamp + "\n/mdox/v1/data/projects/p1/file-items/multi-part-files";
  EXPECT_EQ(headers[4], "x-ca-signature:" + base64Encode(hmacSign("secret", toSign)));
  EXPECT_EQ(headers[8], "x-tenant-id:t1");
}

struct TaskCase {
  const char* name;
  const char* body;
  bool accepted;
  const char* uploadId;
  const char* errorMessage;
};
void PrintTo(const TaskCase& c, std::ostream* os) { *os << c.name; }

class TaskJudging : public Upload, public ::testing::WithParamInterface<TaskCase> {};

TEST_P(TaskJudging, ResponseDecidesTheTaskId) {
  useFile("12345");
  uploader.errorMessage = "earlier";
  network.thenRespond(GetParam().body);
  std::string uploadId;
  EXPECT_EQ(captured([&] { return createTask(uploadId); }), GetParam().accepted);
  EXPECT_EQ(uploadId, GetParam().uploadId);
  EXPECT_EQ(uploader.errorMessage, GetParam().errorMessage);
}

INSTANTIATE_TEST_SUITE_P(
    Bodies, TaskJudging,
    ::testing::Values(
        TaskCase{"Plain", R"({"data":{"id":"T-1"}})", true, "T-1", "earlier"},
        TaskCase{"CodeZeroIsAFailure", R"({"code":0,"message":"ok","data":{"id":"7"}})", false, "",
                 "ok"},
        TaskCase{"CodeAsStringSuccess", R"({"code":"success","data":{"id":"abc"}})", true, "abc",
                 "earlier"},
        TaskCase{"CodeBeyond32Bits", R"({"code":2147483648,"message":"m","data":{"id":"big"}})",
                 true, "big", "earlier"},
        TaskCase{"IdAsNumber", R"({"data":{"id":7}})", false, "", "earlier"},
        TaskCase{"DataAsString", R"({"data":"T-1"})", false, "", "earlier"},
        TaskCase{"IntegerCodeWithoutMessage", R"({"code":3,"data":{"id":"T-1"}})", false, "",
                 "earlier"},
        TaskCase{"EmptyObject", "{}", false, "", "earlier"},
        TaskCase{"NotJson", "Service Unavailable", false, "", "earlier"}),
    [](const ::testing::TestParamInfo<TaskCase>& info) { return std::string(info.param.name); });

TEST_F(Upload, TaskTransferFailurePrintsNothing) {
  useFile("12345");
  std::string uploadId;
  EXPECT_FALSE(captured([&] { return createTask(uploadId); }));
  EXPECT_EQ(printed, "");
  EXPECT_EQ(uploadId, "");
}

// ============================================================================
// Part URL
// ============================================================================

TEST_F(Upload, PartUrlBodyNamesTaskAndPartNumber) {
  network.thenRespond(signedUrlBody(blobUrl(3)));
  std::string url;
  EXPECT_TRUE(captured([&] { return partUrl("T", 3, url); }));
  EXPECT_EQ(url, blobUrl(3));
  ASSERT_EQ(network.attempts().size(), 1u);
  const auto& sent = network.attempts()[0];
  EXPECT_EQ(sent.method, "POST");
  EXPECT_EQ(sent.url, kPartUrl);
  EXPECT_EQ(sent.postFields, R"({"id":"T","partNum":3})");
  EXPECT_THAT(sent.headerLines,
              ElementsAre("Authorization:Bearer tok", "Content-Type: application/json"));
  // The part URL's response is neither converted nor printed.
  EXPECT_EQ(printed, "");
}

TEST_F(Upload, PartUrlBodyEscapesTheTaskId) {
  network.thenRespond(signedUrlBody(blobUrl(1)));
  std::string url;
  captured([&] { return partUrl("a\"b", 1, url); });
  ASSERT_EQ(network.attempts().size(), 1u);
  EXPECT_EQ(network.attempts()[0].postFields, R"({"id":"a\"b","partNum":1})");
}

TEST_F(Upload, PartUrlIsTakenAsItArrivedWithoutConversion) {
  const std::string raw = "https://blob.test/\xF0\x9F\x98\x80?sig=s";
  network.thenRespond(signedUrlBody(raw));
  std::string url;
  EXPECT_TRUE(captured([&] { return partUrl("T", 1, url); }));
  EXPECT_EQ(url, raw);
}

TEST_F(Upload, PartUrlDataObjectFailsAndRecordsNothing) {
  uploader.errorMessage = "earlier";
  network.thenRespond(R"({"data":{"url":"https://blob.test/x"}})");
  std::string url = "before";
  EXPECT_FALSE(captured([&] { return partUrl("T", 1, url); }));
  EXPECT_EQ(url, "before");
  EXPECT_EQ(uploader.errorMessage, "earlier");
}

TEST_F(Upload, PartUrlErrorEnvelopeRecordsTheMessage) {
  network.thenRespond(R"({"code":403,"message":"task expired","data":"https://blob.test/x"})");
  std::string url = "before";
  EXPECT_FALSE(captured([&] { return partUrl("T", 1, url); }));
  EXPECT_EQ(url, "before");
  EXPECT_EQ(uploader.errorMessage, "task expired");
}

TEST_F(Upload, PartUrlWithStringCodeIsJudgedByItsData) {
  network.thenRespond(R"({"code":"200","data":"https://blob.test/x"})");
  std::string url;
  EXPECT_TRUE(captured([&] { return partUrl("T", 1, url); }));
  EXPECT_EQ(url, "https://blob.test/x");
}

TEST_F(Upload, TwoPartUrlCallsMakeTwoRequests) {
  network.thenRespond(signedUrlBody(blobUrl(1)));
  network.thenRespond(signedUrlBody(blobUrl(1) + "&again"));
  std::string first;
  std::string second;
  captured([&] { return partUrl("T", 1, first); });
  captured([&] { return partUrl("T", 1, second); });
  EXPECT_EQ(network.attempts().size(), 2u);
  EXPECT_NE(first, second);
}

// ============================================================================
// Part transfer
// ============================================================================

class PartTransfer : public Upload {
 protected:
  void SetUp() override {
    Upload::SetUp();
    content = useFile(patternBytes(1000, 7));
    file = std::make_unique<ReadOnlyFile>(uploader.localfile);
    ASSERT_TRUE(file->isOpen());
  }
  std::string content;
  std::unique_ptr<ReadOnlyFile> file;
};

TEST_F(PartTransfer, PutSendsTheWindowToTheSignedUrlWithoutHeaders) {
  BodySource part(*file, 100, 300);
  network.thenRespond("");
  HttpResponse sent = putPart(blobUrl(2), part);
  EXPECT_EQ(sent.result, CURLE_OK);
  ASSERT_EQ(network.attempts().size(), 1u);
  const auto& put = network.attempts()[0];
  EXPECT_EQ(put.method, "PUT");
  EXPECT_EQ(put.url, blobUrl(2));
  EXPECT_FALSE(put.hadHeaderList);
  EXPECT_TRUE(put.failOnHttpError);
  EXPECT_EQ(put.postFields, "");
  EXPECT_EQ(put.uploaded, content.substr(100, 300));
}

TEST_F(PartTransfer, ThePutNeverWaitsForContinueAndKeepsItsAnswerWhole) {
  BodySource part(*file, 0, 10);
  HttpRequest put = uploader.partPutRequest(blobUrl(1), part);
  EXPECT_FALSE(put.expectContinue);
  EXPECT_TRUE(put.captureBody);
  EXPECT_TRUE(put.rawBody);
  EXPECT_FALSE(put.captureHeaders);
  EXPECT_TRUE(put.defaultHttps);
  EXPECT_TRUE(put.failOnHttpError);
  // An endless answer is a failed attempt, retried; a refused URL is
  // handed back for a new one.
  EXPECT_FALSE(put.oversizeIsFinal);
  EXPECT_TRUE(put.endOnRefusal);
  EXPECT_FALSE(put.gatewayPagesAreFailures);
  uploader.parallelparts = 4;
  EXPECT_FALSE(uploader.partPutRequest(blobUrl(1), part).expectContinue);
}

TEST_F(PartTransfer, PutFailingOnceResendsThePartWhole) {
  BodySource part(*file, 250, 500);
  network.thenFail(CURLE_HTTP_RETURNED_ERROR, 120);
  network.thenRespond("");
  EXPECT_EQ(putPart(blobUrl(1), part).result, CURLE_OK);
  ASSERT_EQ(network.attempts().size(), 2u);
  EXPECT_EQ(network.attempts()[0].uploaded, content.substr(250, 120));
  EXPECT_EQ(network.attempts()[1].uploaded, content.substr(250, 500));
  EXPECT_TRUE(network.attempts()[1].failOnHttpError);
}

TEST_F(PartTransfer, ARefusedUrlEndsThePutAtOnce) {
  BodySource part(*file, 0, 300);
  network.thenRefuse(403);
  HttpResponse sent = putPart(blobUrl(1), part);
  EXPECT_EQ(sent.outcome, RequestOutcome::kRefused);
  EXPECT_EQ(sent.status, 403);
  EXPECT_EQ(network.attempts().size(), 1u);
}

// ============================================================================
// Part upload
// ============================================================================

TEST_F(Upload, TwoAndAHalfMebibytesGoInThreeOrderedParts) {
  std::string content = useFile(patternBytes(5 * kMiB / 2, 3));
  LogCapture log;
  for (int part = 1; part <= 3; ++part) {
    network.thenRespond(signedUrlBody(blobUrl(part)));
    network.thenRespond("");
  }
  EXPECT_TRUE(captured([&] { return partData("T"); }));
  ASSERT_EQ(network.attempts().size(), 6u);
  const size_t sizes[] = {static_cast<size_t>(kMiB), static_cast<size_t>(kMiB),
                          static_cast<size_t>(kMiB / 2)};
  for (int part = 1; part <= 3; ++part) {
    const auto& ask = network.attempts()[2 * (part - 1)];
    const auto& put = network.attempts()[2 * (part - 1) + 1];
    EXPECT_EQ(ask.url, kPartUrl) << part;
    EXPECT_EQ(ask.postFields, R"({"id":"T","partNum":)" + std::to_string(part) + "}") << part;
    EXPECT_EQ(put.url, blobUrl(part)) << part;
    ASSERT_EQ(put.uploaded.size(), sizes[part - 1]) << part;
    EXPECT_TRUE(put.uploaded == content.substr((part - 1) * kMiB, sizes[part - 1]))
        << "part " << part << " carries the wrong bytes";
  }
  EXPECT_EQ(printed, "...\n");
  EXPECT_THAT(log.lines,
              Contains("upload file size: 2621440 ; part size: 1048576 ; part count: 3"));
}

TEST_F(Upload, OneByteBeyondThreePartsSendsAFourthPartOfOneByte) {
  uploader.partSize = 1000;
  std::string content = useFile(patternBytes(3001, 4));
  LogCapture log;
  for (int part = 1; part <= 4; ++part) {
    network.thenRespond(signedUrlBody(blobUrl(part)));
    network.thenRespond("");
  }
  EXPECT_TRUE(captured([&] { return partData("T"); }));
  ASSERT_EQ(network.attempts().size(), 8u);
  EXPECT_EQ(network.attempts()[7].uploaded, content.substr(3000, 1));
  EXPECT_EQ(printed, "....\n");
  EXPECT_THAT(log.lines, Contains("upload file size: 3001 ; part size: 1000 ; part count: 4"));
}

TEST_F(Upload, RefusedPartUrlSkipsOnlyThatPart) {
  uploader.partSize = 1000;
  std::string content = useFile(patternBytes(3500, 5));
  network.thenRespond(signedUrlBody(blobUrl(1)));
  network.thenRespond("");
  network.thenRespond(R"({"code":500,"message":"no url for part 2"})");
  network.thenRespond(signedUrlBody(blobUrl(3)));
  network.thenRespond("");
  network.thenRespond(signedUrlBody(blobUrl(4)));
  network.thenRespond("");
  EXPECT_FALSE(captured([&] { return partData("T"); }));
  ASSERT_EQ(network.attempts().size(), 7u);
  auto puts = attemptsTo("https://blob.test/");
  ASSERT_EQ(puts.size(), 3u);
  EXPECT_EQ(puts[0].url, blobUrl(1));
  EXPECT_EQ(puts[1].url, blobUrl(3));
  EXPECT_EQ(puts[2].url, blobUrl(4));
  EXPECT_EQ(puts[1].uploaded, content.substr(2000, 1000));
  EXPECT_EQ(puts[2].uploaded, content.substr(3000, 500));
  EXPECT_EQ(network.attempts()[5].postFields, R"({"id":"T","partNum":4})");
  EXPECT_EQ(printed, "...\n");
  EXPECT_EQ(uploader.errorMessage, "no url for part 2");
}

// A part whose attempts all failed in transfer: later parts would only fail
// the same way, so none is started.
TEST_F(Upload, APutThatSpentEveryAttemptStartsNoFurtherPart) {
  uploader.partSize = 1000;
  useFile(patternBytes(2500, 6));
  network.thenRespond(signedUrlBody(blobUrl(1)));
  for (int i = 0; i < 33; ++i) network.thenFail(CURLE_SEND_ERROR, 10);
  EXPECT_FALSE(captured([&] { return partData("T"); }));
  EXPECT_EQ(network.attempts().size(), 34u);
  EXPECT_TRUE(attemptsTo(kPartUrl).size() == 1u);
  EXPECT_EQ(printed, ".\n");
}

TEST_F(Upload, AFailedUrlRequestStartsNoFurtherPart) {
  uploader.partSize = 1000;
  useFile(patternBytes(2500, 6));
  for (int i = 0; i < 33; ++i) network.thenFail(CURLE_COULDNT_CONNECT);
  EXPECT_FALSE(captured([&] { return partData("T"); }));
  EXPECT_EQ(network.attempts().size(), 33u);
  EXPECT_EQ(printed, "\n");
}

TEST_F(Upload, ARefusedPutAsksForANewUrlAtMostThreeTimes) {
  uploader.partSize = 1000;
  std::string content = useFile(patternBytes(1500, 6));
  LogCapture log;
  network.thenRespond(signedUrlBody(blobUrl(1)));
  network.thenRefuse(403);
  network.thenRespond(signedUrlBody(blobUrl(1) + "&fresh"));
  network.thenRespond("");
  network.thenRespond(signedUrlBody(blobUrl(2)));
  for (int i = 0; i < 3; ++i) {
    network.thenRefuse(401);
    network.thenRespond(signedUrlBody(blobUrl(2) + "&fresh" + std::to_string(i)));
  }
  // The third new URL is refused too: it is retried like any failed attempt.
  network.thenRefuse(403);
  network.thenRespond("");
  EXPECT_TRUE(captured([&] { return partData("T"); }));
  ASSERT_EQ(attemptsTo(kPartUrl).size(), 6u);
  auto fresh = attemptsTo(blobUrl(1) + "&fresh");
  ASSERT_EQ(fresh.size(), 1u);
  EXPECT_EQ(fresh[0].uploaded, content.substr(0, 1000));
  EXPECT_EQ(attemptsTo(blobUrl(2) + "&fresh2").size(), 2u);
  // One mark per part.
  EXPECT_EQ(printed, "..\n");
  EXPECT_THAT(log.lines, Contains("part 1: the signed URL was refused (HTTP 403); asking for a new one"));
}

TEST_F(Upload, ThePutsAnswerGoesToStandardOutputBeforeItsMark) {
  useFile(patternBytes(1500, 6));
  network.thenRespond(signedUrlBody(blobUrl(1)));
  network.thenRespond(std::string("ok\0ok", 5));
  network.thenRespond(signedUrlBody(blobUrl(2)));
  network.thenRespond("");
  uploader.partSize = 1000;
  EXPECT_TRUE(captured([&] { return partData("T"); }));
  EXPECT_EQ(printed, std::string("ok\0ok..\n", 8));
}

TEST_F(Upload, RetriedPartStartsAgainAtItsOwnOffset) {
  uploader.partSize = 1000;
  std::string content = useFile(patternBytes(2500, 8));
  network.thenRespond(signedUrlBody(blobUrl(1)));
  network.thenRespond("");
  network.thenRespond(signedUrlBody(blobUrl(2)));
  network.thenFail(CURLE_HTTP_RETURNED_ERROR, 700);
  network.thenRespond("");
  network.thenRespond(signedUrlBody(blobUrl(3)));
  network.thenRespond("");
  EXPECT_TRUE(captured([&] { return partData("T"); }));
  auto part2 = attemptsTo(blobUrl(2));
  ASSERT_EQ(part2.size(), 2u);
  EXPECT_EQ(part2[0].uploaded, content.substr(1000, 700));
  EXPECT_EQ(part2[1].uploaded, content.substr(1000, 1000));
  EXPECT_EQ(printed, "...\n");
}

// Answers like libcurl does: a read callback that aborts fails the transfer.
ScriptedTransfers::Step putAsLibcurlWould(ScriptedTransfers& network) {
  return [&network](Transfer& transfer) {
    network.drain(transfer);
    char probe[16];
    if (transfer.upload && readRequestBody(probe, 1, sizeof probe, transfer.upload) ==
                               CURL_READFUNC_ABORT) {
      return CURLE_ABORTED_BY_CALLBACK;
    }
    return CURLE_OK;
  };
}

TEST_F(Upload, PartCutShortByAShrunkenFileIsNotCountedAsSent) {
  uploader.partSize = 1000;
  std::string content = useFile(patternBytes(2500, 9));
  network.thenRespond(signedUrlBody(blobUrl(1)));
  network.then([this](Transfer& transfer) {
    network.drain(transfer);
    std::filesystem::resize_file(uploader.localfile, 1500);  // shrinks mid-upload
    return CURLE_OK;
  });
  network.thenRespond(signedUrlBody(blobUrl(2)));
  for (int i = 0; i < 33; ++i) network.then(putAsLibcurlWould(network));
  network.thenRespond(signedUrlBody(blobUrl(3)));
  for (int i = 0; i < 33; ++i) network.then(putAsLibcurlWould(network));
  EXPECT_FALSE(captured([&] { return partData("T"); }));
  // The shrunk file ends the upload at once: no retry of part 2, no part 3.
  auto part2 = attemptsTo(blobUrl(2));
  ASSERT_EQ(part2.size(), 1u);
  EXPECT_EQ(part2[0].uploaded, content.substr(1000, 500));
  EXPECT_EQ(network.attempts().size(), 4u);
  EXPECT_EQ(printed, "..\n");
}

TEST_F(Upload, EmptyFileHasNoPartButEndsTheLine) {
  useFile("");
  LogCapture log;
  EXPECT_TRUE(captured([&] { return partData("T"); }));
  EXPECT_TRUE(network.attempts().empty());
  EXPECT_EQ(printed, "\n");
  EXPECT_THAT(log.lines, Contains("upload file size: 0 ; part size: 1048576 ; part count: 0"));
}

// ============================================================================
// Task merge
// ============================================================================

TEST_F(Upload, MergeBodyNamesTaskAndParent) {
  network.thenRespond(kItemBody);
  EXPECT_TRUE(captured([&] { return uploader.mergeUploadTask("T-9"); }));
  ASSERT_EQ(network.attempts().size(), 1u);
  const auto& sent = network.attempts()[0];
  EXPECT_EQ(sent.method, "POST");
  EXPECT_EQ(sent.url, kMergeUrl);
  EXPECT_EQ(sent.postFields, R"({"id":"T-9","parentId":"p1"})");
  EXPECT_THAT(sent.headerLines,
              ElementsAre("Authorization:Bearer tok", "Content-Type: application/json"));
  EXPECT_EQ(uploader.fileItemId, "f1");
  EXPECT_EQ(uploader.fileItemName, "n1");
}

TEST_F(Upload, MergeDumpsAndLogsTheFileItem) {
  LogCapture log;
  network.thenRespond(kItemBody, "HTTP/1.1 200 OK\r\n\r\n");
  captured([&] { return uploader.mergeUploadTask("T"); });
  EXPECT_EQ(printed, std::string("mergeUploadTask CURLOPT_WRITEFUNCTION out:\n") + kItemBody +
                         "\nmergeUploadTask CURLOPT_HEADERFUNCTION out:\nHTTP/1.1 200 OK\r\n\r\n\n");
  EXPECT_THAT(log.lines, Contains("fileItemId:f1"));
  EXPECT_THAT(log.lines, Contains("fileItemName:n1"));
}

TEST_F(Upload, MergeTransferFailurePrintsAndLogsNothing) {
  LogCapture log;
  EXPECT_FALSE(captured([&] { return uploader.mergeUploadTask("T"); }));
  EXPECT_EQ(printed, "");
  EXPECT_THAT(log.lines, Not(Contains(StartsWith("fileItemId:"))));
}

class MergeJudging : public Upload, public ::testing::WithParamInterface<ItemCase> {};

TEST_P(MergeJudging, ResponseDecidesTheOutcome) {
  uploader.errorMessage = "earlier";
  network.thenRespond(GetParam().body);
  EXPECT_EQ(captured([&] { return uploader.mergeUploadTask("T"); }), GetParam().accepted);
  EXPECT_EQ(uploader.fileItemId, GetParam().fileItemId);
  EXPECT_EQ(uploader.fileItemName, GetParam().fileItemName);
  EXPECT_EQ(uploader.errorMessage, GetParam().errorMessage);
}

INSTANTIATE_TEST_SUITE_P(Bodies, MergeJudging, ::testing::ValuesIn(itemCases()),
                         [](const ::testing::TestParamInfo<ItemCase>& info) {
                           return std::string(info.param.name);
                         });

// ============================================================================
// The driver and the result file
// ============================================================================

class Driver : public Upload {
 protected:
  bool runCaptured() { return captured([&] { return uploader.run(); }); }
  std::string result() { return readWholeFile(uploader.output).value_or("<no result file>"); }

  // Queues every answer of a multipart upload of `parts` parts that succeeds.
  void scriptMultipart(int parts, const std::string& mergeBody = kItemBody) {
    network.thenRespond(kTokenBody);
    network.thenRespond(R"({"data":{"id":"T-1"}})");
    for (int part = 1; part <= parts; ++part) {
      network.thenRespond(signedUrlBody(blobUrl(part)));
      network.thenRespond("");
    }
    network.thenRespond(mergeBody);
  }
};

// A stop raised while a part is sent (what the signal and console handlers
// do): nothing more is sent, no merge, and the result says so.
TEST_F(Driver, AStopDuringThePartsEndsTheRunAsCancelledWithoutAMerge) {
  uploader.partSize = 1000;
  useFile(patternBytes(3500, 2));
  LogCapture log;
  network.thenRespond(kTokenBody);
  network.thenRespond(R"({"data":{"id":"T-1"}})");
  network.thenRespond(signedUrlBody(blobUrl(1)));
  network.then([this](Transfer& transfer) {
    network.drain(transfer);
    scripted.controls.stop.raise(15);
    return CURLE_OK;
  });
  EXPECT_TRUE(runCaptured());
  EXPECT_EQ(result(), R"({"code":"failed","message":"upload cancelled!","data":{"fileitemid":"",)"
                      R"("fileitemname":""}})");
  EXPECT_EQ(network.attempts().size(), 4u);
  EXPECT_THAT(log.lines, Contains("upload cancelled by " + stopCauseText(15)));
}

// A merge that went out whole and got no answer, sent again and answered
// "task not found": the first may have stored the file. The run fails with
// the merge's message and says so, and the journal keeps the task, also a
// continued one, so that the caller can tell.
TEST_F(Driver, AMergeRefusedAfterAnUnansweredOneSaysTheFileMayBeStoredAndKeepsTheJournal) {
  uploader.partSize = 8;
  useFile("123456789");
  LockedFile::OpenStatus status;
  std::string reason;
  scripted.context.journal = ResumeJournal::open(dir.file("j.journal"), status, reason);
  ASSERT_TRUE(scripted.context.journal) << reason;
  // A first run whose merge is refused keeps its new task in the journal.
  scriptMultipart(2, R"({"code":400,"message":"busy"})");
  runCaptured();
  ASSERT_EQ(scripted.context.journal->read().upload->task, "T-1");
  // The next run continues it: every part is stored, so only the merge goes.
  LogCapture log;
  network.thenRespond(kTokenBody);
  network.then([this](Transfer& transfer) {
    network.drain(transfer);
    return CURLE_GOT_NOTHING;
  });
  network.thenRespond(R"({"code":404,"message":"task not found"})");
  runCaptured();
  EXPECT_EQ(attemptsTo(kMergeUrl).size(), 3u);
  EXPECT_EQ(result(), R"({"code":"failed","message":"mergeUploadTask failed!","data":)"
                      R"({"fileitemid":"","fileitemname":""}})");
  EXPECT_THAT(log.lines, Contains("the first merge attempt got no answer; the service may have "
                                  "stored the file"));
  auto kept = scripted.context.journal->read().upload;
  ASSERT_TRUE(kept.has_value());
  EXPECT_EQ(kept->task, "T-1");
}

TEST_F(Driver, FileOfExactlyOnePartTakesTheDirectPath) {
  uploader.partSize = 8;
  std::string content = useFile("12345678");
  network.thenRespond(kTokenBody);
  network.thenRespond(kItemBody);
  EXPECT_TRUE(runCaptured());
  ASSERT_EQ(network.attempts().size(), 2u);
  EXPECT_EQ(network.attempts()[0].url, kTokenUrl);
  EXPECT_EQ(network.attempts()[1].url, std::string(kDirectUrl) + "?name=a.txt&parentId=p1&length=8");
  EXPECT_EQ(network.attempts()[1].uploaded, content);
  EXPECT_EQ(network.attempts()[1].headerLines[0], "Authorization:Bearer tok-run");
  EXPECT_EQ(result(),
            R"({"code":"success","message":"","data":{"fileitemid":"f1","fileitemname":"n1"}})");
}

TEST_F(Driver, EmptyFileTakesTheDirectPath) {
  uploader.partSize = 8;
  useFile("");
  network.thenRespond(kTokenBody);
  network.thenRespond(kItemBody);
  EXPECT_TRUE(runCaptured());
  ASSERT_EQ(network.attempts().size(), 2u);
  EXPECT_THAT(network.attempts()[1].url, StartsWith(kDirectUrl));
  EXPECT_THAT(network.attempts()[1].url, HasSubstr("&length=0"));
}

TEST_F(Driver, OneByteMoreTakesTheMultipartPathWithOneToken) {
  uploader.partSize = 8;
  std::string content = useFile("123456789");
  scriptMultipart(2);
  EXPECT_TRUE(runCaptured());
  ASSERT_EQ(network.attempts().size(), 7u);
  EXPECT_EQ(network.attempts()[1].url, kTaskUrl);
  EXPECT_EQ(network.attempts()[1].postFields,
            R"({"name":"a.txt","parentId":"p1","parentPath":"/test/","length":9})");
  EXPECT_EQ(network.attempts()[3].uploaded, "12345678");
  EXPECT_EQ(network.attempts()[5].uploaded, "9");
  EXPECT_EQ(network.attempts()[6].url, kMergeUrl);
  EXPECT_EQ(network.attempts()[6].postFields, R"({"id":"T-1","parentId":"p1"})");
  EXPECT_EQ(attemptsTo(kTokenUrl).size(), 1u);
  EXPECT_TRUE(attemptsTo(kDirectUrl).empty());
  EXPECT_THAT(printed, HasSubstr("..\n"));
  EXPECT_EQ(result(),
            R"({"code":"success","message":"","data":{"fileitemid":"f1","fileitemname":"n1"}})");
}

TEST_F(Driver, RunAsksForAFreshTokenEvenWhenOneIsHeld) {
  uploader.partSize = 8;
  useFile("1234");
  uploader.accessToken = "stale";
  uploader.accessTokenExpiry = env.ticks + 3600 * kTicks;
  network.thenRespond(kTokenBody);
  network.thenRespond(kItemBody);
  EXPECT_TRUE(runCaptured());
  ASSERT_EQ(network.attempts().size(), 2u);
  EXPECT_EQ(network.attempts()[0].url, kTokenUrl);
  EXPECT_EQ(network.attempts()[1].headerLines[0], "Authorization:Bearer tok-run");
}

TEST_F(Driver, FailedDirectUploadWritesTheFailedResult) {
  uploader.partSize = 8;
  useFile("1234");
  network.thenRespond(kTokenBody);
  network.thenRespond(R"({"code":413,"message":"quota exceeded"})");
  EXPECT_TRUE(runCaptured());
  EXPECT_EQ(uploader.errorMessage, "uploadOnePartData failed!");
  EXPECT_EQ(result(),
            R"({"code":"failed","message":"uploadOnePartData failed!","data":{"fileitemid":"","fileitemname":""}})");
}

TEST_F(Driver, FailedTaskCreationStopsTheMultipartUpload) {
  uploader.partSize = 8;
  useFile("123456789");
  network.thenRespond(kTokenBody);
  network.thenRespond(R"({"code":500,"message":"no task"})");
  EXPECT_TRUE(runCaptured());
  EXPECT_EQ(network.attempts().size(), 2u);
  EXPECT_TRUE(attemptsTo(kPartUrl).empty());
  EXPECT_EQ(result(),
            R"({"code":"failed","message":"createUploadTask failed!","data":{"fileitemid":"","fileitemname":""}})");
}

TEST_F(Driver, FailedPartSendsTheOthersButNoMerge) {
  uploader.partSize = 8;
  useFile("123456789");
  network.thenRespond(kTokenBody);
  network.thenRespond(R"({"data":{"id":"T-1"}})");
  network.thenRespond(R"({"code":500,"message":"no url"})");
  network.thenRespond(signedUrlBody(blobUrl(2)));
  network.thenRespond("");
  network.thenRespond(kItemBody);  // must never be asked for
  EXPECT_TRUE(runCaptured());
  EXPECT_EQ(network.attempts().size(), 5u);
  EXPECT_TRUE(attemptsTo(kMergeUrl).empty());
  EXPECT_EQ(attemptsTo(blobUrl(2)).size(), 1u);
  EXPECT_THAT(printed, HasSubstr(".\n"));
  EXPECT_THAT(printed, Not(HasSubstr("..")));
  EXPECT_EQ(result(),
            R"({"code":"failed","message":"uploadPartData failed!","data":{"fileitemid":"","fileitemname":""}})");
}

TEST_F(Driver, FailedMergeNamesTheMerge) {
  uploader.partSize = 8;
  useFile("123456789");
  scriptMultipart(2, R"({"data":{"status":"failed","fileItemId":"f1"}})");
  EXPECT_TRUE(runCaptured());
  EXPECT_EQ(result(),
            R"({"code":"failed","message":"mergeUploadTask failed!","data":{"fileitemid":"","fileitemname":""}})");
}

TEST_F(Driver, MergeErrorMessageIsReplacedByTheStepName) {
  uploader.partSize = 8;
  useFile("123456789");
  scriptMultipart(2, R"({"code":1,"message":"parts missing"})");
  EXPECT_TRUE(runCaptured());
  EXPECT_EQ(uploader.errorMessage, "mergeUploadTask failed!");
}

TEST_F(Driver, LoadWarningSurvivesASuccessfulUpload) {
  uploader.partSize = 8;
  useFile("1234");
  uploader.errorMessage = "account url is empty!";
  network.thenRespond(kTokenBody);
  network.thenRespond(kItemBody);
  EXPECT_TRUE(runCaptured());
  EXPECT_EQ(result(),
            R"({"code":"success","message":"account url is empty!","data":{"fileitemid":"f1","fileitemname":"n1"}})");
}

TEST_F(Driver, MessageWithQuoteAndLineBreakIsEscaped) {
  uploader.partSize = 8;
  useFile("1234");
  uploader.errorMessage = "say \"no\"\nthen\tstop";
  network.thenRespond(kTokenBody);
  network.thenRespond(kItemBody);
  EXPECT_TRUE(runCaptured());
  EXPECT_EQ(result(),
            R"({"code":"success","message":"say \"no\"\nthen\tstop","data":{"fileitemid":"f1","fileitemname":"n1"}})");
}

TEST_F(Driver, UnwritableOutputMakesRunFail) {
  uploader.partSize = 8;
  useFile("1234");
  uploader.output = dir.file("no-such-dir/result.json");
  LogCapture log;
  network.thenRespond(kTokenBody);
  network.thenRespond(kItemBody);
  EXPECT_FALSE(runCaptured());
  EXPECT_THAT(log.lines, Contains("output result failed!"));
  EXPECT_FALSE(std::filesystem::exists(uploader.output));
}

TEST_F(Driver, EmptyOutputPathMakesRunFail) {
  uploader.partSize = 8;
  useFile("1234");
  uploader.output = "";
  network.thenRespond(kTokenBody);
  network.thenRespond(kItemBody);
  EXPECT_FALSE(runCaptured());
}

TEST_F(Driver, ElapsedTimeIsLoggedInWholeSeconds) {
  uploader.partSize = 8;
  useFile("1234");
  LogCapture log;
  network.thenRespond(kTokenBody);
  network.then([this](Transfer& transfer) {
    env.ticks += 99'900'000;  // 9.99 seconds
    network.drain(transfer);
    ScriptedTransfers::deliver(kItemBody, transfer.body);
    return CURLE_OK;
  });
  EXPECT_TRUE(runCaptured());
  EXPECT_THAT(log.lines, Contains("upload " + uploader.localfile + " spend time: 9 seconds."));
}

// The system clock set an hour back during the run (time synchronisation
// correcting a PC) leaves the elapsed time as it was.
TEST_F(Driver, ElapsedTimeIgnoresTheSystemClockBeingSet) {
  uploader.partSize = 8;
  useFile("1234");
  LogCapture log;
  network.thenRespond(kTokenBody);
  network.then([this](Transfer& transfer) {
    env.ticks += 50'000'000;  // 5 seconds
    env.wallShiftTicks = -3600 * kTicksPerSecond;
    network.drain(transfer);
    ScriptedTransfers::deliver(kItemBody, transfer.body);
    return CURLE_OK;
  });
  EXPECT_TRUE(runCaptured());
  EXPECT_THAT(log.lines, Contains("upload " + uploader.localfile + " spend time: 5 seconds."));
}

TEST_F(Driver, VanishedLocalFileTakesTheDirectPathAndFails) {
  uploader.partSize = 8;
  uploader.localfile = dir.file("vanished.bin");
  EXPECT_TRUE(runCaptured());
  EXPECT_TRUE(network.attempts().empty());
  EXPECT_EQ(result(),
            R"({"code":"failed","message":"uploadOnePartData failed!","data":{"fileitemid":"","fileitemname":""}})");
}

// ---- Result file helpers ----------------------------------------------------

TEST(ResultDocument, IsCompactWithMembersInOrder) {
  EXPECT_EQ(buildResultDocument(true, "", "", ""),
            R"({"code":"success","message":"","data":{"fileitemid":"","fileitemname":""}})");
  EXPECT_EQ(buildResultDocument(false, "m", "i", "n"),
            R"({"code":"failed","message":"m","data":{"fileitemid":"i","fileitemname":"n"}})");
}

TEST(ResultDocument, EscapesWhatJsonRequiresAndKeepsOtherBytes) {
  EXPECT_EQ(buildResultDocument(false, "a\\b\x01", "\xB1\xA8\xB8\xE6", "q\"r"),
            "{\"code\":\"failed\",\"message\":\"a\\\\b\\u0001\",\"data\":{\"fileitemid\":"
            "\"\xB1\xA8\xB8\xE6\",\"fileitemname\":\"q\\\"r\"}}");
}

TEST(ResultDocument, TextsEndAtTheirFirstNul) {
  EXPECT_EQ(buildResultDocument(true, std::string("ab\0cd", 5), std::string("i\0x", 3), ""),
            R"({"code":"success","message":"ab","data":{"fileitemid":"i","fileitemname":""}})");
}

TEST(ResultFile, WritesExactBytesWithoutLineEndOrSaysWhyNot) {
  ScratchDir dir;
  std::string path = dir.file("r.json");
  std::string reason;
  ASSERT_TRUE(writeTextFile(path, "{\"a\":1}", reason));
  EXPECT_EQ(readWholeFile(path), std::optional<std::string>("{\"a\":1}"));
  EXPECT_FALSE(writeTextFile(dir.file("missing") + kPathSeparator + "r.json", "x", reason));
  EXPECT_EQ(reason, "No such file or directory");
  EXPECT_FALSE(writeTextFile(path + kPathSeparator + "r.json", "x", reason));
  EXPECT_EQ(reason, "Not a directory");
  EXPECT_FALSE(writeTextFile("", "x", reason));
}

TEST(ResultFile, ANameAtTheLengthLimitIsWritten) {
  ScratchDir dir;
  std::string path = dir.file(std::string(250, 'r'));
  std::string reason;
  EXPECT_TRUE(writeTextFile(path, "x", reason)) << reason;
  EXPECT_EQ(readWholeFile(path), std::optional<std::string>("x"));
}

// The probe of a result's place goes as far as the write: to the result's
// own name, which it leaves free; and the temporary file a killed run left
// beside it is gone afterwards.
TEST(ResultFile, TheProbeTriesTheNameItselfAndClearsALeftover) {
  ScratchDir dir;
  std::string reason;
  EXPECT_FALSE(canReplaceFile(dir.file(std::string(300, 'r')), reason));
  const std::string path = dir.write("result.json", "earlier");
  const std::string leftover = temporaryNameFor(path);
  dir.write(leftover.substr(leftover.rfind(kPathSeparator) + 1), "half a result");
  EXPECT_TRUE(canReplaceFile(path, reason)) << reason;
  EXPECT_FALSE(readWholeFile(path).has_value());
  EXPECT_FALSE(readWholeFile(leftover).has_value());
}

TEST(FileSize, IsZeroForAMissingFile) {
  ScratchDir dir;
  EXPECT_EQ(getFileSize(dir.file("missing")), 0u);
  EXPECT_EQ(getFileSize(dir.write("f", std::string(4097, 'x'))), 4097u);
}

}  // namespace
}  // namespace corvane
