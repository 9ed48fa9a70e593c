// The transfer loop driven attempt by attempt: requests side by side, each
// with its own retry and pause, in orders a synchronous stand-in cannot make.
#include "transport/transfer_loop.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "support/fake_env.h"
#include "support/fake_transfers.h"
#include "support/log_capture.h"
#include "support/temp_file.h"

namespace corvane {
namespace {

using testing::FakeEnv;
using testing::FakeTransfers;
using testing::LogCapture;
using testing::TempFile;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

HttpRequest requestTo(const std::string& url) {
  HttpRequest request;
  request.method = "POST";
  request.url = url;
  return request;
}

class Loop : public ::testing::Test {
 protected:
  // Starts a request that notes its end in `events` and keeps its response.
  void startNoting(const std::string& url, const std::string& name) {
    loop.start(requestTo(url), [this, name](HttpResponse response) {
      events.push_back(name + " done at " + std::to_string(env.steadyMilliseconds()));
      responses.push_back(std::move(response));
    });
  }

  FakeEnv env;
  FakeTransfers network;
  RunControls controls;
  TransferLoop loop{network, controls};
  std::vector<std::string> events;
  std::vector<HttpResponse> responses;
};

TEST_F(Loop, APauseHoldsOnlyTheRequestThatFailed) {
  LogCapture log;
  const int64_t start = env.steadyMilliseconds();
  startNoting("http://h/a", "a");
  startNoting("http://h/b", "b");
  loop.turn();  // both begin
  ASSERT_EQ(network.started().size(), 2u);
  network.fail(0);
  loop.turn();  // a's failure is seen: its second attempt is due at once
  loop.turn();
  ASSERT_EQ(network.started().size(), 3u);
  EXPECT_EQ(network.started()[2].url, "http://h/a");
  network.fail(2);
  loop.turn();  // a now sits out its pause
  network.complete(1, R"({"b":1})");
  loop.turn();
  loop.turn();  // b's answer is handed over during a's pause
  EXPECT_THAT(events, ElementsAre("b done at " + std::to_string(start)));
  EXPECT_EQ(network.started().size(), 3u);
  // With only the pause left, the loop waits for it in one go.
  loop.turn();
  loop.turn();
  EXPECT_EQ(network.started().size(), 4u);
  EXPECT_EQ(env.steadyMilliseconds() - start, 2000);
  EXPECT_THAT(network.waits, ElementsAre(2000));
  network.complete(3, R"({"a":1})");
  loop.run();
  EXPECT_THAT(events, ElementsAre("b done at " + std::to_string(start),
                                  "a done at " + std::to_string(start + 2000)));
  EXPECT_EQ(responses[1].body, R"({"a":1})");
  EXPECT_EQ(responses[1].result, CURLE_OK);
  EXPECT_THAT(log.lines, ElementsAre("http://h/a attempt 1 failed: Failure when receiving data from "
                                     "the peer (curl error 56)",
                                     HasSubstr("http://h/a attempt 2 failed: "),
                                     "http://h/a connect failed!!! retry 2"));
}

TEST_F(Loop, ARequestFinishesWhileAnotherIsInItsPause) {
  startNoting("http://h/a", "a");
  loop.turn();
  network.fail(0);
  loop.turn();
  loop.turn();
  network.fail(1);
  loop.turn();  // a paused until start + 2000
  startNoting("http://h/b", "b");
  loop.turn();  // b begins at once: a's pause does not hold it
  ASSERT_EQ(network.started().size(), 3u);
  EXPECT_EQ(network.started()[2].url, "http://h/b");
  network.complete(2);
  while (events.empty()) loop.turn();
  EXPECT_THAT(events[0], HasSubstr("b done"));
  loop.turn();
  network.onPoll = [](FakeTransfers& net) {
    for (size_t i : net.inFlightTo("http://h/a")) net.complete(i);
  };
  loop.run();
  EXPECT_EQ(events.size(), 2u);
  EXPECT_THAT(events[1], HasSubstr("a done"));
}

// A request run to its end from inside a running loop (the storage token
// renewed while parts are in flight) moves on its own; the others stay as
// they were and their ends wait for the loop.
TEST_F(Loop, ARequestPerformedMeanwhileLeavesTheOthersInFlight) {
  TempFile file(std::string(10000, 'p'));
  ReadOnlyFile open(file.path);
  BodySource part(open, 0, 10000);
  HttpRequest put = requestTo("http://blob/part");
  put.upload = &part;
  loop.start(put, [this](HttpResponse response) { responses.push_back(std::move(response)); });
  loop.turn();
  network.progress(0, 4000);
  EXPECT_EQ(loop.bytesInFlight(), 4000u);
  network.answer("http://store/token", R"({"token":"t"})");
  HttpResponse token = loop.perform(requestTo("http://store/token"));
  EXPECT_EQ(token.body, R"({"token":"t"})");
  EXPECT_TRUE(network.started()[0].inFlight);
  EXPECT_FALSE(network.started()[0].abandoned);
  EXPECT_EQ(loop.bytesInFlight(), 4000u);
  network.complete(0);
  loop.run();
  ASSERT_EQ(responses.size(), 1u);
  EXPECT_EQ(responses[0].result, CURLE_OK);
  // The body went out whole, from where it stood.
  EXPECT_EQ(network.started().size(), 2u);
}

TEST_F(Loop, AStopAbandonsEveryTransferAndLaterRequestsEndAtOnce) {
  startNoting("http://h/a", "a");
  startNoting("http://h/b", "b");
  loop.turn();
  network.fail(0);
  loop.turn();
  loop.turn();
  network.fail(2);
  loop.turn();  // a paused, b in flight
  controls.stop.raise(15);
  loop.turn();
  EXPECT_TRUE(network.started()[1].abandoned);
  loop.start(requestTo("http://h/c"), [this](HttpResponse response) {
    responses.push_back(std::move(response));
  });
  loop.run();
  ASSERT_EQ(responses.size(), 3u);
  for (const HttpResponse& response : responses) {
    EXPECT_EQ(response.outcome, RequestOutcome::kCancelled);
    EXPECT_EQ(response.result, CURLE_ABORTED_BY_CALLBACK);
  }
  // Nothing more was begun, and no pause was sat out.
  EXPECT_EQ(network.started().size(), 3u);
  EXPECT_TRUE(network.waits.empty());
}

TEST_F(Loop, AGatewayPageIsAFailedAttemptAndItsRetryAfterIsTheWait) {
  LogCapture log;
  HttpRequest request = requestTo("http://h/merge");
  request.gatewayPagesAreFailures = true;
  loop.start(request, [this](HttpResponse response) { responses.push_back(std::move(response)); });
  loop.turn();
  // A page with a Retry-After of 5 s in its header block.
  network.onPoll = [](FakeTransfers& net) {
    for (size_t i : net.inFlightTo("http://h/merge")) {
      if (i == 0) {
        net.complete(0, "<html>busy</html>", 503, "HTTP/1.1 503 Busy\r\nRetry-After: 5\r\n\r\n");
      } else {
        net.complete(i, R"({"code":"success"})");
      }
    }
  };
  loop.run();
  ASSERT_EQ(responses.size(), 1u);
  EXPECT_EQ(responses[0].result, CURLE_OK);
  EXPECT_EQ(network.started().size(), 2u);
  EXPECT_THAT(network.waits, ElementsAre(5000));
  EXPECT_THAT(log.lines, ElementsAre("http://h/merge attempt 1 failed: HTTP 503 from the service"));
}

TEST_F(Loop, TheServicesOwnErrorFormIsAnAnswerWhateverItsStatus) {
  HttpRequest request = requestTo("http://h/task");
  request.gatewayPagesAreFailures = true;
  network.answer("http://h/task", R"({"code":503,"message":"later"})");
  HttpResponse response = loop.perform(request);
  EXPECT_EQ(response.result, CURLE_OK);
  EXPECT_EQ(network.started().size(), 1u);
}

// The send cap is one budget for the run, drawn by every body as it is read:
// it starts empty when the first body wants it, earns at the cap's rate, and
// a body that finds it spent is paused until a share is worth a read.
TEST_F(Loop, TheSendBudgetStartsEmptyAndPausesABodyUntilItHasEarnedARead) {
  TempFile file(std::string(1 << 20, 'p'));
  ReadOnlyFile open(file.path);
  BodySource part(open, 0, 1 << 20);
  controls.sendCapBytesPerSecond = 100 * 1024;  // holds at most 64 KiB
  network.answer("http://store/token", "{}");
  loop.perform(requestTo("http://store/token"));
  env.ticks += 5000 * 10000;  // earns nothing: no body wanted the budget yet
  HttpRequest put = requestTo("http://blob/1");
  put.upload = &part;
  loop.start(put, nullptr);
  loop.turn();
  Transfer& transfer = *network.started()[1].transfer;
  network.progress(1, 1 << 20);
  EXPECT_EQ(transfer.sentBytes, 0u);
  EXPECT_TRUE(transfer.pausedForBudget);
  loop.turn();
  // At this low cap a body goes on once it has earned a twentieth of a
  // second (5120 bytes): the loop looks again then, not later.
  EXPECT_EQ(network.lastWait, 50);
  env.ticks += 49 * 10000;
  loop.turn();
  EXPECT_TRUE(network.resumed.empty());
  EXPECT_EQ(network.lastWait, 1);
  env.ticks += 1 * 10000;
  loop.turn();
  ASSERT_EQ(network.resumed.size(), 1u);
  network.progress(1, 1 << 20);
  EXPECT_EQ(transfer.sentBytes, 5120u);  // 50 ms at 100 KiB/s, no more
  // After a long gap the budget holds no more than its 64 KiB.
  env.ticks += 10'000 * 10000;
  loop.turn();
  network.progress(1, 1 << 20);
  EXPECT_EQ(transfer.sentBytes, 5120u + 65536u);
}

// Bodies side by side share each turn's budget equally, whichever libcurl
// serves first; a body read in full leaves its share to the others. From
// the first byte on, the bytes sent never pass the cap times the time
// elapsed, and once the budget runs the whole cap is used.
TEST_F(Loop, BodiesInFlightShareOneBudgetAndTogetherKeepToTheCap) {
  constexpr int64_t kCap = 2048 * 1024;
  TempFile file(std::string(8 << 20, 'p'));
  ReadOnlyFile open(file.path);
  std::vector<std::unique_ptr<BodySource>> parts;
  parts.push_back(std::make_unique<BodySource>(open, 0, 256 * 1024));  // done early
  for (uint64_t i = 1; i < 4; ++i) {
    parts.push_back(std::make_unique<BodySource>(open, i * (2 << 20), 2 << 20));
  }
  controls.sendCapBytesPerSecond = kCap;
  for (auto& part : parts) {
    HttpRequest put = requestTo("http://blob/" + std::to_string(parts.size()));
    put.upload = part.get();
    loop.start(put, nullptr);
  }
  loop.turn();
  ASSERT_EQ(network.started().size(), 4u);
  const int64_t start = env.steadyMilliseconds();
  auto sent = [this](size_t i) { return network.started()[i].transfer->sentBytes; };
  auto total = [&] { return sent(0) + sent(1) + sent(2) + sent(3); };
  // libcurl serves the attempts in the same order at every turn, each as
  // much as its read callback lets it; the loop turns every 10 ms.
  bool firstDone = false;
  while (env.steadyMilliseconds() - start < 3000) {
    for (size_t i = 0; i < 4; ++i) network.progress(i, 8 << 20);
    const int64_t elapsed = env.steadyMilliseconds() - start;
    ASSERT_LE(total(), static_cast<uint64_t>(kCap * elapsed / 1000)) << "at " << elapsed << " ms";
    if (!firstDone && sent(0) == 256 * 1024) {
      firstDone = true;
      EXPECT_LT(elapsed, 600);  // about a quarter of the cap while it read
    }
    loop.turn();
    env.ticks += 10 * 10000;
  }
  const int64_t elapsed = env.steadyMilliseconds() - start;
  EXPECT_GE(elapsed, 3000);
  EXPECT_TRUE(firstDone);
  // The whole cap was used, less what the last turn earned.
  EXPECT_GE(total() + 128 * 1024, static_cast<uint64_t>(kCap * elapsed / 1000));
  // The three long bodies went alike, the first served no faster.
  EXPECT_NEAR(static_cast<double>(sent(1)), static_cast<double>(sent(3)), 64 * 1024);
  EXPECT_NEAR(static_cast<double>(sent(2)), static_cast<double>(sent(3)), 64 * 1024);
}

}  // namespace
}  // namespace corvane
