#include <cstdio>
#include <iostream>
#include <list>
#include <optional>
#include <vector>

#include "platform/env.h"
#include "platform/read_only_file.h"
#include "transport/log_source.h"
#include "transport/transfer_loop.h"
#include "upload/corvane_multi_upload.h"
#include "upload/part_plan.h"
#include "upload/part_sender.h"
#include "upload/response_judging.h"

namespace corvane {
namespace {

// New signed URLs a part may ask for after its URL was refused.
constexpr int kMaxFreshUrls = 3;

// One line per part, so a long upload can be followed in the log.
void logPartProgress(const std::string& label, uint64_t number, uint64_t count, uint64_t bytes,
                     uint64_t bytesArrived, int64_t elapsedMilliseconds, bool sent) {
  double seconds = static_cast<double>(elapsedMilliseconds) / 1000;
  double rate = seconds > 0 ? static_cast<double>(bytesArrived) / 1048576.0 / seconds : 0.0;
  char text[64];
  std::snprintf(text, sizeof text, "%.1f", rate);
  UPLOAD_LOG(INFO) << label << "part " << number << "/" << count
                   << (sent ? " sent: " : " failed: ") << bytes << " bytes; " << text
                   << " MiB/s so far";
}

// Whether a request that ended so says that no later request can fare
// better: every attempt failed in transfer, or the run was stopped.
bool isDoomed(const HttpResponse& response) {
  return response.outcome == RequestOutcome::kAttemptsSpent ||
         response.outcome == RequestOutcome::kCancelled;
}

// The service's own refusal (its error form), as opposed to no answer.
bool isRefusal(const HttpResponse& response) {
  rapidjson::Document document;
  return response.result == CURLE_OK && parseObject(response.body, document) &&
         serviceErrorCode(document).has_value();
}

// Sends every part of a file: each part asks for its signed URL and then PUTs
// its bytes there. Up to `parallelparts` parts are on their way at once, on
// this thread, in the run's transfer loop; with one, the parts go strictly
// one after another. Once a part's requests spent every attempt on failed
// transfers, no further part is started: they would only fail the same way.
class PartSender final : public PartsInFlight {
 public:
  PartSender(CorvaneMultiUpload& uploader, std::string uploadId, const ReadOnlyFile& file,
             const PartPlan& plan, std::vector<uint64_t> indices, bool continuedTask)
      : uploader_(uploader),
        uploadId_(std::move(uploadId)),
        file_(file),
        plan_(plan),
        indices_(std::move(indices)),
        loop_(uploader.context().loop),
        journal_(uploader.context().journal.get()),
        progress_(uploader.context().progress.get()),
        watchForUnknownTask_(continuedTask),
        start_(Env::current().steadyMilliseconds()) {
    for (uint64_t index : indices_) due_ += plan_.size(index);
  }

  PartsOutcome sendAll() {
    fill();
    loop_.run();
    return outcome();
  }

  // Starts the parts; `done` runs once every part started has ended.
  void start(PartsDone done) {
    done_ = std::move(done);
    fill();
    reportIfDone();
  }

 private:
  struct Part {
    uint64_t index;
    BodySource body;
    bool gotUrl = false;
    int freshUrls = 0;
    // The request for its signed URL now on its way, and whether it went
    // again with a renewed storage token already.
    HttpRequest urlRequest;
    bool tokenRenewed = false;
  };

  PartsOutcome outcome() const {
    if (taskUnknown_) return PartsOutcome::kTaskUnknown;
    return !failed_ && bytesArrived_ == due_ ? PartsOutcome::kArrived : PartsOutcome::kFailed;
  }

  // Runs `done_` once nothing is on its way and nothing more will start.
  void reportIfDone() {
    if (!done_ || !inFlight_.empty() || (next_ < indices_.size() && !doomed_)) return;
    PartsDone done = std::move(done_);
    done_ = nullptr;
    done(outcome(), spent_);
  }

