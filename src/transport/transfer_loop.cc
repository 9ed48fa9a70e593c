#include "transport/transfer_loop.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "platform/env.h"
#include "text/log_text.h"
#include "transport/log_source.h"
#include "transport/url_text.h"

namespace corvane {
namespace {

constexpr int kMaxRetry = 32;
constexpr int64_t kRetryPauseMilliseconds = 2000;
// Longest single wait of the loop while transfers run.
constexpr long kLongestPollMilliseconds = 1000;
constexpr long kMaxRedirects = 10;
constexpr long kConnectTimeoutSeconds = 30;
constexpr long kStallBytesPerSecond = 1024;

using EasyHandle = std::unique_ptr<CURL, decltype(&curl_easy_cleanup)>;
using HeaderList = std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)>;

TransferLoop* activeLoop = nullptr;

int seekRequestBody(void* source, curl_off_t offset, int origin) {
  if (origin != SEEK_SET || offset < 0) return CURL_SEEKFUNC_CANTSEEK;
  auto* body = static_cast<BodySource*>(source);
  return body->seek(static_cast<uint64_t>(offset)) ? CURL_SEEKFUNC_OK : CURL_SEEKFUNC_FAIL;
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

std::vector<std::string> headerLinesOf(const HttpRequest& request) {
  std::vector<std::string> lines = request.headerLines.value_or(std::vector<std::string>{});
  if (request.upload && !request.expectContinue) lines.push_back("Expect:");
  return lines;
}

bool wantsHeaderList(const HttpRequest& request) {
  return request.headerLines || (request.upload && !request.expectContinue);
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
  if (kTrustSystemCertificateStore) {
    curl_easy_setopt(handle, CURLOPT_SSL_OPTIONS, static_cast<long>(CURLSSLOPT_NATIVE_CA));
  }
}

void setUploadOptions(CURL* handle, BodySource* upload, long bufferBytes) {
  curl_easy_setopt(handle, CURLOPT_UPLOAD, 1L);
  curl_easy_setopt(handle, CURLOPT_READFUNCTION, readRequestBody);
  curl_easy_setopt(handle, CURLOPT_READDATA, upload);
  curl_easy_setopt(handle, CURLOPT_SEEKFUNCTION, seekRequestBody);
  curl_easy_setopt(handle, CURLOPT_SEEKDATA, upload);
  curl_easy_setopt(handle, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(upload->length()));
  curl_easy_setopt(handle, CURLOPT_UPLOAD_BUFFERSIZE, bufferBytes);
}

void setCaptureOptions(CURL* handle, CaptureBuffer* body, CaptureBuffer* headers) {
  if (body) {
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, captureResponse);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, body);
  }
  if (headers) {
    curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, captureResponse);
    curl_easy_setopt(handle, CURLOPT_HEADERDATA, headers);
  }
}

}  // namespace

// One request with its handle, its captures and where its retry stands.
struct TransferLoop::Job {
  enum class State { kDue, kRunning, kPaused, kFinished };

  Job(const HttpRequest& copied, Done callback)
      : request(copied), done(std::move(callback)), loggedUrl(redactUrl(copied.url)) {}

  HttpRequest request;  // the handle points into these texts
  Done done;
  std::string loggedUrl;
  EasyHandle handle{nullptr, &curl_easy_cleanup};
  HeaderList headerList{nullptr, &curl_slist_free_all};
  CaptureBuffer body;
  CaptureBuffer headers;
  char error[CURL_ERROR_SIZE] = {};
  int attempts = 0;
  int64_t dueMilliseconds = 0;
  State state = State::kDue;
  CURLcode result = CURLE_FAILED_INIT;

  Transfer transfer() {
    return Transfer{request, handle.get(), request.captureBody ? &body : nullptr,
                    request.captureHeaders ? &headers : nullptr, request.upload};
  }

