#pragma once

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "platform/env.h"
#include "transport/transfer_driver.h"

namespace corvane::testing {

// A stand-in for the network that the test drives: attempts begin and stay
// in flight until the test completes, fails or moves them, in any order and
// interleaving, between turns of the loop or from a hook run at every poll.
// Rules answer matching attempts by themselves. A wait with attempts in
// flight returns at once (moving them is the test's part); a wait with none
// in flight is a pause of the loop, and moves the installed Env's clock (a
// FakeEnv's) by its length.
class FakeTransfers : public TransferDriver {
 public:
  struct Started {
    Transfer* transfer;
    std::string url;
    std::string method;
    std::vector<std::string> headerLines;  // as the attempt sent them
    bool inFlight = true;
    bool abandoned = false;
    bool stallRuleLifted = false;
  };

  // Every attempt begun, in order; indices stay valid.
  const std::vector<Started>& started() const { return started_; }
  size_t inFlight() const {
    size_t count = 0;
    for (const Started& attempt : started_) count += attempt.inFlight;
    return count;
  }
  // The in-flight attempts whose URL starts with `prefix`.
  std::vector<size_t> inFlightTo(const std::string& prefix) const {
    std::vector<size_t> found;
    for (size_t i = 0; i < started_.size(); ++i) {
      if (started_[i].inFlight && started_[i].url.rfind(prefix, 0) == 0) found.push_back(i);
    }
    return found;
  }

  // Ends attempt `i`: an answer, after the whole streamed body went out;
  // `headers` replace the plain status line.
  void complete(size_t i, const std::string& body = "{}", long status = 200,
                const std::string& headers = {}) {
    Started& attempt = started_.at(i);
    if (!attempt.inFlight) return;
    Transfer& transfer = *attempt.transfer;
    sendBody(transfer, static_cast<uint64_t>(-1));
    std::string statusLine =
        headers.empty() ? "HTTP/1.1 " + std::to_string(status) + " X\r\n\r\n" : headers;
    if (transfer.headers) captureResponse(statusLine.data(), 1, statusLine.size(), transfer.headers);
    std::string copy = body;
    if (transfer.body) captureRawResponse(copy.data(), 1, copy.size(), transfer.body);
    end(i, CURLE_OK, status);
  }
  // Ends attempt `i` as a failed transfer, with libcurl's `detail` words
  // when given.
  void fail(size_t i, CURLcode code = CURLE_RECV_ERROR, long status = 0,
            const std::string& detail = {}) {
    end(i, code, status, detail);
  }
  // Moves up to `bytes` more of attempt `i`'s body out (a form or JSON body
  // at once; a streamed one through the read callback libcurl would call,
  // less when the callback pauses the transfer for its send budget).
  void progress(size_t i, uint64_t bytes) { sendBody(*started_.at(i).transfer, bytes); }

  // Answers every attempt whose URL starts with `prefix` with `body`, at the
  // poll after it began.
  void answer(const std::string& prefix, const std::string& body) {
    rules_.push_back({prefix, body});
  }
  // Runs at every poll, before the ended attempts are handed over.
  std::function<void(FakeTransfers&)> onPoll;
  // Every wait asked for with nothing in flight (a pause), in order.
  std::vector<int64_t> waits;
  // "host:port" of the proxy every attempt goes through; empty: direct.
  std::string proxy;
  // The wait asked for at the last poll, in flight or not.
  int64_t lastWait = -1;
  // The attempts resumed after their read callback paused them, in order.
  std::vector<Transfer*> resumed;

  bool begin(Transfer& transfer) override {
    started_.push_back({&transfer, transfer.request.url, transfer.request.method,
                        transfer.request.headerLines.value_or(std::vector<std::string>{})});
    return true;
  }
  void abandon(Transfer& transfer) override {
    for (Started& attempt : started_) {
      if (attempt.transfer == &transfer && attempt.inFlight) {
        attempt.inFlight = false;
        attempt.abandoned = true;
      }
    }
  }
  void liftStallRule(Transfer& transfer) override {
    for (Started& attempt : started_) {
      if (attempt.transfer == &transfer && attempt.inFlight) attempt.stallRuleLifted = true;
    }
  }
  void resume(Transfer& transfer) override { resumed.push_back(&transfer); }
  std::vector<AttemptEnd> poll(int64_t waitMilliseconds) override {
    for (size_t i = 0; i < started_.size(); ++i) {
      for (const Rule& rule : rules_) {
        if (started_[i].inFlight && started_[i].url.rfind(rule.prefix, 0) == 0) {
          complete(i, rule.body);
        }
      }
    }
    if (onPoll) onPoll(*this);
    lastWait = waitMilliseconds;
    std::vector<AttemptEnd> ended;
    ended.swap(ended_);
    if (ended.empty() && waitMilliseconds > 0 && inFlight() == 0) {
      waits.push_back(waitMilliseconds);
      Env::current().sleepMilliseconds(waitMilliseconds);
    }
    return ended;
  }

 private:
  struct Rule {
    std::string prefix;
    std::string body;
  };

  static void sendBody(Transfer& transfer, uint64_t bytes) {
    if (const auto& fields = transfer.request.postFields; fields && !transfer.upload) {
      transfer.sentBytes += std::min<uint64_t>(bytes, fields->size() - transfer.sentBytes);
      return;
    }
    // libcurl reads nothing of a paused transfer until it is resumed.
    if (!transfer.upload || transfer.pausedForBudget) return;
    char block[4096];
    while (bytes > 0) {
      size_t want = static_cast<size_t>(std::min<uint64_t>(sizeof block, bytes));
      size_t got = readTransferBody(block, 1, want, &transfer);
      if (got == 0 || got == CURL_READFUNC_ABORT || got == CURL_READFUNC_PAUSE) break;
      transfer.sentBytes += got;
      bytes -= got;
    }
  }

  void end(size_t i, CURLcode result, long status, const std::string& detail = {}) {
    Started& attempt = started_.at(i);
    if (!attempt.inFlight) return;
    attempt.inFlight = false;
    ended_.push_back(AttemptEnd{attempt.transfer, result, status, detail, proxy});
  }

  std::vector<Started> started_;
  std::vector<AttemptEnd> ended_;
  std::vector<Rule> rules_;
};

}  // namespace corvane::testing
