// The transfer loop driven attempt by attempt: requests side by side, each
// with its own retry and pause, in orders a synchronous stand-in cannot make.
#include "transport/transfer_loop.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <ctime>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "support/fake_env.h"
#include "support/fake_transfers.h"
#include "support/log_capture.h"
#include "support/temp_file.h"
#include "platform/stop_signals.h"

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
  EXPECT_THAT(log.lines,
              ElementsAre("http://h/merge attempt 1 failed: HTTP 503 from the service, not JSON"));
}

// An answer of a JSON service that is none (a proxy's or a gateway's page)
// names its status, and the proxy it came through, in its cause.
TEST_F(Loop, AnAnswerThatIsNotJsonNamesItsStatusAndTheProxyItCameThrough) {
  LogCapture log;
  HttpRequest request = requestTo("http://h/oauth2/token");
  request.gatewayPagesAreFailures = true;
  network.proxy = "127.0.0.1:3128";
  network.onPoll = [](FakeTransfers& net) {
    for (size_t i : net.inFlightTo("http://h/")) net.complete(i, "<html>401</html>", 401);
  };
  HttpResponse response = loop.perform(request);
  EXPECT_EQ(response.result, CURLE_OK);
  EXPECT_EQ(response.status, 401);
  EXPECT_EQ(response.cause, "HTTP 401 from the service, not JSON via proxy 127.0.0.1:3128");
  EXPECT_THAT(log.lines, ElementsAre("http://h/oauth2/token answer: HTTP 401 from the service, "
                                     "not JSON via proxy 127.0.0.1:3128"));
  // A JSON answer has no such cause; direct, no proxy is named.
  network.proxy.clear();
  network.onPoll = nullptr;
  network.answer("http://h/oauth2/token", R"({"code":"success"})");
  HttpResponse json = loop.perform(request);
  EXPECT_EQ(json.cause, "");
}

// A stop file is looked for at every turn: no wait is longer than 200 ms
// while one is named, pauses included, and the file that appears stops the
// run as a signal would. It is never created or removed by the loop.
TEST_F(Loop, AStopFileThatAppearsDuringAPauseStopsTheRunWithin200Milliseconds) {
  TempFile marker("");
  const std::string stopFile = marker.path + ".stop";
  controls.stopFile = stopFile;
  startNoting("http://h/a", "a");
  loop.turn();
  network.fail(0);
  loop.turn();
  loop.turn();
  network.fail(1);  // the second failure: a 2-second pause follows
  int pauseWaits = 0;
  network.onPoll = [&](FakeTransfers&) {
    // Made during the pause, after three of its waits.
    if (network.inFlight() == 0 && ++pauseWaits == 3) std::ofstream(stopFile) << "stop";
  };
  const int64_t before = env.steadyMilliseconds();
  loop.run();
  ASSERT_EQ(responses.size(), 1u);
  EXPECT_EQ(responses[0].outcome, RequestOutcome::kCancelled);
  EXPECT_EQ(controls.stop.cause(), kStopFileCause);
  EXPECT_EQ(network.started().size(), 2u);
  for (int64_t wait : network.waits) EXPECT_LE(wait, RunControls::kStopFileLookMilliseconds);
  EXPECT_LT(env.steadyMilliseconds() - before, 2000);
  EXPECT_TRUE(env.pathExists(stopFile));
  std::remove(stopFile.c_str());
}

