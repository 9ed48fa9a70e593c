#include "transport/curl_driver.h"

#include <algorithm>
#include <filesystem>

#include "platform/env.h"
#include "platform/root_certificates.h"

namespace corvane {
namespace {

constexpr long kMaxRedirects = 10;
constexpr long kConnectTimeoutSeconds = 30;
constexpr long kStallBytesPerSecond = 1024;

using EasyHandle = std::unique_ptr<CURL, decltype(&curl_easy_cleanup)>;
using HeaderList = std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)>;

int seekRequestBody(void* source, curl_off_t offset, int origin) {
  if (origin != SEEK_SET || offset < 0) return CURL_SEEKFUNC_CANTSEEK;
  auto* body = static_cast<BodySource*>(source);
  return body->seek(static_cast<uint64_t>(offset)) ? CURL_SEEKFUNC_OK : CURL_SEEKFUNC_FAIL;
}

int noteProgress(void* transfer, curl_off_t, curl_off_t, curl_off_t, curl_off_t sent) {
  static_cast<Transfer*>(transfer)->sentBytes = static_cast<uint64_t>(std::max<curl_off_t>(0, sent));
  return 0;
}

// The libcurl list of `lines`; an empty list when an entry could not be
// appended.
HeaderList buildHeaderList(const std::vector<std::string>& lines) {
  HeaderList list(nullptr, &curl_slist_free_all);
  for (const std::string& line : lines) {
    curl_slist* extended = curl_slist_append(list.get(), line.c_str());
    if (!extended) return HeaderList(nullptr, &curl_slist_free_all);
    list.release();
    list.reset(extended);
  }
  return list;
}

std::vector<std::string> headerLinesOf(const HttpRequest& request, bool expectContinue) {
  std::vector<std::string> lines = request.headerLines.value_or(std::vector<std::string>{});
  if (request.upload && !expectContinue) lines.push_back("Expect:");
  return lines;
}

bool wantsHeaderList(const HttpRequest& request, bool expectContinue) {
  return request.headerLines || (request.upload && !expectContinue);
}

// A plain http request, which a proxy forwards itself rather than tunnels.
bool isForwarded(const HttpRequest& request) {
  ProxyTarget target;
  return parseProxyTarget(request.url, request.defaultHttps, target) && target.scheme == "http";
}

void setCommonOptions(CURL* handle, const HttpRequest& request) {
  curl_easy_setopt(handle, CURLOPT_URL, request.url.c_str());
  curl_easy_setopt(handle, CURLOPT_CUSTOMREQUEST, request.method.c_str());
  // Only web protocols, redirects included: a URL handed over by a service
  // must never reach local files or any other protocol.
  curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  // A peer that never answers or vanished is noticed, never waited on for ever.
  curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds);
  curl_easy_setopt(handle, CURLOPT_TCP_KEEPALIVE, 1L);
  if (request.stallSeconds > 0) {
    curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, kStallBytesPerSecond);
    curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME, request.stallSeconds);
  }
  if (request.timeoutSeconds > 0) curl_easy_setopt(handle, CURLOPT_TIMEOUT, request.timeoutSeconds);
  if (request.followLocation) {
    curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(handle, CURLOPT_MAXREDIRS, kMaxRedirects);
  }
  if (request.defaultHttps) curl_easy_setopt(handle, CURLOPT_DEFAULT_PROTOCOL, "https");
  if (request.failOnHttpError) curl_easy_setopt(handle, CURLOPT_FAILONERROR, 1L);
  if (request.postFields) curl_easy_setopt(handle, CURLOPT_POSTFIELDS, request.postFields->c_str());
}

// How far the body has gone, for the run's progress and for the loop to
// know when it went out in full.
void setProgressOptions(CURL* handle, Transfer& transfer) {
  curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, noteProgress);
  curl_easy_setopt(handle, CURLOPT_XFERINFODATA, &transfer);
}

void setUploadOptions(CURL* handle, Transfer& transfer) {
  BodySource* upload = transfer.upload;
  curl_easy_setopt(handle, CURLOPT_UPLOAD, 1L);
  curl_easy_setopt(handle, CURLOPT_READFUNCTION, readTransferBody);
  curl_easy_setopt(handle, CURLOPT_READDATA, &transfer);
  curl_easy_setopt(handle, CURLOPT_SEEKFUNCTION, seekRequestBody);
  curl_easy_setopt(handle, CURLOPT_SEEKDATA, upload);
  curl_easy_setopt(handle, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(upload->length()));
  curl_easy_setopt(handle, CURLOPT_UPLOAD_BUFFERSIZE, transfer.request.uploadBufferBytes);
}

