#include <cstdio>
#include <iostream>
#include <list>
#include <optional>

#include "platform/env.h"
#include "platform/read_only_file.h"
#include "transport/log_source.h"
#include "transport/transfer_loop.h"
#include "upload/corvane_multi_upload.h"
#include "upload/part_plan.h"

namespace corvane {
namespace {

// One line per part, so a long upload can be followed in the log.
void logPartProgress(uint64_t number, uint64_t count, uint64_t bytes, uint64_t bytesSoFar,
                     int64_t elapsedTicks, bool sent) {
  double seconds = static_cast<double>(elapsedTicks) / kTicksPerSecond;
  double rate = seconds > 0 ? static_cast<double>(bytesSoFar) / 1048576.0 / seconds : 0.0;
  char text[64];
  std::snprintf(text, sizeof text, "%.1f", rate);
  UPLOAD_LOG(INFO) << "part " << number << "/" << count << (sent ? " sent: " : " failed: ") << bytes
                   << " bytes; " << text << " MiB/s so far";
}

// Sends every part of a file: each part asks for its signed URL and then PUTs
// its bytes there. Up to `parallelparts` parts are on their way at once, on
// this thread, in one transfer loop (the running one, when the upload has
// one); with one, the parts go strictly one after another, each request on a
// connection of its own.
class PartSender {
 public:
  PartSender(CorvaneMultiUpload& uploader, const std::string& uploadId, const ReadOnlyFile& file,
             const PartPlan& plan, TransferLoop& loop)
      : uploader_(uploader),
        uploadId_(uploadId),
        file_(file),
        plan_(plan),
        loop_(loop),
        start_(Env::current().nowTicks()) {}

  // True when every part arrived.
  bool sendAll() {
    fill();
    loop_.run();
    return allSent_ && !fileShrank_;
  }

 private:
  struct Part {
    uint64_t index;
    BodySource body;
  };

  // Starts parts until the allowed number is on its way. Once the file is
  // seen to have shrunk no part can arrive whole, so none is started.
  void fill() {
    while (inFlight_.size() < static_cast<size_t>(uploader_.parallelparts) &&
           next_ < plan_.count() && !fileShrank_) {
      startPart(next_++);
    }
  }

  void startPart(uint64_t index) {
    Part& part = inFlight_.emplace_back(
        Part{index, BodySource(file_, plan_.offset(index), plan_.size(index))});
    HttpRequest request = uploader_.partUrlRequest(uploadId_, static_cast<int32_t>(index + 1));
    loop_.start(request, [this, &part](HttpResponse response) { onPartUrl(part, response); });
  }

  void onPartUrl(Part& part, const HttpResponse& response) {
    std::string url;
    if (!uploader_.judgePartUrl(response, url)) return finishPart(part, false);
    loop_.start(uploader_.partPutRequest(url, part.body), [this, &part](HttpResponse sent) {
      std::cout << '.' << std::flush;
      finishPart(part, sent.result == CURLE_OK);
    });
  }

  void finishPart(Part& part, bool sent) {
    allSent_ = allSent_ && sent;
    fileShrank_ = fileShrank_ || part.body.fileShrank();
    bytesSoFar_ += part.body.length();
    logPartProgress(part.index + 1, plan_.count(), part.body.length(), bytesSoFar_,
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
  bool allSent_ = true;
  bool fileShrank_ = false;
  uint64_t bytesSoFar_ = 0;
  const int64_t start_;
};

}  // namespace

bool CorvaneMultiUpload::uploadPartData(const std::string& uploadId) {
  ReadOnlyFile file(localfile);
  uint64_t fileSize = file.size();
  PartPlan plan(fileSize, static_cast<uint64_t>(partSize));
  UPLOAD_LOG(INFO) << "upload file size: " << fileSize << " ; part size: " << partSize
                   << " ; part count: " << plan.count();
  file.adviseSequential();
  std::optional<TransferLoop> own;
  if (!TransferLoop::active()) own.emplace(TransferLoop::Options{.poolConnections = parallelparts > 1});
  TransferLoop& loop = own ? *own : *TransferLoop::active();
  bool allSent = PartSender(*this, uploadId, file, plan, loop).sendAll();
  std::cout << '\n' << std::flush;
  return allSent;
}

}  // namespace corvane
