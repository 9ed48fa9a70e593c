#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "e2e_harness.h"

namespace corvane::e2e {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

struct Uploaded {
  RunResult run;
  std::string result;
  rapidjson::Document resultJson;
};

Uploaded upload(const TempDir& dir, const LocalStore& store, const std::string& content,
                const std::map<std::string, std::string>& overrides = {}) {
  writeFile(dir.file("input.bin"), content);
  Uploaded uploaded;
  uploaded.run = runUploader(dir, {"-cfg", writeConfig(dir, store, dir.file("input.bin"), overrides)});
  uploaded.result = readFile(dir.file("result.json"));
  uploaded.resultJson.Parse(uploaded.result.c_str());
  return uploaded;
}

std::string fileItemIdOf(const Uploaded& uploaded) {
  if (!uploaded.resultJson.IsObject()) return {};
  return uploaded.resultJson["data"]["fileitemid"].GetString();
}

class DirectUpload : public ::testing::Test {
 protected:
  TempDir dir;
  LocalStore store;
};

TEST_F(DirectUpload, FilesUpToOnePartArriveIntact) {
  for (size_t size : {size_t{0}, size_t{13}, size_t{1048576}}) {
    SCOPED_TRACE(size);
    TempDir each;
    std::string content = patternBytes(size, static_cast<unsigned>(size));
    Uploaded uploaded = upload(each, store, content);
    EXPECT_EQ(uploaded.run.exitStatus, 0);
    std::string id = fileItemIdOf(uploaded);
    ASSERT_FALSE(id.empty()) << uploaded.result;
    EXPECT_EQ(sha256Hex(store.storedBytes(id)), sha256Hex(content));
    EXPECT_EQ(uploaded.result, R"({"code":"success","message":"","data":{"fileitemid":")" + id +
                                   R"(","fileitemname":"sample.bin"}})");
    EXPECT_THAT(uploaded.run.err, HasSubstr("upload file size: " + std::to_string(size)));
    EXPECT_THAT(uploaded.run.err, HasSubstr("fileItemId:" + id));
    EXPECT_THAT(uploaded.run.err, HasSubstr("fileItemName:sample.bin"));
    EXPECT_THAT(uploaded.run.err, HasSubstr(" spend time: "));
  }
  EXPECT_EQ(store.count("direct-upload"), 3);
  EXPECT_EQ(store.count("storage-token"), 3);  // one per run
  EXPECT_EQ(store.count("create-task"), 0);
}

TEST_F(DirectUpload, StdoutCarriesBothDumpsOfEachExchange) {
  Uploaded uploaded = upload(dir, store, "hello");
  const std::string& out = uploaded.run.out;
  size_t tokenBody = out.find("getCorvaneAccessToken CURLOPT_WRITEFUNCTION out:\n{");
  size_t tokenHeaders = out.find("getCorvaneAccessToken CURLOPT_HEADERFUNCTION out:\nHTTP/1.1 200");
  size_t uploadBody = out.find("uploadEntireData CURLOPT_WRITEFUNCTION out:\n{");
  size_t uploadHeaders = out.find("uploadEntireData CURLOPT_HEADERFUNCTION out:\nHTTP/1.1");
  ASSERT_NE(tokenBody, std::string::npos) << out;
  EXPECT_LT(tokenBody, tokenHeaders);
  EXPECT_LT(tokenHeaders, uploadBody);
  EXPECT_LT(uploadBody, uploadHeaders);
  EXPECT_NE(uploadHeaders, std::string::npos);
}

TEST_F(DirectUpload, AwkwardTargetNamesArriveIntact) {
  const std::string name = "a b&c=d+e \xE4\xB8\xAD\xE6\x96\x87.txt";
  Uploaded uploaded = upload(dir, store, "content", {{"targetname", name}, {"codepage", "GBK"}});
  ASSERT_EQ(uploaded.run.exitStatus, 0);
  rapidjson::Document items;
  items.Parse(store.get("/_control/items").c_str());
  ASSERT_TRUE(items.IsArray() && items.Size() == 1) << store.get("/_control/items");
  EXPECT_EQ(std::string(items[0]["name"].GetString()), name);
  // The name in the result file is the store's answer in the local code page.
  EXPECT_THAT(uploaded.result, HasSubstr("a b&c=d+e \xD6\xD0\xCE\xC4.txt"));
  // Where the local code page is UTF-8, the platform's own here, it stays so.
  Uploaded native = upload(dir, store, "content", {{"targetname", name}});
  ASSERT_EQ(native.run.exitStatus, 0);
  EXPECT_THAT(native.result, HasSubstr(name));
  EXPECT_THAT(native.run.out, HasSubstr(name));
}

TEST_F(DirectUpload, AnErrorEnvelopeEndsInTheDriversMessage) {
  store.post("/_control/faults",
             R"([{"kind":"direct-upload","nth":0,"action":"body","status":403,)"
             R"("body":"{\"code\":403,\"message\":\"no permission\"}"}])");
  Uploaded uploaded = upload(dir, store, "hello");
  EXPECT_EQ(uploaded.run.exitStatus, 0);
  EXPECT_EQ(uploaded.result,
            R"({"code":"failed","message":"uploadOnePartData failed!","data":{"fileitemid":"","fileitemname":""}})");
}

TEST_F(DirectUpload, AWrongSecretIsRefusedAndNothingIsStored) {
  Uploaded uploaded = upload(dir, store, "hello", {{"appsecret", "wrong"}});
  EXPECT_EQ(uploaded.run.exitStatus, 0);
  EXPECT_THAT(uploaded.result, HasSubstr(R"("code":"failed","message":"uploadOnePartData failed!")"));
  EXPECT_EQ(store.get("/_control/items"), "[]");
}

TEST_F(DirectUpload, TheSecretNeverReachesStderrOrTheLogs) {
  Uploaded uploaded = upload(dir, store, "hello");
  ASSERT_EQ(uploaded.run.exitStatus, 0);
  EXPECT_THAT(uploaded.run.err, Not(HasSubstr(LocalStore::kAppSecret)));
  EXPECT_THAT(uploaded.run.logs, Not(HasSubstr(LocalStore::kAppSecret)));
}

}  // namespace
}  // namespace corvane::e2e
