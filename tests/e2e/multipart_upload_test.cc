#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "e2e_harness.h"

namespace corvane::e2e {
namespace {

using ::testing::ElementsAreArray;
using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr uint64_t kPart = 1048576;  // "partsize": 1 in the configuration
const std::string kTaskDumpLabel = "createUploadTask CURLOPT_WRITEFUNCTION out:\n";
const std::string kTaskHeadersLabel = "createUploadTask CURLOPT_HEADERFUNCTION out:\n";
const std::string kMergeDumpLabel = "mergeUploadTask CURLOPT_WRITEFUNCTION out:\n";

std::string failedResult(const std::string& message) {
  return R"({"code":"failed","message":")" + message +
         R"(","data":{"fileitemid":"","fileitemname":""}})";
}

// The task id as the store handed it out, read from the task creation's dump.
std::string taskIdOf(const std::string& out) {
  size_t start = out.find(kTaskDumpLabel);
  if (start == std::string::npos) return {};
  start += kTaskDumpLabel.size();
  rapidjson::Document body;
  body.Parse(out.substr(start, out.find('\n', start) - start).c_str());
  if (!body.IsObject() || !body.HasMember("data")) return {};
  return stringAt(body["data"], "id");
}

// What stdout holds between the end of the task creation's header dump and
// the merge's first label, or the end of stdout when no merge was dumped:
// the part marks and their line end, and nothing else.
std::string partMarksOf(const std::string& out) {
  size_t label = out.find(kTaskHeadersLabel);
  if (label == std::string::npos) return "<no task creation dump>";
  size_t headersEnd = out.find("\r\n\r\n", label);
  if (headersEnd == std::string::npos) return "<task creation headers unterminated>";
  size_t from = headersEnd + 4;
  if (from >= out.size() || out[from] != '\n') return "<no line end after the header dump>";
  ++from;
  size_t to = out.find(kMergeDumpLabel, from);
  return out.substr(from, to == std::string::npos ? std::string::npos : to - from);
}

// Beyond the harness's check: no part of a signed URL's query and no
// credential parameter either.
void expectNoCredentials(const RunResult& run) {
  expectNoSecrets(run);
  for (const char* forbidden : {"expires=", "credential="}) {
    EXPECT_THAT(run.err, Not(HasSubstr(forbidden)));
    EXPECT_THAT(run.logs, Not(HasSubstr(forbidden)));
  }
}

std::string partPath(const std::string& taskId, uint64_t part) {
  return "/storage/" + taskId + "/" + std::to_string(part);
}

class MultipartUpload : public ::testing::Test {
 protected:
  void installFaults(const std::string& rules) {
    ASSERT_THAT(store.post("/_control/faults", rules), HasSubstr("\"ok\":true"));
  }

  TempDir dir;
  LocalStore store;
};

