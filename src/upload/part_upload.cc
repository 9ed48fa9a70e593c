#include <cstdio>
#include <iostream>
#include <list>

#include "platform/env.h"
#include "platform/read_only_file.h"
#include "transport/log_source.h"
#include "transport/transfer_loop.h"
#include "upload/corvane_multi_upload.h"
#include "upload/part_plan.h"

namespace corvane {
namespace {

// New signed URLs a part may ask for after its URL was refused.
constexpr int kMaxFreshUrls = 3;

// One line per part, so a long upload can be followed in the log.
void logPartProgress(uint64_t number, uint64_t count, uint64_t bytes, uint64_t bytesArrived,
                     int64_t elapsedTicks, bool sent) {
  double seconds = static_cast<double>(elapsedTicks) / kTicksPerSecond;
  double rate = seconds > 0 ? static_cast<double>(bytesArrived) / 1048576.0 / seconds : 0.0;
  char text[64];
  std::snprintf(text, sizeof text, "%.1f", rate);
  UPLOAD_LOG(INFO) << "part " << number << "/" << count << (sent ? " sent: " : " failed: ") << bytes
                   << " bytes; " << text << " MiB/s so far";
}

// Whether a request that ended so says that no later request can fare
// better: every attempt failed in transfer, or the run was stopped.
bool isDoomed(const HttpResponse& response) {
  return response.outcome == RequestOutcome::kAttemptsSpent ||
         response.outcome == RequestOutcome::kCancelled;
}

// Sends every part of a file: each part asks for its signed URL and then PUTs
// its bytes there. Up to `parallelparts` parts are on their way at once, on
// this thread, in the run's transfer loop; with one, the parts go strictly
// one after another. Once a part's requests spent every attempt on failed
// transfers, no further part is started: they would only fail the same way.
class PartSender {
 public:
  PartSender(CorvaneMultiUpload& uploader, const std::string& uploadId, const ReadOnlyFile& file,
             const PartPlan& plan)
      : uploader_(uploader),
        uploadId_(uploadId),
        file_(file),
        plan_(plan),
        loop_(uploader.context().loop),
        start_(Env::current().nowTicks()) {}

  // True when every part arrived whole.
  bool sendAll() {
    fill();
    loop_.run();
    return !failed_ && bytesArrived_ == plan_.total();
  }

 private:
  struct Part {
    uint64_t index;
    BodySource body;
    bool gotUrl = false;
    int freshUrls = 0;
  };

  void fill() {
    while (inFlight_.size() < static_cast<size_t>(uploader_.parallelparts) &&
           next_ < plan_.count() && !doomed_) {
      startPart(next_++);
    }
  }

  void startPart(uint64_t index) {
    Part& part = inFlight_.emplace_back(
        Part{index, BodySource(file_, plan_.offset(index), plan_.size(index))});
    askForUrl(part);
  }

  void askForUrl(Part& part) {
    auto request = uploader_.partUrlRequest(uploadId_, static_cast<int32_t>(part.index + 1));
    if (!request) {
      // No storage token: no later part would get one either.
      doomed_ = true;
      return finishPart(part, false);
    }
    loop_.start(*request, [this, &part](HttpResponse response) { onPartUrl(part, response); });
  }

  void onPartUrl(Part& part, const HttpResponse& response) {
    std::string url;
    if (!uploader_.judgePartUrl(response, url)) {
      doomed_ = doomed_ || isDoomed(response);
      return finishPart(part, false);
    }
    part.gotUrl = true;
    HttpRequest put = uploader_.partPutRequest(url, part.body);
    put.endOnRefusal = part.freshUrls < kMaxFreshUrls;
    loop_.start(put, [this, &part](HttpResponse sent) { onPut(part, sent); });
  }

  void onPut(Part& part, const HttpResponse& sent) {
    if (sent.outcome == RequestOutcome::kRefused) {
      ++part.freshUrls;
      UPLOAD_LOG(INFO) << "part " << part.index + 1 << ": the signed URL was refused (HTTP "
                       << sent.status << "); asking for a new one";
      return askForUrl(part);
    }
    if (sent.result == CURLE_OK) std::cout << sent.body;
    doomed_ = doomed_ || isDoomed(sent) || part.body.fileShrank();
    finishPart(part, sent.result == CURLE_OK);
  }

  void finishPart(Part& part, bool sent) {
    // One mark per part that obtained a URL, whatever became of it.
    if (part.gotUrl) std::cout << '.' << std::flush;
    failed_ = failed_ || !sent;
    if (sent) bytesArrived_ += part.body.length();
    logPartProgress(part.index + 1, plan_.count(), part.body.length(), bytesArrived_,
                    Env::current().nowTicks() - start_, sent);
    inFlight_.remove_if([&part](const Part& entry) { return &entry == &part; });
    fill();
  }

  CorvaneMultiUpload& uploader_;
  const std::string& uploadId_;
  const ReadOnlyFile& file_;
  const PartPlan& plan_;
  TransferLoop& loop_;
  std::list<Part> inFlight_;
  uint64_t next_ = 0;
  bool failed_ = false;
  bool doomed_ = false;
  uint64_t bytesArrived_ = 0;
  const int64_t start_;
};

}  // namespace

bool CorvaneMultiUpload::uploadPartData(const std::string& uploadId, const ReadOnlyFile& file) {
  PartPlan plan(file.size(), static_cast<uint64_t>(partSize));
  UPLOAD_LOG(INFO) << "upload file size: " << plan.total() << " ; part size: " << partSize
                   << " ; part count: " << plan.count();
  file.adviseSequential();
  bool allSent = PartSender(*this, uploadId, file, plan).sendAll();
  std::cout << '\n' << std::flush;
  // Parts of a file that changed meanwhile are no copy of it: no merge.
  return allSent && !fileChanged(file);
}

}  // namespace corvane
