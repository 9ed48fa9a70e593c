#include "support/scripted_transfers.h"

#include <algorithm>

namespace corvane::testing {

ScriptedTransfers::ScriptedTransfers() {
  installTransferPerformer([this](Transfer& transfer) { return perform(transfer); });
}

ScriptedTransfers::~ScriptedTransfers() { installTransferPerformer(nullptr); }

void ScriptedTransfers::deliver(const std::string& text, CaptureBuffer* buffer, size_t chunk) {
  if (!buffer) return;
  for (size_t at = 0; at < text.size(); at += chunk) {
    std::string piece = text.substr(at, chunk);
    captureResponse(piece.data(), 1, piece.size(), buffer);
  }
}

std::string ScriptedTransfers::drain(Transfer& transfer, size_t limit) {
  std::string sent;
  if (!transfer.upload) return sent;
  char block[1000];
  while (sent.size() < limit) {
    size_t want = std::min(sizeof block, limit - sent.size());
    size_t got = readRequestBody(block, 1, want, transfer.upload);
    if (got == 0 || got == CURL_READFUNC_ABORT) break;
    sent.append(block, got);
  }
  if (!attempts_.empty()) attempts_.back().uploaded += sent;
  return sent;
}

void ScriptedTransfers::thenRespond(const std::string& body, const std::string& headers) {
  then([this, body, headers](Transfer& transfer) {
    drain(transfer);
    deliver(headers, transfer.headers);
    deliver(body, transfer.body);
    return CURLE_OK;
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

CURLcode ScriptedTransfers::perform(Transfer& transfer) {
  const HttpRequest& request = transfer.request;
  Attempt attempt{request.method, request.url, request.headerLines.value_or(std::vector<std::string>{}),
                  request.postFields.value_or(""), "", request.headerLines.has_value(),
                  request.failOnHttpError};
  attempts_.push_back(attempt);
  if (next_ >= steps_.size()) return CURLE_COULDNT_CONNECT;
  return steps_[next_++](transfer);
}

}  // namespace corvane::testing