// 2.5 MiB (last part short), exactly three parts, and three parts plus one
// byte (a fourth part of one byte), each with its own store.
TEST(MultipartUploadRuns, FilesOfSeveralPartsArriveIntactThroughOneOrderedExchange) {
  for (uint64_t size : {kPart * 5 / 2, kPart * 3, kPart * 3 + 1}) {
    SCOPED_TRACE(size);
    TempDir dir;
    LocalStore store;
    const std::string content = patternBytes(size, static_cast<unsigned>(size));
    UploadRun upload = uploadContent(dir, store, content);
    const uint64_t count = (size + kPart - 1) / kPart;

    EXPECT_EQ(upload.run.exitStatus, 0);
    const std::string id = upload.fileItemId();
    ASSERT_FALSE(id.empty()) << upload.result << "\n" << upload.run.err;
    EXPECT_EQ(upload.result, R"({"code":"success","message":"","data":{"fileitemid":")" + id +
                                 R"(","fileitemname":"sample.bin"}})");
    EXPECT_EQ(sha256Hex(store.storedBytes(id)), sha256Hex(content));

    const std::string taskId = taskIdOf(upload.run.out);
    ASSERT_FALSE(taskId.empty()) << upload.run.out;
    rapidjson::Document requests = store.requests();
    std::vector<std::string> kinds = {"storage-token", "create-task"};
    for (uint64_t part = 1; part <= count; ++part) {
      kinds.push_back("part-url");
      kinds.push_back("part-put");
    }
    kinds.push_back("merge");
    ASSERT_THAT(kindsOf(requests), ElementsAreArray(kinds));
    for (const auto& request : requests.GetArray()) {
      EXPECT_EQ(request["status"].GetInt(), 200) << stringAt(request, "kind");
    }
    EXPECT_EQ(stringAt(requests[1], "body"),
              R"({"name":"sample.bin","parentId":"4242","parentPath":"/test/","length":)" +
                  std::to_string(size) + "}");
    for (uint64_t part = 1; part <= count; ++part) {
      SCOPED_TRACE(part);
      const auto& url = requests[static_cast<rapidjson::SizeType>(2 * part)];
      const auto& put = requests[static_cast<rapidjson::SizeType>(2 * part + 1)];
      EXPECT_EQ(stringAt(url, "body"),
                R"({"id":")" + taskId + R"(","partNum":)" + std::to_string(part) + "}");
      EXPECT_EQ(stringAt(put, "path"), partPath(taskId, part));
      EXPECT_THAT(stringAt(put, "query"), HasSubstr("signature="));
      EXPECT_EQ(put["bodyBytes"].GetUint64(), part < count ? kPart : size - (count - 1) * kPart);
      EXPECT_EQ(headerOf(put, "authorization"), "");
    }
    EXPECT_EQ(stringAt(requests[requests.Size() - 1], "body"),
              R"({"id":")" + taskId + R"(","parentId":"4242"})");
    EXPECT_EQ(store.count("abort"), 0);

    EXPECT_EQ(partMarksOf(upload.run.out), std::string(count, '.') + "\n");
    EXPECT_THAT(upload.run.out, HasSubstr(kMergeDumpLabel));
    EXPECT_THAT(upload.run.logs, HasSubstr("upload file size: " + std::to_string(size) +
                                           " ; part size: 1048576 ; part count: " +
                                           std::to_string(count)));
    for (uint64_t part = 1; part <= count; ++part) {
      uint64_t bytes = part < count ? kPart : size - (count - 1) * kPart;
      EXPECT_THAT(upload.run.logs, HasSubstr("part " + std::to_string(part) + "/" +
                                             std::to_string(count) + " sent: " +
                                             std::to_string(bytes) + " bytes; "));
    }
    EXPECT_THAT(upload.run.logs, HasSubstr("fileItemId:" + id));
    EXPECT_THAT(upload.run.logs, Not(HasSubstr("connect failed")));
    expectNoCredentials(upload.run);
  }
}

TEST_F(MultipartUpload, ARefusedTaskCreationSendsNoPartAndNamesTheStep) {
  installFaults(R"([{"kind":"create-task","nth":1,"action":"status","status":400}])");
  UploadRun upload = uploadContent(dir, store, patternBytes(kPart * 2));
  EXPECT_EQ(upload.run.exitStatus, 0);
  EXPECT_EQ(upload.result, failedResult("createUploadTask failed!"));
  EXPECT_THAT(kindsOf(store.requests()), ElementsAreArray({"storage-token", "create-task"}));
  EXPECT_EQ(store.count("abort"), 0);
  EXPECT_THAT(upload.run.logs, Not(HasSubstr("part count:")));
  EXPECT_EQ(store.get("/_control/items"), "[]");
}

TEST_F(MultipartUpload, ARefusedPartUrlSkipsItsMarkSendsTheLaterPartsAndDoesNotMerge) {
  installFaults(R"([{"kind":"part-url","nth":2,"action":"status","status":403}])");
  UploadRun upload = uploadContent(dir, store, patternBytes(kPart * 5 / 2));
  EXPECT_EQ(upload.run.exitStatus, 0);
  EXPECT_EQ(upload.result, failedResult("uploadPartData failed!"));

  const std::string taskId = taskIdOf(upload.run.out);
  rapidjson::Document requests = store.requests();
  ASSERT_THAT(kindsOf(requests), ElementsAreArray({"storage-token", "create-task", "part-url",
                                                   "part-put", "part-url", "part-url", "part-put"}));
  EXPECT_EQ(requests[4]["status"].GetInt(), 403);
  EXPECT_EQ(stringAt(requests[5], "body"), R"({"id":")" + taskId + R"(","partNum":3})");
  EXPECT_EQ(stringAt(requests[3], "path"), partPath(taskId, 1));
  EXPECT_EQ(stringAt(requests[6], "path"), partPath(taskId, 3));
  EXPECT_EQ(requests[6]["bodyBytes"].GetUint64(), kPart / 2);
  EXPECT_EQ(store.count("merge"), 0);
  EXPECT_EQ(store.count("abort"), 0);

  EXPECT_EQ(partMarksOf(upload.run.out), "..\n");  // the last thing on stdout
  EXPECT_THAT(upload.run.logs, HasSubstr("part 2/3 failed: "));
  EXPECT_THAT(upload.run.logs, HasSubstr("part 3/3 sent: 524288 bytes; "));
  EXPECT_EQ(store.get("/_control/items"), "[]");
  expectNoCredentials(upload.run);
}