  // Creates and configures the handle; false when libcurl gives none.
  bool prepare(CURLSH* share) {
    handle.reset(curl_easy_init());
    if (!handle) return false;
    if (wantsHeaderList(request)) {
      headerList = buildHeaderList(headerLinesOf(request));
      if (!headerList) return false;
    }
    CURL* h = handle.get();
    setCommonOptions(h, request);
    if (headerList) curl_easy_setopt(h, CURLOPT_HTTPHEADER, headerList.get());
    if (request.upload) setUploadOptions(h, request.upload, request.uploadBufferBytes);
    Transfer parts = transfer();
    setCaptureOptions(h, parts.body, parts.headers);
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, error);
    curl_easy_setopt(h, CURLOPT_PRIVATE, this);
    if (share) curl_easy_setopt(h, CURLOPT_SHARE, share);
    return true;
  }

  // Why the last attempt failed, in libcurl's words where it has them.
  std::string cause(CURLcode code) const {
    if (body.overflowed || headers.overflowed) {
      return "the answer is larger than " + std::to_string(kMaxCapturedBytes) + " bytes";
    }
    if (request.upload && request.upload->fileShrank()) {
      return "the local file ended early: it shrank during the upload";
    }
    std::string text = error[0] ? std::string(error) : std::string(curl_easy_strerror(code));
    return escapeControls(text) + " (curl error " + std::to_string(static_cast<int>(code)) + ")";
  }

  // No later attempt can do better: the answer is too large, or the file
  // is shorter than what is to be sent.
  bool cannotRecover() const {
    return body.overflowed || headers.overflowed ||
           (request.upload && request.upload->fileShrank());
  }
};

TransferLoop::TransferLoop() : TransferLoop(Options{}) {}

TransferLoop::TransferLoop(Options options) : options_(options), outer_(activeLoop) {
  activeLoop = this;
}

TransferLoop::~TransferLoop() {
  activeLoop = outer_;
  for (auto& job : jobs_) {
    if (job->state == Job::State::kRunning) curl_multi_remove_handle(multi_, job->handle.get());
  }
  jobs_.clear();
  if (multi_) curl_multi_cleanup(multi_);
  if (share_) curl_share_cleanup(share_);
}

TransferLoop* TransferLoop::active() { return activeLoop; }

CURLM* TransferLoop::multi() {
  if (!multi_) multi_ = curl_multi_init();
  return multi_;
}

TransferLoop::Job& TransferLoop::add(const HttpRequest& request, Done done) {
  jobs_.push_back(std::make_unique<Job>(request, std::move(done)));
  Job& job = *jobs_.back();
  if (options_.poolConnections && !share_) {
    share_ = curl_share_init();
    if (share_) {
      curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
      curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
    }
  }
  if (!job.prepare(share_)) finish(job, CURLE_FAILED_INIT);
  if (!options_.poolConnections && job.handle) {
    // Every request on a connection of its own, as a lone request would be.
    curl_easy_setopt(job.handle.get(), CURLOPT_FRESH_CONNECT, 1L);
  }
  return job;
}

void TransferLoop::start(const HttpRequest& request, Done done) { add(request, std::move(done)); }

void TransferLoop::run() {
  while (!jobs_.empty()) {
    if (dispatchOne()) continue;
    advance();
  }
}

HttpResponse TransferLoop::perform(const HttpRequest& request) {
  Job& job = add(request, nullptr);
  while (job.state != Job::State::kFinished) advance();
  auto found = std::find_if(jobs_.begin(), jobs_.end(),
                            [&job](const auto& entry) { return entry.get() == &job; });
  return takeResponse(found);
}

bool TransferLoop::dispatchOne() {
  auto found = std::find_if(jobs_.begin(), jobs_.end(), [](const auto& job) {
    return job->state == Job::State::kFinished && job->done;
  });
  if (found == jobs_.end()) return false;
  Done done = std::move((*found)->done);
  done(takeResponse(found));
  return true;
}

HttpResponse TransferLoop::takeResponse(JobList::iterator found) {
  Job& job = **found;
  HttpResponse response;
  response.result = job.result;
  response.body = std::move(job.body.text);
  response.headers = std::move(job.headers.text);
  jobs_.erase(found);
  return response;
}

