// A list of files in one run: the files go side by side through the one
// transfer loop over one storage token, each with its own result, and a
// network that spent a file's attempts keeps the files after it from
// starting.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <rapidjson/document.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/fake_env.h"
#include "support/fake_transfers.h"
#include "transport/transfer_loop.h"
#include "upload/corvane_multi_upload.h"
#include "upload/upload_test_util.h"

namespace corvane {
namespace {

using testing::FakeEnv;
using testing::FakeTransfers;
using testing::ScratchDir;

constexpr char kToken[] = "https://store.test/oauth2/token";
constexpr char kDirect[] = "https://store.test/mdox/data/v1/projects/p1/fileItems";

class FileList : public ::testing::Test {
 protected:
  void SetUp() override {
    uploader.appkey = "key";
    uploader.appsecret = "secret";
    uploader.tokenurl = kToken;
    uploader.directurl = kDirect;
    uploader.projectid = "p1";
    uploader.partSize = 1000;
    uploader.output = dir.file("result.json");
    network.answer(
        kToken, R"({"code":"success","data":{"token":"tok","expireTime":"2999-01-01 00:00:00"}})");
  }

  // Lists `names` (files of 100 bytes each, written to the scratch folder).
  void list(const std::vector<std::string>& names) {
    for (const std::string& name : names) {
      context.settings.files.push_back({dir.write(name, testing::patternBytes(100)), name});
    }
  }

  // The target name a direct upload's URL carries.
  static std::string nameIn(const std::string& url) {
    size_t from = url.find("?name=") + 6;
    return url.substr(from, url.find('&', from) - from);
  }

  rapidjson::Document result() {
    rapidjson::Document document;
    auto text = testing::readWholeFile(uploader.output);
    document.Parse(text.value_or("").c_str());
    EXPECT_TRUE(document.IsObject()) << text.value_or("<no result file>");
    return document;
  }

  size_t countStarted(const std::string& prefix) const {
    return static_cast<size_t>(std::count_if(
        network.started().begin(), network.started().end(),
        [&prefix](const auto& attempt) { return attempt.url.rfind(prefix, 0) == 0; }));
  }

  FakeEnv env;
  FakeTransfers network;
  RunControls controls;
  TransferLoop loop{network, controls};
  RunContext context{loop};
  CorvaneMultiUpload uploader{context};
  ScratchDir dir;
};

TEST_F(FileList, FilesGoSideBySideOverOneTokenAndEachHasItsResult) {
  list({"a.txt", "b.txt", "c.txt", "d.txt", "e.txt"});
  context.settings.parallelfiles = 3;
  size_t mostInFlight = 0;
  network.onPoll = [&](FakeTransfers& net) {
    std::vector<size_t> direct = net.inFlightTo(kDirect);
    mostInFlight = std::max(mostInFlight, direct.size());
    // The last one started ends first: each file stands on its own.
    if (direct.empty()) return;
    size_t last = direct.back();
    std::string name = nameIn(net.started()[last].url);
    net.complete(last, R"({"data":{"status":"success","fileItemId":"id-)" + name +
                           R"(","fileItemName":")" + name + R"("}})");
  };
  ::testing::internal::CaptureStdout();
  EXPECT_TRUE(uploader.run());
  ::testing::internal::GetCapturedStdout();

  EXPECT_EQ(mostInFlight, 3u);
  EXPECT_EQ(countStarted(kToken), 1u) << "one storage token for every file";
  rapidjson::Document document = result();
  EXPECT_STREQ(document["code"].GetString(), "success");
  EXPECT_STREQ(document["message"].GetString(), "");
  const rapidjson::Value& files = document["data"]["files"];
  ASSERT_EQ(files.Size(), 5u);
  const char* names[] = {"a.txt", "b.txt", "c.txt", "d.txt", "e.txt"};
  for (rapidjson::SizeType i = 0; i < files.Size(); ++i) {
    EXPECT_STREQ(files[i]["targetname"].GetString(), names[i]);
    EXPECT_STREQ(files[i]["code"].GetString(), "success");
    EXPECT_EQ(std::string(files[i]["fileitemid"].GetString()), std::string("id-") + names[i]);
  }
}

TEST_F(FileList, AFileWhoseAttemptsWereSpentKeepsTheRestFromStarting) {
  list({"a.txt", "b.txt", "c.txt"});
  context.settings.parallelfiles = 1;
  // Every attempt of a direct upload fails in transfer.
  network.onPoll = [](FakeTransfers& net) {
    for (size_t i : net.inFlightTo(kDirect)) net.fail(i, CURLE_COULDNT_CONNECT);
  };
  EXPECT_TRUE(uploader.run());

  EXPECT_EQ(countStarted(kDirect), 33u) << "only the first file's attempts";
  EXPECT_EQ(countStarted(std::string(kDirect) + "?name=b.txt"), 0u);
  rapidjson::Document document = result();
  EXPECT_STREQ(document["code"].GetString(), "failed");
  EXPECT_STREQ(document["message"].GetString(), "3 of 3 files failed!");
  const rapidjson::Value& files = document["data"]["files"];
  ASSERT_EQ(files.Size(), 3u);
  EXPECT_STREQ(files[0]["message"].GetString(), "uploadOnePartData failed!");
  EXPECT_STREQ(files[1]["message"].GetString(), "upload not started!");
  EXPECT_STREQ(files[2]["message"].GetString(), "upload not started!");
}

}  // namespace
}  // namespace corvane
