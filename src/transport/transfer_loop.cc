#include "transport/transfer_loop.h"

#include <rapidjson/document.h>

#include <algorithm>
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
// All the pauses of one request together, Retry-After included.
constexpr int64_t kPauseBudgetMilliseconds = 120000;
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

// The service's error form: a JSON object whose "code" is an integer.
bool isErrorForm(const std::string& text) {
  rapidjson::Document document;
  document.Parse<rapidjson::kParseIterativeFlag>(text.c_str());
  if (document.HasParseError() || !document.IsObject()) return false;
  auto code = document.FindMember("code");
  return code != document.MemberEnd() && code->value.IsInt();
}

// The pause a Retry-After header asks for (seconds, or an HTTP date), when
// it asks for one of at most 60 seconds; -1 otherwise. A date is counted
// from the answer's own date where it has one, so this machine's clock
// does not enter it.
int64_t retryAfterMilliseconds(const std::string& headers, const ServiceClock& clock) {
  const std::string value = lastHeaderValue(headers, "retry-after");
  if (value.empty()) return -1;
  int64_t seconds = -1;
  if (std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    seconds = value.size() <= 3 ? std::stoll(value) : kLongestRetryAfterSeconds + 1;
  } else if (time_t when = curl_getdate(value.c_str(), nullptr); when != -1) {
    time_t sent = curl_getdate(lastHeaderValue(headers, "date").c_str(), nullptr);
    int64_t now = sent != -1 ? sent : clock.correctedNowTicks() / kTicksPerSecond;
    seconds = std::max<int64_t>(0, when - now);
  }
  return seconds >= 0 && seconds <= kLongestRetryAfterSeconds ? seconds * 1000 : -1;
}

}  // namespace

// One request with its captures and where its retry stands.
struct TransferLoop::Job {
  enum class State { kDue, kRunning, kPaused, kFinished };

  Job(const HttpRequest& copied, Done callback)
      : request(copied),
        baseHeaders(copied.headerLines),
        done(std::move(callback)),
        loggedUrl(redactUrl(copied.url)),
        transfer{request, request.captureBody ? &body : nullptr,
                 request.captureHeaders ? &headers : nullptr, request.upload} {}

  HttpRequest request;  // the transfer refers to it
  // The header lines every attempt starts from, before its own are added.
  std::optional<std::vector<std::string>> baseHeaders;
  Done done;
  std::string loggedUrl;
  CaptureBuffer body;
  CaptureBuffer headers;
  Transfer transfer;
  int attempts = 0;
  int64_t dueMilliseconds = 0;
  // When this attempt's body was seen sent in full; -1: not yet.
  int64_t bodySentAt = -1;
  // A stop came after the body was sent in full: the answer is awaited.
  bool heldForAnswer = false;
  int64_t pausedMilliseconds = 0;
  int unansweredAttempts = 0;
  State state = State::kDue;
  // What the clock of the current attempt's signature was corrected by.
  int64_t signedCorrection = 0;
  CURLcode result = CURLE_FAILED_INIT;
  RequestOutcome outcome = RequestOutcome::kNoHandle;
  long status = 0;
  std::string cause;

  // Why the attempt that ended with `end` failed, in libcurl's words where
  // it has them; for a signed request, with how far the clocks differ when
  // that is more than a minute.
  std::string causeOf(const AttemptEnd& end, const ServiceClock& clock) const {
    return plainCauseOf(end) + (request.attemptHeaderLines ? clock.differenceNote() : "");
  }
  std::string plainCauseOf(const AttemptEnd& end) const {
    if (body.overflowed || headers.overflowed) {
      return "the answer is larger than " + std::to_string(kMaxCapturedBytes) + " bytes";
    }
    if (request.upload && request.upload->fileShrank()) {
      return "the local file ended early: it shrank during the upload";
    }
    if (end.result == CURLE_OK) return notJsonCause(end);
    // libcurl's words may quote a URL it was given, credentials and all.
    std::string text = end.detail.empty() ? std::string(curl_easy_strerror(end.result)) : end.detail;
    return escapeControls(withoutUserInfo(text)) + " (curl error " +
           std::to_string(static_cast<int>(end.result)) + ")";
  }

  uint64_t bodyLength() const {
    if (request.upload) return request.upload->length();
    return request.postFields ? request.postFields->size() : 0;
  }
  bool bodySentInFull() const { return transfer.sentBytes >= bodyLength(); }

