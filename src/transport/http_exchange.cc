#include "transport/http_exchange.h"

#include <cstring>
#include <iostream>

#include "text/local_codepage.h"
#include "transport/transfer_loop.h"

namespace corvane {
namespace {

TransferPerformer& performerSlot() {
  static TransferPerformer performer;
  return performer;
}

}  // namespace

void installTransferPerformer(TransferPerformer performer) { performerSlot() = std::move(performer); }

const TransferPerformer& installedTransferPerformer() { return performerSlot(); }

HttpResponse performRequest(const HttpRequest& request) {
  if (TransferLoop* loop = TransferLoop::active()) return loop->perform(request);
  TransferLoop own;
  return own.perform(request);
}

size_t captureResponse(char* data, size_t size, size_t count, void* buffer) {
  auto* capture = static_cast<CaptureBuffer*>(buffer);
  size_t total = size * count;
  const void* nul = std::memchr(data, '\0', total);
  size_t kept = nul ? static_cast<size_t>(static_cast<const char*>(nul) - data) : total;
  if (capture->text.size() + kept > kMaxCapturedBytes) {
    capture->overflowed = true;
    return 0;
  }
  capture->text.append(data, kept);
  return total;
}

size_t readRequestBody(char* destination, size_t size, size_t count, void* source) {
  BodySource::ReadResult read = static_cast<BodySource*>(source)->read(destination, size * count);
  if (read.status == BodySource::ReadStatus::kFailed) return CURL_READFUNC_ABORT;
  return read.bytes;
}

std::string dumpResponse(const std::string& operation, const HttpResponse& response) {
  std::string body = utf8ToLocal(response.body);
  std::cout << operation << " CURLOPT_WRITEFUNCTION out:\n" << body << '\n' << std::flush;
  std::cout << operation << " CURLOPT_HEADERFUNCTION out:\n"
            << utf8ToLocal(response.headers) << '\n'
            << std::flush;
  // Judged from the UTF-8 text: in GBK, many common characters end in the
  // byte of "\", which JSON reads as an escape. An answer without a form in
  // the local code page is judged as the empty text it converts to.
  return body.empty() ? std::string() : response.body;
}

}  // namespace corvane
