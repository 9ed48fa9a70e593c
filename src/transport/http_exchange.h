#pragma once

#include <curl/curl.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "transport/body_source.h"

namespace corvane {

// Streamed bodies go to libcurl in large blocks: fewer callbacks and reads.
inline constexpr long kDefaultUploadBufferBytes = 512 * 1024;

// One request described as data; the transfer loop runs it.
struct HttpRequest {
  std::string method;  // sent as CURLOPT_CUSTOMREQUEST
  std::string url;
  // Complete header lines, in order; no header list at all when absent.
  std::optional<std::vector<std::string>> headerLines;
  // Header lines made afresh as each attempt starts and sent after
  // headerLines: a gateway signature, whose nonce and timestamp no two
  // attempts may share. Requests carrying them are the signed ones.
  std::function<std::vector<std::string>()> attemptHeaderLines;
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
  bool captureBody = true;
  // Keeps every byte of the body, NULs included (the text capture stops each
  // chunk at its first NUL).
  bool rawBody = false;
  bool captureHeaders = true;
  bool failOnHttpError = false;  // CURLOPT_FAILONERROR
  // Off: a streamed body goes out at once, without waiting for
  // "100 Continue".
  bool expectContinue = true;
  // libcurl's buffer for a streamed body (CURLOPT_UPLOAD_BUFFERSIZE).
  long uploadBufferBytes = kDefaultUploadBufferBytes;
  // An answer larger than kMaxCapturedBytes ends the request at once (no
  // later attempt would bring a smaller one); off, it is a failed attempt.
  bool oversizeIsFinal = true;
  // A JSON service behind gateways: an answer of 429, 502, 503 or 504 whose
  // body is no JSON object is a gateway's page, a failed attempt retried
  // like a failed transfer (after its Retry-After, up to 60 seconds). Any
  // other answer that is no JSON object gets a cause line naming its status.
  bool gatewayPagesAreFailures = false;
  // A refusal of the URL itself (HTTP 401 or 403 under failOnHttpError)
  // ends the request at once, so that its caller can ask for a new URL.
  bool endOnRefusal = false;
  // Once an attempt's body has been sent in full, its whole answer must have
  // come within this many seconds, or the attempt is cut and counts as
  // failed; 0: no such limit.
  long answerSeconds = 0;
  // The request creates something in the store (the merge, the direct
  // upload): once an attempt's body has been sent in full, the service may
  // be acting on it, so the stall rule no longer cuts that attempt (only
  // answerSeconds does) and a stop lets it finish instead of abandoning it.
  bool createsItem = false;
};

// Answers larger than this are not kept.
inline constexpr size_t kMaxCapturedBytes = 4 * 1024 * 1024;

// A response body or header text as it is captured.
struct CaptureBuffer {
  std::string text;
  // Every byte received, NULs included: what the cap counts.
  uint64_t received = 0;
  bool overflowed = false;  // the answer grew past kMaxCapturedBytes
};

// How a request ended.
enum class RequestOutcome {
  kCompleted,      // an answer came (result CURLE_OK)
  kAttemptsSpent,  // every attempt failed
  kHopeless,       // a failure no later attempt could mend
  kRefused,        // the URL was refused (endOnRefusal)
  kCancelled,      // the run was stopped
  kNoHandle,       // libcurl gave no handle: nothing was sent
};

// What a request brought back. The texts are only meaningful when result is
// CURLE_OK; they hold the last attempt's capture.
struct HttpResponse {
  CURLcode result = CURLE_FAILED_INIT;
  RequestOutcome outcome = RequestOutcome::kNoHandle;
  long status = 0;  // HTTP status of the last answer; 0 when none came
  std::string body;
  std::string headers;
  // Why the last failed attempt failed, as its log line says, or why the
  // answer of a JSON service is none ("HTTP 401 from the service, not
  // JSON"); empty otherwise.
  std::string cause;
  // Attempts that sent their body in full and ended without the service's
  // answer: the service may have acted on them.
  int unansweredAttempts = 0;
};

// libcurl write/header callback over a CaptureBuffer at `buffer`: appends the
// chunk up to its first NUL byte and reports the whole chunk as taken; 0,
// which ends the transfer, once the bytes received (all of them, NULs
// included) outgrow kMaxCapturedBytes.
size_t captureResponse(char* data, size_t size, size_t count, void* buffer);
// As captureResponse, keeping every byte of the chunk.
size_t captureRawResponse(char* data, size_t size, size_t count, void* buffer);

// libcurl read callback over a BodySource at `source`: the bytes placed,
// 0 at the end of the window, CURL_READFUNC_ABORT when the file ended early
// or failed, so a short body is never sent as if it were whole.
size_t readRequestBody(char* destination, size_t size, size_t count, void* source);

// Writes `text` to standard output and flushes it. Once standard output is
// closed (a caller that stopped reading), one WARNING, and the text is
// dropped.
void writeStandardOutput(const std::string& text);

// The value of `name` (lower case) in the last header block of `headers`;
// empty when that block has no such line.
std::string lastHeaderValue(const std::string& headers, const std::string& name);

// Prints "<operation> CURLOPT_WRITEFUNCTION out:", `body` converted to the
// local code page, then the same for the header text, to standard output.
void dumpResponse(const std::string& operation, const std::string& body,
                  const std::string& headers);
// The same for an answer as it came. Returns its body as it arrived (UTF-8),
// the text the answer is judged from: in GBK many common characters end in
// the byte of "\", which JSON would read as an escape.
std::string dumpResponse(const std::string& operation, const HttpResponse& response);

}  // namespace corvane
