#include "transport/transfer_loop.h"

#include <rapidjson/document.h>

#include <algorithm>
#include <cctype>
#include <string>

#include "platform/env.h"
#include "text/log_text.h"
#include "transport/log_source.h"
#include "transport/url_text.h"

namespace corvane {
namespace {

constexpr int kMaxRetry = 32;
constexpr int64_t kRetryPauseMilliseconds = 2000;
constexpr int64_t kLongestRetryAfterSeconds = 60;
// Longest single wait of the loop while transfers run.
constexpr int64_t kLongestPollMilliseconds = 1000;

bool isGatewayStatus(long status) {
  return status == 429 || status == 502 || status == 503 || status == 504;
}

bool isJsonObject(const std::string& text) {
  rapidjson::Document document;
  document.Parse<rapidjson::kParseIterativeFlag>(text.c_str());
  return !document.HasParseError() && document.IsObject();
}

std::string lowered(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// The value of `name` (lower case) in the last header block of `headers`;
// empty when that block has no such line.
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

// The pause a Retry-After header asks for (seconds, or an HTTP date), when
// it asks for one of at most 60 seconds; -1 otherwise.
int64_t retryAfterMilliseconds(const std::string& headers) {
  const std::string value = lastHeaderValue(headers, "retry-after");
  if (value.empty()) return -1;
  int64_t seconds = -1;
  if (std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    seconds = value.size() <= 3 ? std::stoll(value) : kLongestRetryAfterSeconds + 1;
  } else if (time_t when = curl_getdate(value.c_str(), nullptr); when != -1) {
    seconds = std::max<int64_t>(0, when - Env::current().nowTicks() / kTicksPerSecond);
  }
  return seconds >= 0 && seconds <= kLongestRetryAfterSeconds ? seconds * 1000 : -1;
}

}  // namespace

// One request with its captures and where its retry stands.
struct TransferLoop::Job {
  enum class State { kDue, kRunning, kPaused, kFinished };

  Job(const HttpRequest& copied, Done callback)
      : request(copied),
        done(std::move(callback)),
        loggedUrl(redactUrl(copied.url)),
        transfer{request, request.captureBody ? &body : nullptr,
                 request.captureHeaders ? &headers : nullptr, request.upload} {}

  HttpRequest request;  // the transfer refers to it
  Done done;
  std::string loggedUrl;
  CaptureBuffer body;
  CaptureBuffer headers;
  Transfer transfer;
  int attempts = 0;
  int64_t dueMilliseconds = 0;
  State state = State::kDue;
  CURLcode result = CURLE_FAILED_INIT;
  RequestOutcome outcome = RequestOutcome::kNoHandle;
  long status = 0;
  std::string cause;

  // Why the attempt that ended with `end` failed, in libcurl's words where
  // it has them.
  std::string causeOf(const AttemptEnd& end) const {
    if (body.overflowed || headers.overflowed) {
      return "the answer is larger than " + std::to_string(kMaxCapturedBytes) + " bytes";
    }
    if (request.upload && request.upload->fileShrank()) {
      return "the local file ended early: it shrank during the upload";
    }
    if (end.result == CURLE_OK) return "HTTP " + std::to_string(end.status) + " from the service";
    std::string text = end.detail.empty() ? std::string(curl_easy_strerror(end.result)) : end.detail;
    return escapeControls(text) + " (curl error " + std::to_string(static_cast<int>(end.result)) +
           ")";
  }

  // No later attempt can do better: the answer is too large, the file is
  // shorter than what is to be sent, or the URL is one libcurl cannot use.
  bool cannotRecover(const AttemptEnd& end) const {
    return ((body.overflowed || headers.overflowed) && request.oversizeIsFinal) ||
           (request.upload && request.upload->fileShrank()) ||
           end.result == CURLE_UNSUPPORTED_PROTOCOL || end.result == CURLE_URL_MALFORMAT;
  }

