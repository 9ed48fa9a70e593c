// The stand-in's sink mode (--sink), which the benchmark relies on: bodies are
// counted and checksummed instead of stored, read in large blocks straight
// from the socket, and merges are judged by the recorded part sizes.
#include <httplib.h>
#include <xxhash.h>

#include <filesystem>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "e2e_harness.h"

namespace corvane::e2e {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;

constexpr size_t kMiB = 1024 * 1024;
const std::string kMulti = "/mdox/v1/data/projects/4242/file-items/multi-part-files";

rapidjson::Document parsed(const std::string& text) {
  rapidjson::Document doc;
  doc.Parse(text.c_str());
  return doc;
}

// Regular files left anywhere under `dir` other than task settings.
std::vector<std::string> storedFiles(const std::string& dir) {
  std::vector<std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(dir)) {
    if (entry.is_regular_file() && entry.path().filename() != "task.json") {
      files.push_back(entry.path().string());
    }
  }
  return files;
}

class SinkMode : public ::testing::Test {
 protected:
  // The document-store calls the uploader would make, done by hand.
  std::string token() {
    httplib::Client client("127.0.0.1", store.port());
    client.set_basic_auth(LocalStore::kAppKey, LocalStore::kAppSecret);
    auto res = client.Post("/oauth2/token");
    return res ? parsed(res->body)["data"]["token"].GetString() : "";
  }
  httplib::Result call(const std::string& path, const std::string& json) {
    httplib::Client client("127.0.0.1", store.port());
    client.set_bearer_token_auth(bearer.c_str());
    return client.Post(path.c_str(), json, "application/json");
  }
  std::string createTask(uint64_t length) {
    auto res = call(kMulti, R"({"name":"t.bin","parentId":"4242","parentPath":"/test/","length":)" +
                                std::to_string(length) + "}");
    return res ? parsed(res->body)["data"]["id"].GetString() : "";
  }
  // The path and query of part `n`'s signed URL.
  std::string partTarget(const std::string& task, int n) {
    auto res = call(kMulti + "/signed-url", R"({"id":")" + task + R"(","partNum":)" + std::to_string(n) + "}");
    std::string url = res ? parsed(res->body)["data"].GetString() : "";
    return url.substr(url.find("/storage/"));
  }
  rapidjson::Document sink() { return parsed(store.get("/_control/sink")); }

  TempDir dir;
  LocalStore store{{"--sink"}};
  std::string bearer = token();
};

TEST_F(SinkMode, MultipartUploadIsCheckedPartByPartAndNothingIsWritten) {
  const std::string content = patternBytes(3 * kMiB + 12345, 7);
  writeFile(dir.file("input.bin"), content);
  RunResult run = runUploader(dir, {"-cfg", writeConfig(dir, store, dir.file("input.bin"))});
  ASSERT_EQ(run.exitStatus, 0);
  EXPECT_THAT(readFile(dir.file("result.json")), HasSubstr(R"({"code":"success")"));

  rapidjson::Document got = sink();
  const auto& parts = got["parts"];
  ASSERT_EQ(parts.Size(), 4u);
  for (rapidjson::SizeType i = 0; i < parts.Size(); ++i) {
    SCOPED_TRACE(i);
    std::string slice = content.substr(i * kMiB, kMiB);
    EXPECT_EQ(parts[i]["part"].GetUint64(), i + 1);
    EXPECT_EQ(parts[i]["bytes"].GetUint64(), slice.size());
    EXPECT_EQ(std::string(parts[i]["xxh128"].GetString()), xxh128Hex(slice));
  }
  ASSERT_EQ(got["items"].Size(), 1u);
  EXPECT_EQ(std::string(got["items"][0]["kind"].GetString()), "merge");
  EXPECT_EQ(got["items"][0]["length"].GetUint64(), content.size());
  EXPECT_EQ(std::string(got["items"][0]["name"].GetString()), "sample.bin");
  EXPECT_THAT(storedFiles(store.dataDir()), ::testing::IsEmpty());
}

TEST_F(SinkMode, DirectUploadIsCheckedWhole) {
  const std::string content = patternBytes(kMiB, 3);
  writeFile(dir.file("input.bin"), content);
  RunResult run = runUploader(dir, {"-cfg", writeConfig(dir, store, dir.file("input.bin"))});
  ASSERT_EQ(run.exitStatus, 0);
  rapidjson::Document result = parsed(readFile(dir.file("result.json")));
  ASSERT_TRUE(result.IsObject());
  rapidjson::Document got = sink();
  ASSERT_EQ(got["items"].Size(), 1u);
  const auto& item = got["items"][0];
  EXPECT_EQ(std::string(item["kind"].GetString()), "direct-upload");
  EXPECT_EQ(std::string(item["id"].GetString()), result["data"]["fileitemid"].GetString());
  EXPECT_EQ(item["length"].GetUint64(), content.size());
  EXPECT_EQ(std::string(item["xxh128"].GetString()), xxh128Hex(content));
  EXPECT_THAT(storedFiles(store.dataDir()), ::testing::IsEmpty());
}