void setCaptureOptions(CURL* handle, const Transfer& transfer) {
  if (transfer.body) {
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION,
                     transfer.request.rawBody ? captureRawResponse : captureResponse);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, transfer.body);
  }
  if (transfer.headers) {
    curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, captureResponse);
    curl_easy_setopt(handle, CURLOPT_HEADERDATA, transfer.headers);
  }
}

// Whether libcurl's defaults name both a CA bundle that exists and a CA
// directory that exists. With both, libcurl parses the whole bundle (some
// 150 certificates, 20 ms of CPU) for every new connection; with the bundle
// alone, once per multi handle, and keeps it parsed (about 1 MiB); with the
// directory alone, OpenSSL reads only the certificate that issued the
// server's, when a connection verifies one (a resumed TLS session verifies
// none). Both hold the same certificates where the system keeps both
// (Debian's ca-certificates, whose directory holds the hashed names OpenSSL
// looks up).
bool defaultsHaveBundleAndDirectory() {
  EasyHandle probe(curl_easy_init(), &curl_easy_cleanup);
  char* bundle = nullptr;
  char* directory = nullptr;
  if (!probe || curl_easy_getinfo(probe.get(), CURLINFO_CAINFO, &bundle) != CURLE_OK ||
      curl_easy_getinfo(probe.get(), CURLINFO_CAPATH, &directory) != CURLE_OK) {
    return false;
  }
  std::error_code error;
  return bundle && directory && Env::current().fileReadProblem(bundle).empty() &&
         std::filesystem::is_directory(directory, error);
}

}  // namespace

// The handle of one attempt and what it points into.
struct CurlDriver::Attempt {
  EasyHandle handle{nullptr, &curl_easy_cleanup};
  HeaderList headerList{nullptr, &curl_slist_free_all};
  char error[CURL_ERROR_SIZE] = {};
  ProxyOptions::Use proxy;
};

CurlDriver::CurlDriver(std::string trustedPem)
    : trustedPem_(std::move(trustedPem)),
      multi_(curl_multi_init()),
      share_(curl_share_init()),
      certificates_(systemRootCertificates),
      ownCertificates_(kTrustSystemCertificateStore),
      directoryOnly_(!kTrustSystemCertificateStore && defaultsHaveBundleAndDirectory()) {
  if (share_) curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
}

CurlDriver::~CurlDriver() {
  for (auto& [transfer, attempt] : attempts_) curl_multi_remove_handle(multi_, attempt->handle.get());
  attempts_.clear();
  if (multi_) curl_multi_cleanup(multi_);
  if (share_) curl_share_cleanup(share_);
}

CURLcode CurlDriver::installCertificates(CURL*, void* context, void* driver) {
  auto& self = *static_cast<CurlDriver*>(driver);
  return self.certificates_.installInto(static_cast<SSL_CTX*>(context)) ? CURLE_OK
                                                                        : CURLE_SSL_CACERT_BADFILE;
}