  // A gateway's page instead of the service's answer.
  bool isGatewayPage(const AttemptEnd& end) const {
    return end.result == CURLE_OK && request.gatewayPagesAreFailures &&
           isGatewayStatus(end.status) && !isJsonObject(body.text);
  }

  bool isRefusal(const AttemptEnd& end) const {
    return request.endOnRefusal && end.result == CURLE_HTTP_RETURNED_ERROR &&
           (end.status == 401 || end.status == 403);
  }
};

TransferLoop::TransferLoop(TransferDriver& driver, RunControls& controls)
    : driver_(driver), controls_(controls) {}

TransferLoop::~TransferLoop() {
  for (auto& job : jobs_) {
    if (job->state == Job::State::kRunning) driver_.abandon(job->transfer);
  }
}

TransferLoop::Job& TransferLoop::add(const HttpRequest& request, Done done) {
  jobs_.push_back(std::make_unique<Job>(request, std::move(done)));
  Job& job = *jobs_.back();
  if (controls_.stop.raised()) finish(job, CURLE_ABORTED_BY_CALLBACK, RequestOutcome::kCancelled);
  return job;
}

void TransferLoop::start(const HttpRequest& request, Done done) { add(request, std::move(done)); }

void TransferLoop::run() {
  while (turn()) {
  }
}

bool TransferLoop::turn() {
  if (controls_.stop.raised()) cancelAll();
  if (dispatchOne()) return true;
  if (jobs_.empty()) return false;
  advance();
  return true;
}

HttpResponse TransferLoop::perform(const HttpRequest& request) {
  Job& job = add(request, nullptr);
  while (job.state != Job::State::kFinished) {
    if (controls_.stop.raised()) cancelAll();
    if (job.state != Job::State::kFinished) advance();
  }
  auto found = std::find_if(jobs_.begin(), jobs_.end(),
                            [&job](const auto& entry) { return entry.get() == &job; });
  return takeResponse(found);
}

uint64_t TransferLoop::bytesInFlight() const {
  uint64_t bytes = 0;
  for (const auto& job : jobs_) {
    if (job->state == Job::State::kRunning && job->request.upload) bytes += job->transfer.sentBytes;
  }
  return bytes;
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
  response.outcome = job.outcome;
  response.status = job.status;
  response.body = std::move(job.body.text);
  response.headers = std::move(job.headers.text);
  response.cause = std::move(job.cause);
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
  refillSendBudget();
  for (const AttemptEnd& end : driver_.poll(waitMilliseconds())) {
    auto found = std::find_if(jobs_.begin(), jobs_.end(), [&end](const auto& job) {
      return &job->transfer == end.transfer;
    });
    if (found != jobs_.end() && (*found)->state == Job::State::kRunning) endAttempt(**found, end);
  }
  if (controls_.observer) controls_.observer->loopTurned();
}

void TransferLoop::beginAttempt(Job& job) {
  // Every attempt starts clean: empty captures and the body at its first byte.
  ++job.attempts;
  job.body = CaptureBuffer{};
  job.headers = CaptureBuffer{};
  job.transfer.sentBytes = 0;
  job.transfer.pausedForBudget = false;
  budget_.setRate(controls_.sendCapBytesPerSecond);
  job.transfer.budget = job.request.upload && budget_.capped() ? &budget_ : nullptr;
  if (job.request.upload) job.request.upload->rewind();
  job.state = Job::State::kRunning;
  if (!driver_.begin(job.transfer)) finish(job, CURLE_FAILED_INIT, RequestOutcome::kNoHandle);
}

void TransferLoop::endAttempt(Job& job, const AttemptEnd& end) {
  job.status = end.status;
  if (end.result == CURLE_OK && !job.isGatewayPage(end)) {
    return finish(job, CURLE_OK, RequestOutcome::kCompleted);
  }
  const CURLcode result = end.result == CURLE_OK ? CURLE_HTTP_RETURNED_ERROR : end.result;
  job.cause = job.causeOf(end);
  UPLOAD_LOG(ERROR) << job.loggedUrl << " attempt " << job.attempts << " failed: " << job.cause;
  if (controls_.observer) controls_.observer->attemptFailed(job.cause);
  if (job.cannotRecover(end)) return finish(job, result, RequestOutcome::kHopeless);
  if (job.isRefusal(end)) return finish(job, result, RequestOutcome::kRefused);
  if (job.attempts > kMaxRetry) {
    UPLOAD_LOG(ERROR) << job.loggedUrl << " connect failed!!! max retry " << kMaxRetry;
    return finish(job, result, RequestOutcome::kAttemptsSpent);
  }
  job.result = result;
  int64_t pause = job.attempts > 1 ? kRetryPauseMilliseconds : 0;
  if (int64_t asked = retryAfterMilliseconds(job.headers.text); end.result == CURLE_OK && asked >= 0) {
    pause = asked;
  }
  if (job.attempts > 1) {
    UPLOAD_LOG(ERROR) << job.loggedUrl << " connect failed!!! retry " << job.attempts;
  }
  retryLater(job, pause);
}

void TransferLoop::retryLater(Job& job, int64_t pauseMilliseconds) {
  moved_ = true;
  job.state = pauseMilliseconds > 0 ? Job::State::kPaused : Job::State::kDue;
  job.dueMilliseconds = Env::current().steadyMilliseconds() + pauseMilliseconds;
}

void TransferLoop::finish(Job& job, CURLcode result, RequestOutcome outcome) {
  moved_ = true;
  job.state = Job::State::kFinished;
  job.result = result;
  job.outcome = outcome;
}

void TransferLoop::cancelAll() {
  for (auto& job : jobs_) {
    if (job->state == Job::State::kFinished) continue;
    if (job->state == Job::State::kRunning) driver_.abandon(job->transfer);
    finish(*job, CURLE_ABORTED_BY_CALLBACK, RequestOutcome::kCancelled);
  }
}

// The send cap as one budget for the run: it earns at the cap's rate, each
// turn opens a round shared by the bodies still being read (a body read in
// full leaves its share to the others), and bodies that found the budget
// spent go on once a round gives them enough for a worthwhile read.
void TransferLoop::refillSendBudget() {
  budget_.setRate(controls_.sendCapBytesPerSecond);
  int reading = 0;
  for (const auto& job : jobs_) {
    reading += job->state == Job::State::kRunning && job->request.upload &&
               job->request.upload->unread() > 0;
  }
  budget_.refill(Env::current().steadyMilliseconds(), reading);
  budgetReaders_ = budget_.capped() ? reading : 0;
  if (!budget_.worthResuming()) return;
  for (auto& job : jobs_) {
    if (job->state != Job::State::kRunning || !job->transfer.pausedForBudget) continue;
    job->transfer.pausedForBudget = false;
    driver_.resume(job->transfer);
  }
}

int64_t TransferLoop::waitMilliseconds() const {
  // A request finished or is due again: its caller comes first.
  if (moved_) return 0;
  int64_t nextDue = -1;
  bool running = false;
  for (const auto& job : jobs_) {
    running = running || job->state == Job::State::kRunning;
    if (job->state == Job::State::kPaused && (nextDue < 0 || job->dueMilliseconds < nextDue)) {
      nextDue = job->dueMilliseconds;
    }
  }
  // A body that draws from the budget may find it spent during the wait
  // (libcurl reads as it goes): the loop looks again as soon as the budget
  // is worth resuming it.
  int64_t longest = kLongestPollMilliseconds;
  if (budgetReaders_ > 0) longest = std::min(longest, budget_.millisecondsUntilWorthResuming());
  if (nextDue < 0) return running ? longest : 0;
  int64_t untilDue = std::max<int64_t>(0, nextDue - Env::current().steadyMilliseconds());
  // With nothing in flight only the pause is left to sit out, in one wait.
  return running ? std::min(untilDue, longest) : untilDue;
}

}  // namespace corvane