// Bodies of every size on one kept-alive connection: the large-block reading
// must leave the connection exactly at the next request, and small bodies
// (wholly inside the library's buffer) must come through as well.
TEST_F(SinkMode, KeptAliveConnectionStaysInStepAcrossBodySizes) {
  SKIP_FOR_WINDOWS_UPLOADER(kNoUploaderRun);
  const std::vector<size_t> sizes = {1, 4000, 5000, 65536 + 17, 2 * kMiB + 3};
  uint64_t total = 0;
  for (size_t size : sizes) total += size;
  std::string task = createTask(total);
  httplib::Client client("127.0.0.1", store.port());
  client.set_keep_alive(true);
  std::vector<std::string> bodies;
  for (size_t i = 0; i < sizes.size(); ++i) {
    bodies.push_back(patternBytes(sizes[i], static_cast<unsigned>(i + 11)));
    auto res = client.Put(partTarget(task, static_cast<int>(i + 1)).c_str(), bodies.back(),
                          "application/octet-stream");
    ASSERT_TRUE(res) << i;
    EXPECT_EQ(res->status, 200) << i;
  }
  rapidjson::Document got = sink();
  ASSERT_EQ(got["parts"].Size(), sizes.size());
  for (rapidjson::SizeType i = 0; i < sizes.size(); ++i) {
    EXPECT_EQ(got["parts"][i]["bytes"].GetUint64(), sizes[i]) << i;
    EXPECT_EQ(std::string(got["parts"][i]["xxh128"].GetString()), xxh128Hex(bodies[i])) << i;
  }
  // The request log counts every body byte, also those read past the library.
  rapidjson::Document requests = store.requests();
  uint64_t logged = 0;
  for (const auto& request : requests.GetArray()) {
    if (std::string(request["kind"].GetString()) == "part-put") logged += request["bodyBytes"].GetUint64();
  }
  EXPECT_EQ(logged, total);
  auto merged = call(kMulti + "/merge", R"({"id":")" + task + R"(","parentId":"4242"})");
  ASSERT_TRUE(merged);
  EXPECT_THAT(merged->body, HasSubstr(R"("status":"success")"));
}

TEST_F(SinkMode, MergeRefusesGapsAndSizesThatDoNotAddUp) {
  SKIP_FOR_WINDOWS_UPLOADER(kNoUploaderRun);
  httplib::Client client("127.0.0.1", store.port());
  std::string gappy = createTask(30);
  client.Put(partTarget(gappy, 1).c_str(), std::string(10, 'a'), "application/octet-stream");
  client.Put(partTarget(gappy, 3).c_str(), std::string(10, 'c'), "application/octet-stream");
  auto res = call(kMulti + "/merge", R"({"id":")" + gappy + R"(","parentId":"4242"})");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 400);
  EXPECT_THAT(res->body, HasSubstr("part 2 missing"));

  std::string shortTask = createTask(30);
  client.Put(partTarget(shortTask, 1).c_str(), std::string(10, 'a'), "application/octet-stream");
  res = call(kMulti + "/merge", R"({"id":")" + shortTask + R"(","parentId":"4242"})");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 400);
  EXPECT_THAT(res->body, HasSubstr("length mismatch: parts hold 10 bytes, task expects 30"));

  std::string empty = createTask(5);
  res = call(kMulti + "/merge", R"({"id":")" + empty + R"(","parentId":"4242"})");
  ASSERT_TRUE(res);
  EXPECT_THAT(res->body, HasSubstr("no parts uploaded"));
  EXPECT_EQ(sink()["items"].Size(), 0u);
}

TEST(SinkModeOff, HasNoSinkEndpoint) {
  SKIP_FOR_WINDOWS_UPLOADER(kNoUploaderRun);
  LocalStore store;
  httplib::Client client("127.0.0.1", store.port());
  auto res = client.Get("/_control/sink");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 404);
  EXPECT_EQ(store.count("other"), 1);  // it went to the catch-all, as before
}

}  // namespace
}  // namespace corvane::e2e