bool CurlDriver::configure(Attempt& attempt, Transfer& transfer) {
  const HttpRequest& request = transfer.request;
  CURL* h = attempt.handle.get();
  static const ProxyRoute kDirect;
  attempt.proxy = proxyOptions_.apply(
      h, proxies_ ? proxies_->routeFor(request.url, request.defaultHttps) : kDirect,
      isForwarded(request));
  const bool expectContinue = request.expectContinue || attempt.proxy.awaitsChallenge;
  if (wantsHeaderList(request, expectContinue)) {
    attempt.headerList = buildHeaderList(headerLinesOf(request, expectContinue));
    if (!attempt.headerList) return false;
  }
  setCommonOptions(h, request);
  if (attempt.headerList) curl_easy_setopt(h, CURLOPT_HTTPHEADER, attempt.headerList.get());
  setProgressOptions(h, transfer);
  if (transfer.upload) setUploadOptions(h, transfer);
  setCaptureOptions(h, transfer);
  if (ownCertificates_) {
    curl_easy_setopt(h, CURLOPT_SSL_CTX_FUNCTION, installCertificates);
    curl_easy_setopt(h, CURLOPT_SSL_CTX_DATA, this);
  }
  if (directoryOnly_) curl_easy_setopt(h, CURLOPT_CAINFO, nullptr);
  if (!trustedPem_.empty()) {
    curl_blob blob{trustedPem_.data(), trustedPem_.size(), CURL_BLOB_NOCOPY};
    curl_easy_setopt(h, CURLOPT_CAINFO_BLOB, &blob);
    curl_easy_setopt(h, CURLOPT_CAPATH, nullptr);
    curl_easy_setopt(h, CURLOPT_SSL_CTX_FUNCTION, nullptr);
  }
  curl_easy_setopt(h, CURLOPT_ERRORBUFFER, attempt.error);
  curl_easy_setopt(h, CURLOPT_PRIVATE, &transfer);
  if (share_) curl_easy_setopt(h, CURLOPT_SHARE, share_);
  return true;
}

bool CurlDriver::begin(Transfer& transfer) {
  auto attempt = std::make_unique<Attempt>();
  attempt->handle.reset(curl_easy_init());
  if (!multi_ || !attempt->handle || !configure(*attempt, transfer) ||
      curl_multi_add_handle(multi_, attempt->handle.get()) != CURLM_OK) {
    return false;
  }
  attempts_[&transfer] = std::move(attempt);
  return true;
}

void CurlDriver::abandon(Transfer& transfer) {
  auto found = attempts_.find(&transfer);
  if (found == attempts_.end()) return;
  curl_multi_remove_handle(multi_, found->second->handle.get());
  attempts_.erase(found);
}

void CurlDriver::resume(Transfer& transfer) {
  auto found = attempts_.find(&transfer);
  if (found != attempts_.end()) curl_easy_pause(found->second->handle.get(), CURLPAUSE_CONT);
}

void CurlDriver::liftStallRule(Transfer& transfer) {
  auto found = attempts_.find(&transfer);
  if (found == attempts_.end()) return;
  // libcurl reads the speed limit at every check, so this holds at once.
  curl_easy_setopt(found->second->handle.get(), CURLOPT_LOW_SPEED_TIME, 0L);
  curl_easy_setopt(found->second->handle.get(), CURLOPT_LOW_SPEED_LIMIT, 0L);
}

std::vector<AttemptEnd> CurlDriver::poll(int64_t waitMilliseconds) {
  std::vector<AttemptEnd> ended;
  if (!multi_) return ended;
  collect(ended);
  if (!ended.empty() || waitMilliseconds <= 0) return ended;
  if (attempts_.empty()) {
    // Nothing in flight: a pause of the loop, which a stop cuts short.
    Env::current().sleepMilliseconds(waitMilliseconds);
    return ended;
  }
  // A signal cuts the wait short as well.
  curl_multi_poll(multi_, nullptr, 0, static_cast<int>(waitMilliseconds), nullptr);
  collect(ended);
  return ended;
}

void CurlDriver::collect(std::vector<AttemptEnd>& ended) {
  if (attempts_.empty()) return;
  int stillRunning = 0;
  curl_multi_perform(multi_, &stillRunning);
  int left = 0;
  while (CURLMsg* message = curl_multi_info_read(multi_, &left)) {
    if (message->msg != CURLMSG_DONE) continue;
    void* owner = nullptr;
    curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &owner);
    auto* transfer = static_cast<Transfer*>(owner);
    auto found = attempts_.find(transfer);
    if (found == attempts_.end()) continue;
    AttemptEnd end{transfer, message->data.result, 0, found->second->error, {}};
    curl_easy_getinfo(message->easy_handle, CURLINFO_RESPONSE_CODE, &end.status);
    proxyOptions_.readEnd(message->easy_handle, found->second->proxy, end);
    long opened = 0;
    curl_easy_getinfo(message->easy_handle, CURLINFO_NUM_CONNECTS, &opened);
    connectionsOpened_ += opened;
    // The connection goes back to the pool as soon as the attempt is over.
    curl_multi_remove_handle(multi_, message->easy_handle);
    attempts_.erase(found);
    ended.push_back(std::move(end));
  }
}

}  // namespace corvane
