#include "support/scripted_transfers.h"

#include <algorithm>
#include <cstdlib>

#include "platform/env.h"

namespace corvane::testing {
namespace {

// The status of the last "HTTP/x nnn" line in `headers`; 0 when none.
long statusOf(const std::string& headers) {
  long status = 0;
  for (size_t at = headers.find("HTTP/"); at != std::string::npos;
       at = headers.find("HTTP/", at + 1)) {
    if (at != 0 && headers[at - 1] != '\n') continue;
    size_t blank = headers.find(' ', at);
    if (blank != std::string::npos) status = std::strtol(headers.c_str() + blank + 1, nullptr, 10);
  }
  return status;
}

}  // namespace

void ScriptedTransfers::deliver(const std::string& text, CaptureBuffer* buffer, size_t chunk) {
  if (!buffer) return;
  for (size_t at = 0; at < text.size(); at += chunk) {
    std::string piece = text.substr(at, chunk);
    captureResponse(piece.data(), 1, piece.size(), buffer);
  }
}

std::string ScriptedTransfers::drain(Transfer& transfer, size_t limit) {
  std::string sent;
  if (!transfer.upload) {
    // A form or JSON body goes out whole, or as far as `limit` lets it.
    if (transfer.request.postFields) {
      transfer.sentBytes = std::min(limit, transfer.request.postFields->size());
    }
    return sent;
  }
  char block[1000];
  while (sent.size() < limit) {
    size_t want = std::min(sizeof block, limit - sent.size());
    size_t got = readRequestBody(block, 1, want, transfer.upload);
    if (got == 0 || got == CURL_READFUNC_ABORT) break;
    sent.append(block, got);
  }
  transfer.sentBytes += sent.size();
  if (!attempts_.empty()) attempts_.back().uploaded += sent;
  return sent;
}

void ScriptedTransfers::thenRespond(const std::string& body, const std::string& headers) {
  then([this, body, headers](Transfer& transfer) {
    drain(transfer);
    deliveredHeaders_ = headers;
    deliver(headers, transfer.headers);
    if (transfer.request.rawBody && transfer.body) {
      std::string copy = body;
      captureRawResponse(copy.data(), 1, copy.size(), transfer.body);
    } else {
      deliver(body, transfer.body);
    }
    return CURLE_OK;
  });
}

void ScriptedTransfers::thenRefuse(long status) {
  then([this, status](Transfer& transfer) {
    drain(transfer);
    deliveredHeaders_ = "HTTP/1.1 " + std::to_string(status) + " Refused\r\n\r\n";
    return CURLE_HTTP_RETURNED_ERROR;
  });
}

void ScriptedTransfers::thenFail(CURLcode code, size_t uploadBytesBeforeFailing) {
  then([this, code, uploadBytesBeforeFailing](Transfer& transfer) {
    drain(transfer, uploadBytesBeforeFailing);
    deliver("HTTP/1.1 200 OK\r\npartial", transfer.headers);
    deliver("{\"partial\":", transfer.body);
    return code;
  });
}

bool ScriptedTransfers::begin(Transfer& transfer) {
  const HttpRequest& request = transfer.request;
  Attempt attempt{request.method, request.url, request.headerLines.value_or(std::vector<std::string>{}),
                  request.postFields.value_or(""), "", request.headerLines.has_value(),
                  request.failOnHttpError};
  attempts_.push_back(attempt);
  deliveredHeaders_.clear();
  CURLcode result = next_ < steps_.size() ? steps_[next_++](transfer) : CURLE_COULDNT_CONNECT;
  const std::string& seen =
      transfer.headers && !transfer.headers->text.empty() ? transfer.headers->text : deliveredHeaders_;
  ended_.push_back(AttemptEnd{&transfer, result, statusOf(seen), {}, {}});
  return true;
}

void ScriptedTransfers::abandon(Transfer& transfer) {
  ended_.erase(std::remove_if(ended_.begin(), ended_.end(),
                              [&transfer](const AttemptEnd& end) { return end.transfer == &transfer; }),
               ended_.end());
}

std::vector<AttemptEnd> ScriptedTransfers::poll(int64_t waitMilliseconds) {
  std::vector<AttemptEnd> ended;
  ended.swap(ended_);
  if (ended.empty() && waitMilliseconds > 0) Env::current().sleepMilliseconds(waitMilliseconds);
  return ended;
}

}  // namespace corvane::testing