  // An attempt that sent its body in full and ended without a whole answer:
  // the service may have acted on it. A refusal under failOnHttpError is an
  // answer.
  bool wentUnanswered(const AttemptEnd& end) const {
    return bodySentInFull() && end.result != CURLE_HTTP_RETURNED_ERROR &&
           (end.result != CURLE_OK || isGatewayPage(end));
  }

  // Waiting for its answer, this attempt keeps going through a stop.
  bool mustBeAnswered() const {
    return state == State::kRunning && request.createsItem && bodySentInFull();
  }

  // An answer that is no JSON object, by its status and the way it came:
  // "HTTP 401 from the service, not JSON via proxy 127.0.0.1:3128".
  static std::string notJsonCause(const AttemptEnd& end) {
    std::string cause = "HTTP " + std::to_string(end.status) + " from the service, not JSON";
    if (!end.proxy.empty()) cause += " via proxy " + escapeControls(end.proxy);
    return cause;
  }

  // A JSON service's answer that is none: its cause, logged; empty for a
  // JSON object, or where no JSON is awaited.
  std::string unreadableAnswer(const AttemptEnd& end) const {
    if (!request.gatewayPagesAreFailures || isJsonObject(body.text)) return {};
    std::string cause = notJsonCause(end);
    UPLOAD_LOG(ERROR) << loggedUrl << " answer: " << cause;
    return cause;
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

  // A signed request refused (HTTP 4xx, or the service's error form) by a
  // service whose clock, as its answer tells, differs by more than a minute
  // from the time the signature was made with. A status of 500 or more may
  // come from the service behind the gateway, which then has seen the
  // request: that one is not sent again.
  bool isRefusedSignature(const AttemptEnd& end, const ServiceClock& clock) const {
    if (!request.attemptHeaderLines || !clock.difference() ||
        !differsByMoreThanAMinute(*clock.difference(), signedCorrection)) {
      return false;
    }
    const bool answered = end.result == CURLE_OK || end.result == CURLE_HTTP_RETURNED_ERROR;
    return answered && ((end.status >= 400 && end.status < 500) || isErrorForm(body.text));
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
  if (controls_.stopRequested()) finish(job, CURLE_ABORTED_BY_CALLBACK, RequestOutcome::kCancelled);
  return job;
}

void TransferLoop::start(const HttpRequest& request, Done done) { add(request, std::move(done)); }

void TransferLoop::run() {
  while (turn()) {
  }
}

bool TransferLoop::turn() {
  if (controls_.stopRequested()) cancelAll();
  if (dispatchOne()) return true;
  if (jobs_.empty()) return false;
  advance();
  return true;
}

HttpResponse TransferLoop::perform(const HttpRequest& request) {
  Job& job = add(request, nullptr);
  while (job.state != Job::State::kFinished) {
    if (controls_.stopRequested()) cancelAll();
    if (job.state != Job::State::kFinished) advance();
  }
  auto found = std::find_if(jobs_.begin(), jobs_.end(),
                            [&job](const auto& entry) { return entry.get() == &job; });
  return takeResponse(found);
}

uint64_t TransferLoop::bytesInFlight() const {
  uint64_t bytes = 0;
  for (const auto& job : jobs_) {
    // A finished request counts until its caller has taken its answer (and
    // counted its body), so that its bytes never drop out in between.
    const bool counted = job->state == Job::State::kRunning || job->state == Job::State::kFinished;
    if (counted && job->request.upload) bytes += job->transfer.sentBytes;
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
  response.unansweredAttempts = job.unansweredAttempts;
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
  watchAnswers();
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
  job.bodySentAt = -1;
  if (job.request.upload) job.request.upload->rewind();
  if (job.request.attemptHeaderLines) {
    job.signedCorrection = controls_.clock.correctionMilliseconds();
    std::vector<std::string> lines = job.baseHeaders.value_or(std::vector<std::string>{});
    for (std::string& line : job.request.attemptHeaderLines()) lines.push_back(std::move(line));
    job.request.headerLines = std::move(lines);
  }
  job.state = Job::State::kRunning;
  if (!driver_.begin(job.transfer)) finish(job, CURLE_FAILED_INIT, RequestOutcome::kNoHandle);
}

void TransferLoop::endAttempt(Job& job, const AttemptEnd& end) {
  job.status = end.status;
  ServiceClock& clock = controls_.clock;
  clock.observe(job.headers.text);
  if (job.isRefusedSignature(end, clock) && clock.takeResigning()) {
    UPLOAD_LOG(INFO) << job.loggedUrl << " was refused (HTTP " << end.status
                     << ") and signed with a clock that differs from the service's; "
                        "signing it again with the service's time";
    --job.attempts;  // the same attempt, signed anew
    return retryLater(job, 0);
  }
  if (end.result == CURLE_OK && !job.isGatewayPage(end)) {
    if (std::string unreadable = job.unreadableAnswer(end); !unreadable.empty()) {
      job.cause = std::move(unreadable);
    } else if (job.request.attemptHeaderLines && end.status >= 400 &&
               !clock.differenceNote().empty()) {
      job.cause = job.causeOf(end, clock);
      UPLOAD_LOG(ERROR) << job.loggedUrl << " refused: " << job.cause;
    }
    return finish(job, CURLE_OK, RequestOutcome::kCompleted);
  }
  const CURLcode result = end.result == CURLE_OK ? CURLE_HTTP_RETURNED_ERROR : end.result;
  if (job.wentUnanswered(end)) ++job.unansweredAttempts;
  job.cause = job.causeOf(end, clock);
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
  const int64_t asked = retryAfterMilliseconds(job.headers.text, clock);
  if (end.result == CURLE_OK && asked >= 0) pause = asked;
  // However the service answers, the pauses of one request stay within
  // their budget: once it is spent, a pause still asked for ends the
  // request.
  const int64_t left = kPauseBudgetMilliseconds - job.pausedMilliseconds;
  if (pause > 0 && left <= 0) {
    UPLOAD_LOG(ERROR) << job.loggedUrl << " connect failed!!! its pauses reached "
                      << kPauseBudgetMilliseconds / 1000 << " seconds";
    return finish(job, result, RequestOutcome::kAttemptsSpent);
  }
  pause = std::min(pause, left);
  job.pausedMilliseconds += pause;
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

// Watches the attempts whose body went out in full: a request that creates
// something is no longer held to the stall rule, and an answer that takes
// longer than the request allows ends its attempt as failed.
void TransferLoop::watchAnswers() {
  const int64_t now = Env::current().steadyMilliseconds();
  for (auto& entry : jobs_) {
    Job& job = *entry;
    if (job.state != Job::State::kRunning) continue;
    if (job.bodySentAt < 0 && job.bodySentInFull()) {
      job.bodySentAt = now;
      if (job.request.createsItem) driver_.liftStallRule(job.transfer);
    }
    const int64_t limit = job.request.answerSeconds * 1000;
    if (job.bodySentAt < 0 || limit <= 0 || now - job.bodySentAt < limit) continue;
    driver_.abandon(job.transfer);
    endAttempt(job, AttemptEnd{&job.transfer, CURLE_OPERATION_TIMEDOUT, 0,
                               "no whole answer within " +
                                   std::to_string(job.request.answerSeconds) +
                                   " seconds of the request being sent",
                               {}});
  }
}

void TransferLoop::cancelAll() {
  for (auto& job : jobs_) {
    if (job->state == Job::State::kFinished) continue;
    if (job->mustBeAnswered()) {
      // The service may be storing it: what it did is learnt, not guessed.
      if (!job->heldForAnswer) UPLOAD_LOG(INFO) << "stopping once the service has answered";
      job->heldForAnswer = true;
      continue;
    }
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
  // A stop file is looked for at every turn: no wait may hide it for long.
  // A body that draws from the budget may find it spent during the wait
  // (libcurl reads as it goes): the loop looks again as soon as the budget
  // is worth resuming it.
  int64_t longest = controls_.stopFile.empty() ? kLongestPollMilliseconds
                                               : RunControls::kStopFileLookMilliseconds;
  if (budgetReaders_ > 0) longest = std::min(longest, budget_.millisecondsUntilWorthResuming());
  if (nextDue < 0) return running ? longest : 0;
  int64_t untilDue = std::max<int64_t>(0, nextDue - Env::current().steadyMilliseconds());
  // With nothing in flight only the pause is left to sit out, in one wait
  // (in steps, while a stop file may end it).
  if (!running && controls_.stopFile.empty()) return untilDue;
  return std::min(untilDue, longest);
}

}  // namespace corvane
