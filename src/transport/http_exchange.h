#pragma once

#include <curl/curl.h>

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "transport/body_source.h"

namespace corvane {

// One request described as data; performRequest() runs it.
struct HttpRequest {
  std::string method;  // sent as CURLOPT_CUSTOMREQUEST
  std::string url;
  // Complete header lines, in order; no header list at all when absent.
  std::optional<std::vector<std::string>> headerLines;
  // A NUL-terminated form or JSON body (CURLOPT_POSTFIELDS).
  std::optional<std::string> postFields;
  // A body streamed from a file window (CURLOPT_UPLOAD); not owned.
  BodySource* upload = nullptr;
  long timeoutSeconds = 0;       // 0: no CURLOPT_TIMEOUT
  bool followLocation = false;   // CURLOPT_FOLLOWLOCATION
  bool defaultHttps = false;     // CURLOPT_DEFAULT_PROTOCOL "https"
  bool captureBody = true;       // off: libcurl writes the body to stdout
  bool captureHeaders = true;
  bool failOnHttpError = false;  // CURLOPT_FAILONERROR
};

// What a request brought back. The texts are only meaningful when result is
// CURLE_OK; they hold the last attempt's capture.
struct HttpResponse {
  CURLcode result = CURLE_FAILED_INIT;
  std::string body;
  std::string headers;
};

// Runs one request on a handle of its own, with the retry of
// performWithRetry(). CURLE_FAILED_INIT when no handle could be created.
HttpResponse performRequest(const HttpRequest& request);

// Calls `attempt` up to 33 times until it returns CURLE_OK, with the log
// lines and the 2-second pauses (through Env) before the third and later
// attempts. Returns the last attempt's result. `url` is only logged, redacted.
CURLcode performWithRetry(const std::function<CURLcode()>& attempt, const std::string& url);

// libcurl write/header callback: appends the chunk up to its first NUL byte
// to the std::string at `buffer`; always reports the whole chunk as taken.
size_t captureResponse(char* data, size_t size, size_t count, void* buffer);

// libcurl read callback over a BodySource at `source`: the bytes placed,
// 0 at the end of the window, CURL_READFUNC_ABORT when the file ended early
// or failed, so a short body is never sent as if it were whole.
size_t readRequestBody(char* destination, size_t size, size_t count, void* source);

// What one attempt works with: the handle and the places the callbacks fill.
struct Transfer {
  const HttpRequest& request;
  CURL* handle;
  std::string* body;     // nullptr when the body is not captured
  std::string* headers;  // nullptr when the headers are not captured
  BodySource* upload;    // nullptr when nothing is streamed
};

// Performs one attempt; the real one calls curl_easy_perform. Tests install
// their own to stand in for the network.
using TransferPerformer = std::function<CURLcode(Transfer&)>;
// Installs `performer` for the process; an empty one restores the real one.
void installTransferPerformer(TransferPerformer performer);

// Prints "<operation> CURLOPT_WRITEFUNCTION out:", the body converted to the
// local code page, then the same for the header text, to standard output.
// Returns the converted body, which the caller parses.
std::string dumpResponse(const std::string& operation, const HttpResponse& response);

}  // namespace corvane