  void fill() {
    while (inFlight_.size() < static_cast<size_t>(uploader_.parallelparts) &&
           next_ < indices_.size() && !doomed_) {
      startPart(indices_[next_++]);
    }
  }

  void startPart(uint64_t index) {
    // Hashed as it is read only when a journal will record it.
    const bool hashed = journal_ != nullptr;
    Part& part = inFlight_.emplace_back(
        Part{index, BodySource(file_, plan_.offset(index), plan_.size(index), hashed), false, 0,
             HttpRequest{}, false});
    askForUrl(part);
  }

  void askForUrl(Part& part) {
    // Once the run is doomed, a part asks for nothing more: no URL, and so
    // no token either.
    if (doomed_) return finishPart(part, false);
    auto request = uploader_.partUrlRequest(uploadId_, static_cast<int32_t>(part.index + 1));
    if (!request) {
      // No storage token: no later part would get one either.
      doomed_ = true;
      spent_ = true;
      return finishPart(part, false);
    }
    part.urlRequest = std::move(*request);
    part.tokenRenewed = false;
    sendUrlRequest(part);
  }

  void sendUrlRequest(Part& part) {
    loop_.start(part.urlRequest,
                [this, &part](HttpResponse response) { onPartUrl(part, response); });
  }

  void onPartUrl(Part& part, const HttpResponse& response) {
    // The storage token was refused: once renewed (by this part or by
    // another refused with the same token), the request goes again.
    if (response.result == CURLE_OK && response.status == 401 && !part.tokenRenewed) {
      part.tokenRenewed = true;
      if (uploader_.renewRefusedToken(part.urlRequest)) return sendUrlRequest(part);
    }
    std::string url;
    const bool judged = uploader_.judgePartUrl(response, url);
    if (watchForUnknownTask_ && response.result == CURLE_OK) {
      // The first answer about a continued task tells whether the service
      // still knows it.
      watchForUnknownTask_ = false;
      taskUnknown_ = !judged && isRefusal(response);
      doomed_ = doomed_ || taskUnknown_;
    }
    if (!judged) {
      doomed_ = doomed_ || isDoomed(response);
      spent_ = spent_ || response.outcome == RequestOutcome::kAttemptsSpent;
      return finishPart(part, false);
    }
    part.gotUrl = true;
    HttpRequest put = uploader_.partPutRequest(url, part.body);
    put.endOnRefusal = part.freshUrls < kMaxFreshUrls;
    loop_.start(put, [this, &part](HttpResponse sent) { onPut(part, sent); });
  }

  void onPut(Part& part, const HttpResponse& sent) {
    if (sent.outcome == RequestOutcome::kRefused && !doomed_) {
      ++part.freshUrls;
      UPLOAD_LOG(INFO) << "part " << part.index + 1 << ": the signed URL was refused (HTTP "
                       << sent.status << "); asking for a new one";
      return askForUrl(part);
    }
    if (sent.result == CURLE_OK) writeStandardOutput(sent.body);
    doomed_ = doomed_ || isDoomed(sent) || part.body.fileShrank();
    spent_ = spent_ || sent.outcome == RequestOutcome::kAttemptsSpent;
    finishPart(part, sent.result == CURLE_OK);
  }

  void finishPart(Part& part, bool sent) {
    // One mark per part that obtained a URL, whatever became of it.
    if (part.gotUrl) writeStandardOutput(".");
    failed_ = failed_ || !sent;
    if (sent) arrived(part);
    logPartProgress(uploader_.context().logLabel, part.index + 1, plan_.count(),
                    part.body.length(), bytesArrived_,
                    Env::current().steadyMilliseconds() - start_, sent);
    inFlight_.remove_if([&part](const Part& entry) { return &entry == &part; });
    fill();
    reportIfDone();
  }

