#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "e2e_harness.h"

namespace corvane::e2e {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;

// Everything `fd` holds, read from its first byte.
std::string contentOf(int fd) {
  std::string content;
  char block[4096];
  ssize_t got;
  while ((got = pread(fd, block, sizeof block, static_cast<off_t>(content.size()))) > 0) {
    content.append(block, static_cast<size_t>(got));
  }
  return content;
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
    UploadRun uploaded = uploadContent(each, store, content);
    EXPECT_EQ(uploaded.run.exitStatus, 0);
    std::string id = uploaded.fileItemId();
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
  UploadRun uploaded = uploadContent(dir, store, "hello");
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
  UploadRun uploaded =
      uploadContent(dir, store, "content", {{"targetname", name}, {"codepage", "GBK"}});
  ASSERT_EQ(uploaded.run.exitStatus, 0);
  rapidjson::Document items;
  items.Parse(store.get("/_control/items").c_str());
  ASSERT_TRUE(items.IsArray() && items.Size() == 1) << store.get("/_control/items");
  EXPECT_EQ(std::string(items[0]["name"].GetString()), name);
  // The name in the result file is the store's answer in the local code page.
  EXPECT_THAT(uploaded.result, HasSubstr("a b&c=d+e \xD6\xD0\xCE\xC4.txt"));
  // In the platform's own code page (the dumps too): UTF-8 stays so on
  // Linux; Windows converts into GBK.
  UploadRun native = uploadContent(dir, store, "content", {{"targetname", name}});
  ASSERT_EQ(native.run.exitStatus, 0);
  EXPECT_THAT(native.result, HasSubstr(inDefaultCodepage(name)));
  EXPECT_THAT(native.run.out, HasSubstr(inDefaultCodepage(name)));
}

TEST_F(DirectUpload, AnErrorEnvelopeEndsInTheDriversMessage) {
  store.post("/_control/faults",
             R"([{"kind":"direct-upload","nth":0,"action":"body","status":403,)"
             R"("body":"{\"code\":403,\"message\":\"no permission\"}"}])");
  UploadRun uploaded = uploadContent(dir, store, "hello");
  EXPECT_EQ(uploaded.run.exitStatus, 0);
  EXPECT_EQ(uploaded.result,
            R"({"code":"failed","message":"uploadOnePartData failed!","data":{"fileitemid":"","fileitemname":""}})");
}

TEST_F(DirectUpload, AWrongSecretIsRefusedAndNothingIsStored) {
  UploadRun uploaded = uploadContent(dir, store, "hello", {{"appsecret", "wrong"}});
  EXPECT_EQ(uploaded.run.exitStatus, 0);
  EXPECT_THAT(uploaded.result, HasSubstr(R"("code":"failed","message":"uploadOnePartData failed!")"));
  EXPECT_EQ(store.get("/_control/items"), "[]");
}

// The result replaces an earlier file by a rename: a reader holding the old
// file keeps all of it, the path names a new file with the mode an ordinary
// new file gets under the run's umask, and nothing else is left beside it.
TEST_F(DirectUpload, TheResultReplacesAnEarlierFileWithANewOneUnderTheUmask) {
  namespace fs = std::filesystem;
  const std::string output = dir.file("out/result.json");
  fs::create_directory(dir.file("out"));
  const std::string earlier = "an earlier, longer result that a reader may still be reading";
  writeFile(output, earlier);
  ASSERT_EQ(chmod(output.c_str(), 0644), 0);
  const int held = open(output.c_str(), O_RDONLY);
  ASSERT_GE(held, 0);
  struct stat before {};
  ASSERT_EQ(fstat(held, &before), 0);

  const mode_t previousMask = umask(027);
  UploadRun uploaded = uploadContent(dir, store, "hello", {{"output", output}});
  umask(previousMask);

  EXPECT_EQ(contentOf(held), earlier);
  close(held);
  struct stat after {};
  ASSERT_EQ(stat(output.c_str(), &after), 0);
  EXPECT_NE(after.st_ino, before.st_ino);
  // Under Wine the server process creates the file, under its own umask.
  if (!uploaderIsWindows()) {
    EXPECT_EQ(after.st_mode & 07777, 0640u);
  }
  EXPECT_THAT(readFile(output), HasSubstr(R"({"code":"success")"));
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir.file("out"))) {
    names.push_back(entry.path().filename().string());
  }
  EXPECT_THAT(names, ElementsAre("result.json"));
}

}  // namespace
}  // namespace corvane::e2e
