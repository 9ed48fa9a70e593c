#include <curl/curl.h>

#include <optional>

#include "platform/env.h"
#include "text/log_text.h"
#include "transport/log_source.h"
#include "transport/transfer_loop.h"
#include "upload/corvane_multi_upload.h"
#include "upload/result_file.h"

namespace corvane {
namespace {

// libcurl's global state for the span of one upload.
class CurlGlobal {
 public:
  CurlGlobal() { curl_global_init(CURL_GLOBAL_ALL); }
  ~CurlGlobal() { curl_global_cleanup(); }
  CurlGlobal(const CurlGlobal&) = delete;
  CurlGlobal& operator=(const CurlGlobal&) = delete;
};

}  // namespace

bool CorvaneMultiUpload::run() {
  Env& env = Env::current();
  accessTokenExpiry = env.nowTicks();
  int64_t start = env.nowTicks();
  uint64_t fileSize = getFileSize(localfile);
  bool succeeded = false;
  {
    CurlGlobal curl;
    if (fileSize <= static_cast<uint64_t>(partSize)) {
      succeeded = uploadEntireData();
      if (!succeeded) errorMessage = "uploadOnePartData failed!";
    } else {
      succeeded = uploadMultipart();
    }
  }
  int64_t elapsed = (env.nowTicks() - start) / kTicksPerSecond;
  UPLOAD_LOG(INFO) << "upload " << escapeControls(localfile) << " spend time: " << elapsed
                   << " seconds.";
  // The log alone tells the story, even when the result file cannot.
  if (!succeeded) UPLOAD_LOG(ERROR) << "upload failed: " << escapeControls(errorMessage);

  std::string result = buildResultDocument(succeeded, errorMessage, fileItemId, fileItemName);
  std::string reason;
  if (!writeTextFile(output, result, reason)) {
    UPLOAD_LOG(ERROR) << "result file " << escapeControls(output) << " can not be written: " << reason;
    UPLOAD_LOG(ERROR) << "output result failed!";
    return false;
  }
  return true;
}

bool CorvaneMultiUpload::uploadMultipart() {
  // With parts side by side, every request of the upload (token, task, parts,
  // merge) draws on one pool of connections: each new one costs a round trip.
  std::optional<TransferLoop> pool;
  if (parallelparts > 1) pool.emplace(TransferLoop::Options{.poolConnections = true});
  std::string uploadId;
  if (!createUploadTask(uploadId)) {
    errorMessage = "createUploadTask failed!";
    return false;
  }
  if (!uploadPartData(uploadId)) {
    errorMessage = "uploadPartData failed!";
    return false;
  }
  if (!mergeUploadTask(uploadId)) {
    errorMessage = "mergeUploadTask failed!";
    return false;
  }
  return true;
}

}  // namespace corvane