TEST_F(Loop, AStopFilePresentAtTheStartLetsNoRequestBegin) {
  TempFile stopFile("");
  controls.stopFile = stopFile.path;
  startNoting("http://h/a", "a");
  loop.run();
  ASSERT_EQ(responses.size(), 1u);
  EXPECT_EQ(responses[0].outcome, RequestOutcome::kCancelled);
  EXPECT_TRUE(network.started().empty());
  EXPECT_EQ(stopCauseText(controls.stop.cause()), "stop file");
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

// ---- Requests that create something, and the limits of an answer ---------

// A merge: its JSON body goes out, then the service works on it.
HttpRequest creatingRequest(const std::string& url) {
  HttpRequest request = requestTo(url);
  request.postFields = R"({"id":"T"})";
  request.createsItem = true;
  request.answerSeconds = 600;
  return request;
}

// Moves the clock by `milliseconds` at every poll while attempts are in
// flight (the fake's own waits move it only when none is).
void tickAtEveryPoll(FakeTransfers& network, FakeEnv& env, int64_t milliseconds,
                     std::function<void(FakeTransfers&)> then = nullptr) {
  network.onPoll = [&env, milliseconds, then](FakeTransfers& net) {
    if (net.inFlight() > 0) env.ticks += milliseconds * 10000;
    if (then) then(net);
  };
}

// The service may take long to store what such a request asked for: once
// its body is out, the stall rule is lifted, and only its own limit (from
// that moment) ends the wait, as a failed attempt with its cause.
TEST_F(Loop, ARequestThatCreatesSomethingWaitsForItsAnswerUpToItsOwnLimit) {
  LogCapture log;
  loop.start(creatingRequest("http://h/merge"),
             [this](HttpResponse response) { responses.push_back(std::move(response)); });
  loop.turn();
  EXPECT_FALSE(network.started()[0].stallRuleLifted);
  network.progress(0, 5);
  loop.turn();
  EXPECT_FALSE(network.started()[0].stallRuleLifted) << "lifted before the body was out";
  network.progress(0, 100);
  const int64_t sent = env.steadyMilliseconds();
  loop.turn();
  EXPECT_TRUE(network.started()[0].stallRuleLifted);
  tickAtEveryPoll(network, env, 1000);
  // Bounded, so that a wait without end fails instead of hanging.
  for (int turns = 0; network.started().size() < 2 && turns < 5000; ++turns) loop.turn();
  ASSERT_EQ(network.started().size(), 2u);
  EXPECT_TRUE(network.started()[0].abandoned);
  EXPECT_GE(env.steadyMilliseconds() - sent, 600000);
  EXPECT_LE(env.steadyMilliseconds() - sent, 602000);
  EXPECT_THAT(log.lines, ElementsAre("http://h/merge attempt 1 failed: no whole answer within 600 "
                                     "seconds of the request being sent (curl error 28)"));
  network.onPoll = nullptr;
  network.complete(1, R"({"data":{"status":"success"}})");
  loop.run();
  ASSERT_EQ(responses.size(), 1u);
  EXPECT_EQ(responses[0].result, CURLE_OK);
  // The first attempt went out whole and got no answer.
  EXPECT_EQ(responses[0].unansweredAttempts, 1);
}

// A JSON request's answer trickled just fast enough never to stall still
// ends its attempt 60 seconds after the request went out.
TEST_F(Loop, AJsonRequestsAnswerHasSixtySecondsOnceItsBodyIsOut) {
  HttpRequest request = requestTo("http://h/task");
  request.postFields = R"({"name":"a"})";
  request.answerSeconds = 60;
  loop.start(request, [this](HttpResponse response) { responses.push_back(std::move(response)); });
  int polls = 0;
  tickAtEveryPoll(network, env, 1000, [&polls](FakeTransfers& net) {
    for (size_t i : net.inFlightTo("http://h/task")) {
      net.progress(i, 1000);
      // The second attempt is answered; the first only when it was never
      // cut (bounded, so that the test fails instead of hanging).
      if (i == 1 || ++polls > 500) net.complete(i);
    }
  });
  const int64_t start = env.steadyMilliseconds();
  loop.run();
  ASSERT_EQ(responses.size(), 1u);
  EXPECT_EQ(responses[0].result, CURLE_OK);
  ASSERT_EQ(network.started().size(), 2u);
  EXPECT_TRUE(network.started()[0].abandoned);
  EXPECT_FALSE(network.started()[0].stallRuleLifted);
  EXPECT_LE(env.steadyMilliseconds() - start, 62000);
}

// A stop after such a request's body went out lets it finish: what the
// service did is learnt, not guessed. Everything else is abandoned, also a
// creating request whose body is still on its way (nothing was stored).
TEST_F(Loop, AStopLetsACreatingRequestWhoseBodyIsOutFinish) {
  LogCapture log;
  TempFile file(std::string(1000, 'd'));
  ReadOnlyFile open(file.path);
  BodySource whole(open, 0, 1000);
  HttpRequest direct = creatingRequest("http://h/direct");
  direct.postFields.reset();
  direct.upload = &whole;
  loop.start(creatingRequest("http://h/merge"),
             [this](HttpResponse response) { responses.push_back(std::move(response)); });
  loop.start(direct, [this](HttpResponse response) { responses.push_back(std::move(response)); });
  startNoting("http://h/other", "other");
  loop.turn();
  network.progress(0, 100);
  network.progress(1, 400);
  loop.turn();
  controls.stop.raise(15);
  loop.turn();
  loop.turn();
  EXPECT_FALSE(network.started()[0].abandoned);
  EXPECT_TRUE(network.started()[1].abandoned);
  EXPECT_TRUE(network.started()[2].abandoned);
  network.complete(0, R"({"data":{"status":"success","fileItemId":"f1"}})");
  loop.run();
  ASSERT_EQ(responses.size(), 3u);
  EXPECT_EQ(responses[2].result, CURLE_OK);
  EXPECT_EQ(responses[2].outcome, RequestOutcome::kCompleted);
  EXPECT_EQ(responses[2].body, R"({"data":{"status":"success","fileItemId":"f1"}})");
  EXPECT_EQ(responses[0].outcome, RequestOutcome::kCancelled);
  EXPECT_EQ(responses[1].outcome, RequestOutcome::kCancelled);
  EXPECT_THAT(log.lines, ElementsAre("stopping once the service has answered"));
  EXPECT_EQ(network.started().size(), 3u);
}

// Retry-After counts inside the bound: however often the service asks for
// 60 seconds, the pauses of one request add up to at most 120 seconds.
TEST_F(Loop, RetryAfterPausesOfOneRequestAddUpToAtMostTwoMinutes) {
  HttpRequest request = requestTo("http://h/token");
  request.gatewayPagesAreFailures = true;
  network.onPoll = [](FakeTransfers& net) {
    for (size_t i : net.inFlightTo("http://h/token")) {
      net.complete(i, "<html>busy</html>", 503, "HTTP/1.1 503 Busy\r\nRetry-After: 60\r\n\r\n");
    }
  };
  const int64_t start = env.steadyMilliseconds();
  HttpResponse response = loop.perform(request);
  EXPECT_NE(response.result, CURLE_OK);
  EXPECT_EQ(response.outcome, RequestOutcome::kAttemptsSpent);
  EXPECT_LE(env.steadyMilliseconds() - start, 120000);
  int64_t paused = 0;
  for (int64_t wait : network.waits) paused += wait;
  EXPECT_LE(paused, 120000);
}

// libcurl's words may quote a URL with its user:password: the cause line
// (log and progress) never carries them.
TEST_F(Loop, ACauseNeverCarriesUserInformationFromLibcurlsWords) {
  LogCapture log;
  startNoting("http://h/a", "a");
  loop.turn();
  network.fail(0, CURLE_COULDNT_RESOLVE_PROXY, 0,
               "Unsupported proxy syntax in 'http://alice:Sup3r Secret@127.0.0.1:3128': "
               "Malformed input to a URL function");
  loop.turn();
  ASSERT_FALSE(log.lines.empty());
  EXPECT_EQ(log.lines[0],
            "http://h/a attempt 1 failed: Unsupported proxy syntax in 'http://127.0.0.1:3128': "
            "Malformed input to a URL function (curl error 5)");
  controls.stop.raise(15);
  loop.run();
  EXPECT_THAT(responses[0].cause, ::testing::Not(HasSubstr("Sup3r")));
}

}  // namespace
}  // namespace corvane

