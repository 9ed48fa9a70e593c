#pragma once

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "transport/transfer_driver.h"
#include "transport/transfer_loop.h"
#include "upload/run_context.h"

namespace corvane::testing {

// Stands in for the network: each attempt takes the next scripted step at
// once, when it begins, and records what the request sent. A wait with
// nothing ended goes to the installed Env as a pause.
class ScriptedTransfers : public TransferDriver {
 public:
  using Step = std::function<CURLcode(Transfer&)>;

  ScriptedTransfers() = default;
  ScriptedTransfers(const ScriptedTransfers&) = delete;
  ScriptedTransfers& operator=(const ScriptedTransfers&) = delete;

  // Queues steps; when the queue is empty an attempt fails to connect.
  void then(Step step) { steps_.push_back(std::move(step)); }
  void thenRespond(const std::string& body, const std::string& headers = "HTTP/1.1 200 OK\r\n\r\n");
  // A PUT refused with `status` under CURLOPT_FAILONERROR.
  void thenRefuse(long status);
  void thenFail(CURLcode code = CURLE_COULDNT_CONNECT, size_t uploadBytesBeforeFailing = 0);

  struct Attempt {
    std::string method;
    std::string url;
    std::vector<std::string> headerLines;
    std::string postFields;
    std::string uploaded;  // bytes read from the streamed body
    bool hadHeaderList = false;
    bool failOnHttpError = false;
  };
  const std::vector<Attempt>& attempts() const { return attempts_; }

  // Feeds `text` to the capture callbacks in chunks of `chunk` bytes.
  static void deliver(const std::string& text, CaptureBuffer* buffer, size_t chunk = 7);
  // Drains up to `limit` bytes from the request's streamed body and records
  // them as sent by the current attempt.
  std::string drain(Transfer& transfer, size_t limit = static_cast<size_t>(-1));

  bool begin(Transfer& transfer) override;
  void abandon(Transfer& transfer) override;
  void liftStallRule(Transfer&) override {}
  void resume(Transfer&) override {}
  std::vector<AttemptEnd> poll(int64_t waitMilliseconds) override;

 private:
  std::vector<Step> steps_;
  size_t next_ = 0;
  std::vector<Attempt> attempts_;
  std::vector<AttemptEnd> ended_;
  // The status line of what the current attempt delivered.
  std::string deliveredHeaders_;
};

// Scripted transfers with the loop and the run context an uploader under
// test works with.
struct ScriptedRun {
  ScriptedTransfers network;
  RunControls controls;
  TransferLoop loop{network, controls};
  RunContext context{loop};
};

}  // namespace corvane::testing