TEST_F(MultipartUpload, ARefusedMergeEndsInMergeFailedAfterEveryPartWasSent) {
  installFaults(R"([{"kind":"merge","nth":1,"action":"status","status":400}])");
  UploadRun upload = uploadContent(dir, store, patternBytes(kPart * 5 / 2));
  EXPECT_EQ(upload.run.exitStatus, 0);
  EXPECT_EQ(upload.result, failedResult("mergeUploadTask failed!"));
  EXPECT_EQ(store.count("part-put"), 3);
  EXPECT_EQ(store.count("merge"), 1);
  EXPECT_EQ(store.count("abort"), 0);
  EXPECT_EQ(partMarksOf(upload.run.out), "...\n");
  EXPECT_THAT(upload.run.out, HasSubstr(kMergeDumpLabel + R"({"code":400,"message":"injected fault"})"));
  EXPECT_THAT(upload.run.logs, HasSubstr("fileItemId:\n"));
  EXPECT_EQ(store.get("/_control/items"), "[]");
}

TEST_F(MultipartUpload, APutAnswered500IsSentAgainWholeAtOnce) {
  installFaults(R"([{"kind":"part-put","nth":1,"action":"status","status":500}])");
  const std::string content = patternBytes(kPart + 100, 7);
  UploadRun upload = uploadContent(dir, store, content);
  EXPECT_EQ(upload.run.exitStatus, 0);
  const std::string id = upload.fileItemId();
  ASSERT_FALSE(id.empty()) << upload.result;
  EXPECT_EQ(sha256Hex(store.storedBytes(id)), sha256Hex(content));

  rapidjson::Document requests = store.requests();
  ASSERT_THAT(kindsOf(requests),
              ElementsAreArray({"storage-token", "create-task", "part-url", "part-put", "part-put",
                                "part-url", "part-put", "merge"}));
  const auto& refused = requests[3];
  const auto& again = requests[4];
  EXPECT_EQ(refused["status"].GetInt(), 500);
  EXPECT_EQ(stringAt(refused, "fault"), "status");
  // The same signed URL, the part from its first byte to its last.
  EXPECT_EQ(stringAt(again, "path"), stringAt(refused, "path"));
  EXPECT_EQ(stringAt(again, "query"), stringAt(refused, "query"));
  EXPECT_EQ(again["status"].GetInt(), 200);
  EXPECT_EQ(again["bodyBytes"].GetUint64(), kPart);
  EXPECT_EQ(requests[6]["bodyBytes"].GetUint64(), 100u);

  // One mark per part, not per attempt, and the 500 answer's body is not printed.
  EXPECT_EQ(partMarksOf(upload.run.out), "..\n");
  // The second attempt follows the first without a pause.
  EXPECT_THAT(upload.run.logs, Not(HasSubstr("connect failed")));
}

// Waits through one real 2-second retry pause: the third attempt of a part is
// the first one preceded by a log line naming its URL.
TEST_F(MultipartUpload, AThirdAttemptOfAPartLogsItsUrlWithoutTheSignedQuery) {
  installFaults(R"([{"kind":"part-put","nth":1,"action":"status","status":500},)"
                R"({"kind":"part-put","nth":2,"action":"status","status":503}])");
  const std::string content = patternBytes(kPart + 100, 8);
  UploadRun upload = uploadContent(dir, store, content);
  EXPECT_EQ(upload.run.exitStatus, 0);
  const std::string id = upload.fileItemId();
  ASSERT_FALSE(id.empty()) << upload.result;
  EXPECT_EQ(sha256Hex(store.storedBytes(id)), sha256Hex(content));
  EXPECT_EQ(store.count("part-put"), 4);

  const std::string taskId = taskIdOf(upload.run.out);
  const std::string retryLine =
      store.baseUrl() + partPath(taskId, 1) + " connect failed!!! retry 2";
  EXPECT_THAT(upload.run.logs, HasSubstr(retryLine + "\n"));
  EXPECT_THAT(upload.run.err, HasSubstr(retryLine + "\n"));
  EXPECT_THAT(upload.run.logs, Not(HasSubstr("retry 3")));
  EXPECT_EQ(partMarksOf(upload.run.out), "..\n");
  expectNoCredentials(upload.run);
}

}  // namespace
}  // namespace corvane::e2e
