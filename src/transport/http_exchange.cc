#include "transport/http_exchange.h"

#include <cctype>
#include <cstring>
#include <iostream>

#include "text/local_codepage.h"
#include "transport/log_source.h"

namespace corvane {
namespace {

// The cap counts every byte that came, not only those kept: an answer of
// NULs must end like any other.
size_t capture(const char* data, size_t kept, size_t total, CaptureBuffer& buffer) {
  buffer.received += total;
  if (buffer.received > kMaxCapturedBytes) {
    buffer.overflowed = true;
    return 0;
  }
  buffer.text.append(data, kept);
  return total;
}

std::string lowered(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

}  // namespace

size_t captureResponse(char* data, size_t size, size_t count, void* buffer) {
  size_t total = size * count;
  const void* nul = std::memchr(data, '\0', total);
  size_t kept = nul ? static_cast<size_t>(static_cast<const char*>(nul) - data) : total;
  return capture(data, kept, total, *static_cast<CaptureBuffer*>(buffer));
}

size_t captureRawResponse(char* data, size_t size, size_t count, void* buffer) {
  size_t total = size * count;
  return capture(data, total, total, *static_cast<CaptureBuffer*>(buffer));
}

size_t readRequestBody(char* destination, size_t size, size_t count, void* source) {
  BodySource::ReadResult read = static_cast<BodySource*>(source)->read(destination, size * count);
  if (read.status == BodySource::ReadStatus::kFailed) return CURL_READFUNC_ABORT;
  return read.bytes;
}

void writeStandardOutput(const std::string& text) {
  // Said once: a caller that closed its end of standard output loses the
  // dumps and marks, and the run goes on.
  static bool warned = false;
  std::cout << text << std::flush;
  if (std::cout.good() || warned) return;
  warned = true;
  UPLOAD_LOG(WARNING) << "standard output is closed; its dumps and marks are dropped";
}

void dumpResponse(const std::string& operation, const std::string& body,
                  const std::string& headers) {
  writeStandardOutput(operation + " CURLOPT_WRITEFUNCTION out:\n" + utf8ToLocal(body) + '\n');
  writeStandardOutput(operation + " CURLOPT_HEADERFUNCTION out:\n" + utf8ToLocal(headers) + '\n');
}

std::string dumpResponse(const std::string& operation, const HttpResponse& response) {
  dumpResponse(operation, response.body, response.headers);
  return response.body;
}

std::string lastHeaderValue(const std::string& headers, const std::string& name) {
  std::string value;
  size_t at = 0;
  while (at < headers.size()) {
    size_t end = headers.find('\n', at);
    std::string line = headers.substr(at, end == std::string::npos ? end : end - at);
    at = end == std::string::npos ? headers.size() : end + 1;
    if (line.rfind("HTTP/", 0) == 0) value.clear();  // a new block begins
    size_t colon = line.find(':');
    if (colon == std::string::npos || lowered(line.substr(0, colon)) != name) continue;
    size_t first = line.find_first_not_of(" \t", colon + 1);
    size_t last = line.find_last_not_of(" \t\r");
    value = first == std::string::npos ? std::string() : line.substr(first, last - first + 1);
  }
  return value;
}

}  // namespace corvane