  // A part the service acknowledged: its bytes count, and the journal keeps
  // it (on disk before the next part can depend on it).
  void arrived(Part& part) {
    bytesArrived_ += part.body.length();
    if (progress_) progress_->acknowledge(part.body.length(), 1);
    if (!journal_) return;
    std::optional<uint64_t> hash = part.body.digest();
    if (!hash) hash = windowDigest(file_, part.body.offset(), part.body.length());
    if (!hash || !journal_->recordPart({part.index + 1, part.body.length(), *hash})) {
      UPLOAD_LOG(WARNING) << "part " << part.index + 1 << " could not be written to the journal";
    }
  }

  CorvaneMultiUpload& uploader_;
  const std::string uploadId_;
  const ReadOnlyFile& file_;
  const PartPlan plan_;
  const std::vector<uint64_t> indices_;
  TransferLoop& loop_;
  ResumeJournal* journal_;
  ProgressReport* progress_;
  std::list<Part> inFlight_;
  size_t next_ = 0;
  bool failed_ = false;
  bool doomed_ = false;
  bool spent_ = false;  // a request spent every attempt, or had no token
  PartsDone done_;
  bool watchForUnknownTask_;
  bool taskUnknown_ = false;
  uint64_t due_ = 0;
  uint64_t bytesArrived_ = 0;
  const int64_t start_;
};

}  // namespace

PartsOutcome sendParts(CorvaneMultiUpload& uploader, const std::string& uploadId,
                       const ReadOnlyFile& file, const PartPlan& plan,
                       const std::vector<uint64_t>& indices, bool continuedTask) {
  return PartSender(uploader, uploadId, file, plan, indices, continuedTask).sendAll();
}

std::unique_ptr<PartsInFlight> startParts(CorvaneMultiUpload& uploader, std::string uploadId,
                                          const ReadOnlyFile& file, const PartPlan& plan,
                                          std::vector<uint64_t> indices, bool continuedTask,
                                          PartsDone done) {
  auto sender = std::make_unique<PartSender>(uploader, std::move(uploadId), file, plan,
                                             std::move(indices), continuedTask);
  sender->start(std::move(done));
  return sender;
}

bool CorvaneMultiUpload::uploadPartData(const std::string& uploadId, const ReadOnlyFile& file) {
  PartPlan plan(file.size(), static_cast<uint64_t>(partSize));
  return sendPlannedParts(uploadId, file, plan.indices(), false) == PartsOutcome::kArrived;
}

PartsOutcome CorvaneMultiUpload::sendPlannedParts(const std::string& uploadId,
                                                  const ReadOnlyFile& file,
                                                  const std::vector<uint64_t>& indices,
                                                  bool continuedTask) {
  PartsOutcome outcome = PartsOutcome::kFailed;
  auto sending = startPlannedParts(uploadId, file, indices, continuedTask,
                                   [&outcome](PartsOutcome ended, bool) { outcome = ended; });
  context_.loop.run();
  return outcome;
}

std::unique_ptr<PartsInFlight> CorvaneMultiUpload::startPlannedParts(
    const std::string& uploadId, const ReadOnlyFile& file, const std::vector<uint64_t>& indices,
    bool continuedTask, PartsDone done) {
  PartPlan plan(file.size(), static_cast<uint64_t>(partSize));
  UPLOAD_LOG(INFO) << context_.logLabel << "upload file size: " << plan.total()
                   << " ; part size: " << partSize << " ; part count: " << plan.count();
  reportPhase(context_.progress.get(), "parts");
  file.adviseSequential();
  auto ended = [this, &file, done = std::move(done)](PartsOutcome outcome, bool spent) {
    writeStandardOutput("\n");
    // Parts of a file that changed meanwhile are no copy of it: no merge.
    if (outcome == PartsOutcome::kArrived && fileChanged(file)) outcome = PartsOutcome::kFailed;
    done(outcome, spent);
  };
  return startParts(*this, uploadId, file, plan, indices, continuedTask, std::move(ended));
}

}  // namespace corvane
