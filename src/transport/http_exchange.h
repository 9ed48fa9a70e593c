#pragma once

#include <curl/curl.h>

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "transport/body_source.h"

namespace corvane {

// Streamed bodies go to libcurl in large blocks: fewer callbacks and reads.
inline constexpr long kDefaultUploadBufferBytes = 512 * 1024;

// One request described as data; performRequest() runs it.
struct HttpRequest {
  std::string method;  // sent as CURLOPT_CUSTOMREQUEST
  std::string url;
  // Complete header lines, in order; no header list at all when absent.
  std::optional<std::vector<std::string>> headerLines;
  // A NUL-terminated form or JSON body (CURLOPT_POSTFIELDS).
  std::optional<std::string> postFields;
  // A body streamed from a file window (CURLOPT_UPLOAD); not owned, and kept
  // alive by the caller until the request has finished.
  BodySource* upload = nullptr;
  long timeoutSeconds = 0;       // 0: no CURLOPT_TIMEOUT
  // An attempt moving fewer than 1 KiB per second for this long is cut and
  // counts as failed; 0: never.
  long stallSeconds = 0;
  bool followLocation = false;   // CURLOPT_FOLLOWLOCATION
  bool defaultHttps = false;     // CURLOPT_DEFAULT_PROTOCOL "https"
  bool captureBody = true;       // off: libcurl writes the body to stdout
  bool captureHeaders = true;
  bool failOnHttpError = false;  // CURLOPT_FAILONERROR
  // Off: a streamed body goes out at once, without waiting for
  // "100 Continue".
  bool expectContinue = true;
  // libcurl's buffer for a streamed body (CURLOPT_UPLOAD_BUFFERSIZE).
  long uploadBufferBytes = kDefaultUploadBufferBytes;
};

// Answers larger than this are not kept: the request fails at once.
inline constexpr size_t kMaxCapturedBytes = 4 * 1024 * 1024;

// A response body or header text as it is captured.
struct CaptureBuffer {
  std::string text;
  bool overflowed = false;  // the answer grew past kMaxCapturedBytes
};

// What a request brought back. The texts are only meaningful when result is
// CURLE_OK; they hold the last attempt's capture.
struct HttpResponse {
  CURLcode result = CURLE_FAILED_INIT;
  std::string body;
  std::string headers;
};

// Runs one request, with up to 33 attempts: the second at once, each later
// one after a 2-second pause (through Env) and an ERROR line; every failed
// attempt logs its cause first. Inside a running TransferLoop the request
// joins that loop's transfers; otherwise it gets a connection of its own.
// CURLE_FAILED_INIT when no handle could be created.
HttpResponse performRequest(const HttpRequest& request);

// libcurl write/header callback over a CaptureBuffer at `buffer`: appends the
// chunk up to its first NUL byte and reports the whole chunk as taken; 0,
// which ends the transfer, once the answer outgrows kMaxCapturedBytes.
size_t captureResponse(char* data, size_t size, size_t count, void* buffer);

// libcurl read callback over a BodySource at `source`: the bytes placed,
// 0 at the end of the window, CURL_READFUNC_ABORT when the file ended early
// or failed, so a short body is never sent as if it were whole.
size_t readRequestBody(char* destination, size_t size, size_t count, void* source);

// What one attempt works with: the handle and the places the callbacks fill.
struct Transfer {
  const HttpRequest& request;
  CURL* handle;
  CaptureBuffer* body;     // nullptr when the body is not captured
  CaptureBuffer* headers;  // nullptr when the headers are not captured
  BodySource* upload;      // nullptr when nothing is streamed
};

// Performs one attempt to its end in place of the network. Tests install
// their own; without one, attempts run through libcurl's multi interface.
using TransferPerformer = std::function<CURLcode(Transfer&)>;
// Installs `performer` for the process; an empty one restores the network.
void installTransferPerformer(TransferPerformer performer);
// The installed performer; empty when attempts go to the network.
const TransferPerformer& installedTransferPerformer();

// Prints "<operation> CURLOPT_WRITEFUNCTION out:", the body converted to the
// local code page, then the same for the header text, to standard output.
// Returns the text the answer is judged from: the body as it arrived (UTF-8),
// or the empty text when the body has no form in the local code page.
std::string dumpResponse(const std::string& operation, const HttpResponse& response);

}  // namespace corvane