void TransferLoop::advance() {
  moved_ = false;
  const int64_t now = Env::current().steadyMilliseconds();
  for (auto& job : jobs_) {
    bool due = job->state == Job::State::kDue ||
               (job->state == Job::State::kPaused && job->dueMilliseconds <= now);
    if (due) beginAttempt(*job);
  }
  collectFinishedTransfers();
  wait();
}

void TransferLoop::beginAttempt(Job& job) {
  // Every attempt starts clean: empty captures and the body at its first byte.
  ++job.attempts;
  job.body = CaptureBuffer{};
  job.headers = CaptureBuffer{};
  job.error[0] = '\0';
  if (job.request.upload) job.request.upload->rewind();
  if (const TransferPerformer& performer = installedTransferPerformer()) {
    Transfer transfer = job.transfer();
    endAttempt(job, performer(transfer));
    return;
  }
  if (!multi() || curl_multi_add_handle(multi_, job.handle.get()) != CURLM_OK) {
    endAttempt(job, CURLE_FAILED_INIT);
    return;
  }
  job.state = Job::State::kRunning;
  ++running_;
}

void TransferLoop::collectFinishedTransfers() {
  if (running_ == 0) return;
  int stillRunning = 0;
  curl_multi_perform(multi_, &stillRunning);
  int left = 0;
  while (CURLMsg* message = curl_multi_info_read(multi_, &left)) {
    if (message->msg != CURLMSG_DONE) continue;
    void* owner = nullptr;
    curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &owner);
    CURLcode result = message->data.result;
    curl_multi_remove_handle(multi_, message->easy_handle);
    --running_;
    endAttempt(*static_cast<Job*>(owner), result);
  }
}

void TransferLoop::endAttempt(Job& job, CURLcode result) {
  if (result == CURLE_OK) return finish(job, result);
  UPLOAD_LOG(ERROR) << job.loggedUrl << " attempt " << job.attempts << " failed: "
                    << job.cause(result);
  if (job.cannotRecover()) return finish(job, result);
  if (job.attempts > kMaxRetry) {
    UPLOAD_LOG(ERROR) << job.loggedUrl << " connect failed!!! max retry " << kMaxRetry;
    return finish(job, result);
  }
  job.state = Job::State::kDue;
  moved_ = true;
  if (job.attempts > 1) {
    UPLOAD_LOG(ERROR) << job.loggedUrl << " connect failed!!! retry " << job.attempts;
    job.state = Job::State::kPaused;
    job.dueMilliseconds = Env::current().steadyMilliseconds() + kRetryPauseMilliseconds;
  }
}

void TransferLoop::finish(Job& job, CURLcode result) {
  moved_ = true;
  job.state = Job::State::kFinished;
  job.result = result;
  // The connection goes back to the pool as soon as the request is over.
  job.handle.reset();
  job.headerList.reset();
}

void TransferLoop::wait() {
  // A request finished or is due again: its caller comes first.
  if (moved_) return;
  int64_t nextDue = -1;
  for (const auto& job : jobs_) {
    if (job->state == Job::State::kPaused && (nextDue < 0 || job->dueMilliseconds < nextDue)) {
      nextDue = job->dueMilliseconds;
    }
  }
  Env& env = Env::current();
  int64_t untilDue = nextDue < 0 ? kLongestPollMilliseconds
                                 : std::max<int64_t>(0, nextDue - env.steadyMilliseconds());
  if (running_ > 0) {
    int timeout = static_cast<int>(std::min<int64_t>(untilDue, kLongestPollMilliseconds));
    curl_multi_poll(multi_, nullptr, 0, timeout, nullptr);
  } else if (nextDue >= 0 && untilDue > 0) {
    // Nothing is moving: only a pause is left to sit out.
    env.sleepMilliseconds(untilDue);
  }
}

}  // namespace corvane