// ---- The service's clock ----------------------------------------------------

namespace corvane {
namespace {

constexpr int64_t kHourTicks = 3600 * kTicksPerSecond;

// An answer's header block whose Date lies `seconds` away from the fake
// clock's start.
std::string datedHeaders(long status, int64_t seconds) {
  std::time_t when = static_cast<std::time_t>(17'000'000'000'000'000 / kTicksPerSecond + seconds);
  char date[64];
  std::strftime(date, sizeof date, "%a, %d %b %Y %H:%M:%S GMT", std::gmtime(&when));
  return "HTTP/1.1 " + std::to_string(status) + " X\r\nDate: " + date + "\r\n\r\n";
}

class SignedLoop : public Loop {
 protected:
  // A request whose every attempt gets a header line made as it starts,
  // naming the attempt and the clock's correction then.
  HttpRequest signedRequest() {
    HttpRequest request = requestTo("http://h/signed");
    request.headerLines = std::vector<std::string>{"A: 1"};
    request.gatewayPagesAreFailures = true;
    request.attemptHeaderLines = [this] {
      return std::vector<std::string>{"x-n:" + std::to_string(++signatures) + " at " +
                                      std::to_string(controls.clock.correctionMilliseconds())};
    };
    return request;
  }
  void startSigned() {
    loop.start(signedRequest(), [this](HttpResponse response) {
      responses.push_back(std::move(response));
    });
  }

  int signatures = 0;
};

// A retried attempt gets header lines of its own (a gateway refuses a nonce
// it has seen), made with the correction the failed answer's date brought;
// the INFO line comes once, and the cause line tells the difference.
TEST_F(SignedLoop, EveryAttemptIsSignedAfreshWithTheServicesTime) {
  LogCapture log;
  startSigned();
  loop.turn();
  network.complete(0, "<html>busy</html>", 503, datedHeaders(503, 1200));
  loop.turn();
  loop.turn();
  ASSERT_EQ(network.started().size(), 2u);
  network.complete(1, "<html>busy</html>", 503, datedHeaders(503, 1200));
  network.onPoll = [](FakeTransfers& net) {
    for (size_t i : net.inFlightTo("http://h/")) net.complete(i, "{}", 200, datedHeaders(200, 1200));
  };
  loop.run();
  ASSERT_EQ(network.started().size(), 3u);
  EXPECT_THAT(network.started()[0].headerLines, ElementsAre("A: 1", "x-n:1 at 0"));
  EXPECT_THAT(network.started()[1].headerLines, ElementsAre("A: 1", "x-n:2 at 1200500"));
  EXPECT_THAT(network.started()[2].headerLines, ElementsAre("A: 1", "x-n:3 at 1200500"));
  ASSERT_EQ(responses.size(), 1u);
  EXPECT_EQ(responses[0].status, 200);
  const std::string note = " (this machine's clock differs from the service's by -1200 s)";
  EXPECT_THAT(log.lines,
              ElementsAre("clock: this machine's clock differs from the service's by -1200 s; "
                          "signing with the service's time",
                          "http://h/signed attempt 1 failed: HTTP 503 from the service, not JSON" + note,
                          "http://h/signed attempt 2 failed: HTTP 503 from the service, not JSON" + note,
                          "http://h/signed connect failed!!! retry 2"));
}

// A signed request refused by a service whose date shows a difference the
// signature did not allow for goes again at once, signed with the service's
// time, once in the run; a small difference, or none, is left alone.
TEST_F(SignedLoop, ARefusedSignatureIsMadeAgainOnceWithTheServicesTime) {
  LogCapture log;
  const std::string refusal = R"({"code":401,"message":"stale gateway timestamp"})";
  startSigned();
  loop.turn();
  network.complete(0, refusal, 401, datedHeaders(401, -3 * 3600));
  loop.turn();
  loop.turn();
  ASSERT_EQ(network.started().size(), 2u);
  EXPECT_THAT(network.started()[1].headerLines, ElementsAre("A: 1", "x-n:2 at -10799500"));
  // Refused again, now that the time was the service's: the answer stands.
  network.complete(1, refusal, 401, datedHeaders(401, -3 * 3600));
  loop.run();
  ASSERT_EQ(responses.size(), 1u);
  EXPECT_EQ(responses[0].status, 401);
  EXPECT_EQ(responses[0].body, refusal);
  // Once per run: a later refusal after the clock moved again is not sent
  // again.
  startSigned();
  loop.turn();
  network.complete(2, refusal, 401, datedHeaders(401, 3600));
  loop.run();
  EXPECT_EQ(network.started().size(), 3u);
  ASSERT_EQ(responses.size(), 2u);
  EXPECT_EQ(responses[1].status, 401);
  // Within a minute nothing is corrected, and nothing sent again.
  LogCapture later;
  controls.clock.observe(datedHeaders(200, 30));
  EXPECT_EQ(controls.clock.correctionMilliseconds(), 0);
  EXPECT_THAT(log.lines[1], HasSubstr("was refused (HTTP 401) and signed with a clock that "
                                      "differs from the service's"));
  EXPECT_THAT(log.lines.back(),
              HasSubstr("refused: HTTP 401 from the service, not JSON (this machine's clock differs "
                        "from the service's by -3600 s)"));
  EXPECT_TRUE(later.lines.empty());
}

// Dates that are missing, unreadable or implausible tell nothing.
TEST_F(SignedLoop, ImplausibleDatesAreIgnored) {
  for (const std::string& headers :
       {std::string("HTTP/1.1 200 X\r\n\r\n"), std::string("HTTP/1.1 200 X\r\nDate: soon\r\n\r\n"),
        std::string("HTTP/1.1 200 X\r\nDate: Thu, 01 Jan 1970 00:00:00 GMT\r\n\r\n"),
        std::string("HTTP/1.1 200 X\r\nDate: Sat, 01 Jan 2101 00:00:00 GMT\r\n\r\n")}) {
    controls.clock.observe(headers);
    EXPECT_FALSE(controls.clock.difference().has_value()) << headers;
  }
}

// Setting the system clock an hour forward and back during a run moves no
// pause: they run on the monotonic clock.
TEST_F(Loop, AWallClockJumpingAnHourLeavesThePausesAsTheyWere) {
  startNoting("http://h/a", "a");
  int failures = 0;
  network.onPoll = [this, &failures](FakeTransfers& net) {
    for (size_t i : net.inFlightTo("http://h/a")) {
      env.wallShiftTicks = (failures % 2 == 0 ? 1 : -1) * kHourTicks;
      if (++failures <= 4) {
        net.fail(i);
      } else {
        net.complete(i);
      }
    }
  };
  const int64_t start = env.steadyMilliseconds();
  loop.run();
  EXPECT_THAT(network.waits, ElementsAre(2000, 2000, 2000));
  EXPECT_EQ(env.steadyMilliseconds() - start, 6000);
}

}  // namespace
}  // namespace corvane
