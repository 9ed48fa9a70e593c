#pragma once

#include <curl/curl.h>

#include <cstdint>
#include <string>
#include <vector>

#include "transport/http_exchange.h"
#include "transport/send_budget.h"

namespace corvane {

// One attempt of a request as a driver runs it: what to send and where the
// answer goes. The transfer loop owns it for the attempt's whole life.
struct Transfer {
  const HttpRequest& request;
  CaptureBuffer* body;     // nullptr when the body is not captured
  CaptureBuffer* headers;  // nullptr when the headers are not captured
  BodySource* upload;      // nullptr when nothing is streamed
  // Body bytes this attempt has sent so far (streamed or a form or JSON
  // body), kept up by the driver.
  uint64_t sentBytes = 0;
  // The run's send budget the body draws from as it is read; nullptr: no cap.
  SendBudget* budget = nullptr;
  SendBudget::Share share{};
  // Set by the read callback when the budget had nothing for the body: the
  // transfer is paused until the loop resumes it.
  bool pausedForBudget = false;
};

// libcurl read callback over the Transfer at `transfer`: readRequestBody
// over its body, drawing what it reads from its send budget;
// CURL_READFUNC_PAUSE (and pausedForBudget) when the budget has nothing for
// it now.
size_t readTransferBody(char* destination, size_t size, size_t count, void* transfer);

// How an attempt ended.
struct AttemptEnd {
  Transfer* transfer;
  CURLcode result;
  long status = 0;     // HTTP status of the final answer; 0 when none came
  std::string detail;  // libcurl's own words for a failure, when it has them
  // "host:port" of the proxy the attempt went through; empty when direct.
  std::string proxy;
};

// Runs the attempts the transfer loop hands it, side by side, and tells which
// ended: the network (CurlDriver), or a test's stand-in for it. The loop
// keeps the retries, pauses and judgement; a driver only moves bytes.
class TransferDriver {
 public:
  virtual ~TransferDriver() = default;

  // Starts one attempt. False when it cannot start (libcurl gives no
  // handle): nothing was sent, and poll() never reports it.
  virtual bool begin(Transfer& transfer) = 0;
  // Ends an attempt in flight at once; poll() never reports it.
  virtual void abandon(Transfer& transfer) = 0;
  // No longer cuts an attempt in flight for moving too slowly: its body went
  // out in full and the service may take its time to answer.
  virtual void liftStallRule(Transfer& transfer) = 0;
  // Lets an attempt paused by its read callback (for the send budget) go on.
  virtual void resume(Transfer& transfer) = 0;
  // Moves the attempts on and returns those that ended. When none ended at
  // once it waits up to `waitMilliseconds` for one first, also when nothing
  // is in flight: this is how the loop sits out a pause. It may return
  // earlier, so that the loop can look at its stop flag.
  virtual std::vector<AttemptEnd> poll(int64_t waitMilliseconds) = 0;
};

}  // namespace corvane
