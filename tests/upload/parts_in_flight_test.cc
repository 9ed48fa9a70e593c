// A multipart upload with its parts in flight side by side, their ends in an
// order the test chooses: every part arrives from its own bytes, and the
// merge goes out only after the last of them.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <rapidjson/document.h>

#include "support/fake_env.h"
#include "support/fake_transfers.h"
#include "support/log_capture.h"
#include "transport/transfer_loop.h"
#include "upload/corvane_multi_upload.h"
#include "upload/progress_report.h"
#include "upload/upload_test_util.h"

namespace corvane {
namespace {

using testing::FakeEnv;
using testing::FakeTransfers;
using testing::LogCapture;
using testing::ScratchDir;
using ::testing::ElementsAre;

// The progress file's state at `path`, parsed.
rapidjson::Document progressAt(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  rapidjson::Document state;
  state.Parse(text.c_str());
  return state;
}

constexpr char kRoot[] = "https://store.test/mdox/v1/data/projects/p1/file-items/multi-part-files";

class PartsInFlight : public ::testing::Test {
 protected:
  void SetUp() override {
    uploader.appkey = "key";
    uploader.appsecret = "secret";
    uploader.tokenurl = "https://store.test/oauth2/token";
    uploader.taskurl = kRoot;
    uploader.parturl = std::string(kRoot) + "/signed-url";
    uploader.mergeurl = std::string(kRoot) + "/merge";
    uploader.projectid = "p1";
    uploader.targetname = "a.bin";
    uploader.partSize = 1000;
    uploader.parallelparts = 3;
    uploader.accessToken = "tok";
    uploader.accessTokenExpiry = env.ticks + 3600 * testing::kTicks;
    uploader.localfile = dir.write("data.bin", content);
    network.answer(kRoot + std::string("/signed-url"), R"({"data":"https://blob.test/part"})");
    network.answer(uploader.mergeurl,
                   R"({"data":{"status":"success","fileItemId":"f1","fileItemName":"a.bin"}})");
  }

  FakeEnv env;
  FakeTransfers network;
  RunControls controls;
  TransferLoop loop{network, controls};
  RunContext context{loop};
  CorvaneMultiUpload uploader{context};
  ScratchDir dir;
  const std::string content = testing::patternBytes(2500, 5);
};

TEST_F(PartsInFlight, TheMergeGoesOutOnlyAfterTheLastPartArrived) {
  network.answer(kRoot, R"({"data":{"id":"T"}})");
  std::vector<std::string> order;
  // Once all three PUTs are in flight they end in the order 3, 1, 2, one a
  // poll; every begin is noted as it is seen.
  size_t seen = 0;
  const std::vector<size_t> endOrder = {2, 0, 1};
  size_t ended = 0;
  std::vector<size_t> puts;
  network.onPoll = [&](FakeTransfers& net) {
    for (; seen < net.started().size(); ++seen) {
      const auto& attempt = net.started()[seen];
      if (attempt.method == "PUT") puts.push_back(seen);
      order.push_back(attempt.method + " " + attempt.url.substr(attempt.url.rfind('/')));
    }
    if (puts.size() == 3 && ended < 3) {
      net.complete(puts[endOrder[ended]]);
      order.push_back("end of part " + std::to_string(endOrder[ended] + 1));
      ++ended;
    }
  };
  ::testing::internal::CaptureStdout();
  bool uploaded = uploader.uploadMultipart(ReadOnlyFile(uploader.localfile));
  std::string printed = ::testing::internal::GetCapturedStdout();
  EXPECT_TRUE(uploaded) << uploader.errorMessage;
  for (; seen < network.started().size(); ++seen) {
    const auto& attempt = network.started()[seen];
    order.push_back(attempt.method + " " + attempt.url.substr(attempt.url.rfind('/')));
  }
  EXPECT_THAT(order, ElementsAre("POST /multi-part-files", "POST /signed-url", "POST /signed-url",
                                 "POST /signed-url", "PUT /part", "PUT /part", "PUT /part",
                                 "end of part 3", "end of part 1", "end of part 2", "POST /merge"));
  EXPECT_EQ(uploader.fileItemId, "f1");
  // Each PUT answer ("{}" here), then its part's mark.
  EXPECT_THAT(printed, ::testing::HasSubstr("\n{}.{}.{}.\nmergeUploadTask"));
}

// Storage that fails every transfer: the three parts in flight spend their
// attempts side by side, and once one of them gave up no further part
// starts, so the run ends after one request's attempts, not one per part.
TEST_F(PartsInFlight, OnceAPartSpentItsAttemptsNoFurtherPartStarts) {
  uploader.partSize = 500;  // five parts, three at a time
  network.answer(kRoot, R"({"data":{"id":"T"}})");
  network.onPoll = [](FakeTransfers& net) {
    for (size_t i : net.inFlightTo("https://blob.test/")) net.fail(i, CURLE_SEND_ERROR);
  };
  ::testing::internal::CaptureStdout();
  bool uploaded = uploader.uploadMultipart(ReadOnlyFile(uploader.localfile));
  ::testing::internal::GetCapturedStdout();
  EXPECT_FALSE(uploaded);
  EXPECT_EQ(uploader.errorMessage, "uploadPartData failed!");
  size_t urlRequests = 0;
  size_t puts = 0;
  size_t merges = 0;
  for (const auto& attempt : network.started()) {
    urlRequests += attempt.url.find("/signed-url") != std::string::npos;
    puts += attempt.method == "PUT";
    merges += attempt.url.find("/merge") != std::string::npos;
  }
  EXPECT_EQ(urlRequests, 3u);
  EXPECT_EQ(puts, 3u * 33u);
  EXPECT_EQ(merges, 0u);
  // The pauses of the three overlapped: 31 of 2 seconds, not 93.
  EXPECT_EQ(env.totalSleptMilliseconds(), 62000);
}

// The storage token expires with four parts in flight and can no longer be
// had: the first part whose URL was refused spends the token request's
// attempts; the run is then doomed, and the other three ask for no new URL
// and so for no new token.
TEST_F(PartsInFlight, PartsFailingAfterTheRunIsDoomedAskForNoNewUrlOrToken) {
  uploader.partSize = 625;  // four parts, all in flight at once
  uploader.parallelparts = 4;
  network.answer(kRoot, R"({"data":{"id":"T"}})");
  bool refused = false;
  network.onPoll = [this, &refused](FakeTransfers& net) {
    std::vector<size_t> puts = net.inFlightTo("https://blob.test/");
    if (!refused && puts.size() == 4) {
      refused = true;
      env.ticks = uploader.accessTokenExpiry + testing::kTicks;
      for (size_t i : puts) net.fail(i, CURLE_HTTP_RETURNED_ERROR, 403);
    }
    for (size_t i : net.inFlightTo(uploader.tokenurl)) net.fail(i, CURLE_COULDNT_CONNECT);
  };
  ::testing::internal::CaptureStdout();
  bool uploaded = uploader.uploadMultipart(ReadOnlyFile(uploader.localfile));
  ::testing::internal::GetCapturedStdout();
  EXPECT_FALSE(uploaded);
  size_t tokenRequests = 0;
  size_t urlRequests = 0;
  for (const auto& attempt : network.started()) {
    tokenRequests += attempt.url == uploader.tokenurl;
    urlRequests += attempt.url.find("/signed-url") != std::string::npos;
  }
  EXPECT_EQ(tokenRequests, 33u);
  EXPECT_EQ(urlRequests, 4u);
}

// A stop that comes while the service merges (the merge went out whole) lets
// the merge finish: the stored file is reported as what it is, a success
// with its id, not "upload cancelled!".
TEST_F(PartsInFlight, AStopAfterTheMergeWentOutLetsItFinishAndReportsTheStoredFile) {
  LogCapture log;
  uploader.output = dir.file("result.json");
  network.answer(uploader.tokenurl,
                 R"({"code":"success","data":{"token":"t2","expireTime":"2099-01-01 00:00:00"}})");
  network.answer(kRoot, R"({"data":{"id":"T"}})");
  network.answer("https://blob.test/", "");
  // No rule answers the merge there: the test does, after the stop.
  int mergePolls = 0;
  uploader.mergeurl = "https://merge.test/merge";
  network.onPoll = [&](FakeTransfers& net) {
    for (size_t i : net.inFlightTo(uploader.mergeurl)) {
      if (++mergePolls == 1) {
        net.progress(i, 1000);
        controls.stop.raise(15);
      } else if (mergePolls == 3) {
        net.complete(i, R"({"data":{"status":"success","fileItemId":"f1","fileItemName":"a.bin"}})");
      }
    }
  };
  ::testing::internal::CaptureStdout();
  bool uploaded = uploader.run();
  ::testing::internal::GetCapturedStdout();
  EXPECT_TRUE(uploaded);
  EXPECT_EQ(testing::readWholeFile(uploader.output).value_or(""),
            R"({"code":"success","message":"","data":{"fileitemid":"f1","fileitemname":"a.bin"}})");
  EXPECT_THAT(log.lines, ::testing::Contains("stopping once the service has answered"));
}

}  // namespace
}  // namespace corvane

namespace corvane {
namespace {

// Every state of the progress file while three parts are in flight, each
// body sent in full one poll before its answer: the bytes shown never go
// back, also in the turn where an answer came and its part was not yet
// counted as acknowledged.
TEST_F(PartsInFlight, TheProgressBytesNeverGoBackWhileAnswersComeIn) {
  network.answer(kRoot, R"({"data":{"id":"T"}})");
  const std::string path = dir.file("progress.json");
  context.progress = std::make_unique<ProgressReport>(path, loop);
  controls.observer = context.progress.get();
  std::vector<uint64_t> shown;
  std::vector<size_t> sent;
  network.onPoll = [&](FakeTransfers& net) {
    env.ticks += testing::kTicks;  // every turn writes a state
    rapidjson::Document state = progressAt(path);
    if (state.IsObject()) shown.push_back(state["bytes"].GetUint64());
    if (!sent.empty()) {
      // An answer, and nothing else moves in this turn.
      for (size_t i : sent) net.complete(i);
      sent.clear();
      return;
    }
    for (size_t i : net.inFlightTo("https://blob.test/")) {
      net.progress(i, 1000);
      sent.push_back(i);
      break;  // one body a poll
    }
  };
  ::testing::internal::CaptureStdout();
  bool uploaded = uploader.uploadMultipart(ReadOnlyFile(uploader.localfile));
  ::testing::internal::GetCapturedStdout();
  ASSERT_TRUE(uploaded) << uploader.errorMessage;
  for (size_t i = 1; i < shown.size(); ++i) {
    EXPECT_GE(shown[i], shown[i - 1]) << "state " << i << " went back";
  }
  EXPECT_GE(shown.size(), 4u);
}

// After a resume, the parts stored before the run count in `bytes` from the
// first state but never as speed; when the continued task proves forgotten,
// the counts begin again with the new one.
TEST_F(PartsInFlight, StoredPartsCountInBytesNotInTheRateAndARestartBeginsTheCountsAgain) {
  const std::string path = dir.file("progress.json");
  ProgressReport report(path, loop);
  report.plan(10000, 10);
  report.enterPhase("parts");
  report.acknowledgeStored(5000, 5);
  env.ticks += testing::kTicks;
  report.loopTurned();
  rapidjson::Document state = progressAt(path);
  EXPECT_EQ(state["bytes"].GetUint64(), 5000u);
  EXPECT_EQ(state["parts"].GetUint64(), 5u);
  EXPECT_EQ(state["rate"].GetUint64(), 0u);
  EXPECT_EQ(state["eta"].GetInt64(), -1);
  report.acknowledge(1000, 1);
  env.ticks += testing::kTicks;
  report.loopTurned();
  state = progressAt(path);
  EXPECT_EQ(state["bytes"].GetUint64(), 6000u);
  // 1000 bytes in the 2 seconds of this run; 4000 left take 8 seconds.
  EXPECT_EQ(state["rate"].GetUint64(), 500u);
  EXPECT_EQ(state["eta"].GetInt64(), 8);
  report.restart();
  report.acknowledge(1000, 1);
  env.ticks += testing::kTicks;
  report.loopTurned();
  state = progressAt(path);
  EXPECT_EQ(state["bytes"].GetUint64(), 1000u);
  EXPECT_EQ(state["parts"].GetUint64(), 1u);
  EXPECT_EQ(state["partcount"].GetUint64(), 10u);
}

}  // namespace
}  // namespace corvane
