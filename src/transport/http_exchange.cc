#include "transport/http_exchange.h"

#include <cstring>
#include <iostream>
#include <memory>

#include "platform/env.h"
#include "text/local_codepage.h"
#include "transport/log_source.h"
#include "transport/url_text.h"

namespace corvane {
namespace {

constexpr int kMaxRetry = 32;
constexpr int64_t kRetryPauseMilliseconds = 2000;
// Streamed bodies go to libcurl in large blocks: fewer callbacks and reads.
constexpr long kUploadBufferSize = 512 * 1024;

using EasyHandle = std::unique_ptr<CURL, decltype(&curl_easy_cleanup)>;
using HeaderList = std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)>;

CURLcode performWithCurl(Transfer& transfer) { return curl_easy_perform(transfer.handle); }

TransferPerformer& installedPerformer() {
  static TransferPerformer performer = performWithCurl;
  return performer;
}

int seekRequestBody(void* source, curl_off_t offset, int origin) {
  if (origin != SEEK_SET || offset < 0) return CURL_SEEKFUNC_CANTSEEK;
  auto* body = static_cast<BodySource*>(source);
  return body->seek(static_cast<uint64_t>(offset)) ? CURL_SEEKFUNC_OK : CURL_SEEKFUNC_FAIL;
}

// Builds the libcurl list; false when an entry could not be appended.
bool buildHeaderList(const std::vector<std::string>& lines, HeaderList& list) {
  for (const std::string& line : lines) {
    curl_slist* extended = curl_slist_append(list.get(), line.c_str());
    if (!extended) return false;
    list.release();
    list.reset(extended);
  }
  return true;
}

void setCommonOptions(CURL* handle, const HttpRequest& request) {
  curl_easy_setopt(handle, CURLOPT_URL, request.url.c_str());
  curl_easy_setopt(handle, CURLOPT_CUSTOMREQUEST, request.method.c_str());
  // Only web protocols, redirects included: a URL handed over by a service
  // must never reach local files or any other protocol.
  curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  if (request.timeoutSeconds > 0) curl_easy_setopt(handle, CURLOPT_TIMEOUT, request.timeoutSeconds);
  if (request.followLocation) curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 1L);
  if (request.defaultHttps) curl_easy_setopt(handle, CURLOPT_DEFAULT_PROTOCOL, "https");
  if (request.failOnHttpError) curl_easy_setopt(handle, CURLOPT_FAILONERROR, 1L);
  if (request.postFields) curl_easy_setopt(handle, CURLOPT_POSTFIELDS, request.postFields->c_str());
}

void setUploadOptions(CURL* handle, BodySource* upload) {
  curl_easy_setopt(handle, CURLOPT_UPLOAD, 1L);
  curl_easy_setopt(handle, CURLOPT_READFUNCTION, readRequestBody);
  curl_easy_setopt(handle, CURLOPT_READDATA, upload);
  curl_easy_setopt(handle, CURLOPT_SEEKFUNCTION, seekRequestBody);
  curl_easy_setopt(handle, CURLOPT_SEEKDATA, upload);
  curl_easy_setopt(handle, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(upload->length()));
  curl_easy_setopt(handle, CURLOPT_UPLOAD_BUFFERSIZE, kUploadBufferSize);
}

void setCaptureOptions(CURL* handle, std::string* body, std::string* headers) {
  if (body) {
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, captureResponse);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, body);
  }
  if (headers) {
    curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, captureResponse);
    curl_easy_setopt(handle, CURLOPT_HEADERDATA, headers);
  }
}

// Every attempt starts clean: empty captures and the body at its first byte.
CURLcode attemptOnce(Transfer& transfer) {
  if (transfer.body) transfer.body->clear();
  if (transfer.headers) transfer.headers->clear();
  if (transfer.upload) transfer.upload->rewind();
  return installedPerformer()(transfer);
}

}  // namespace

void installTransferPerformer(TransferPerformer performer) {
  installedPerformer() = performer ? std::move(performer) : TransferPerformer(performWithCurl);
}

CURLcode performWithRetry(const std::function<CURLcode()>& attempt, const std::string& url) {
  CURLcode result = CURLE_OK;
  for (int count = 0;; ++count) {
    if (count > kMaxRetry) {
      UPLOAD_LOG(ERROR) << redactUrl(url) << " connect failed!!! max retry " << kMaxRetry;
      return result;
    }
    if (count > 1) {
      UPLOAD_LOG(ERROR) << redactUrl(url) << " connect failed!!! retry " << count;
      Env::current().sleepMilliseconds(kRetryPauseMilliseconds);
    }
    result = attempt();
    if (result == CURLE_OK) return CURLE_OK;
  }
}

HttpResponse performRequest(const HttpRequest& request) {
  HttpResponse response;
  EasyHandle handle(curl_easy_init(), &curl_easy_cleanup);
  if (!handle) return response;
  HeaderList headerList(nullptr, &curl_slist_free_all);
  if (request.headerLines && !buildHeaderList(*request.headerLines, headerList)) return response;

  setCommonOptions(handle.get(), request);
  if (headerList) curl_easy_setopt(handle.get(), CURLOPT_HTTPHEADER, headerList.get());
  if (request.upload) setUploadOptions(handle.get(), request.upload);
  Transfer transfer{request, handle.get(), request.captureBody ? &response.body : nullptr,
                    request.captureHeaders ? &response.headers : nullptr, request.upload};
  setCaptureOptions(handle.get(), transfer.body, transfer.headers);

  response.result = performWithRetry([&transfer] { return attemptOnce(transfer); }, request.url);
  return response;
}

size_t captureResponse(char* data, size_t size, size_t count, void* buffer) {
  size_t total = size * count;
  const void* nul = std::memchr(data, '\0', total);
  size_t kept = nul ? static_cast<size_t>(static_cast<const char*>(nul) - data) : total;
  static_cast<std::string*>(buffer)->append(data, kept);
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
  return body;
}

}  // namespace corvane
