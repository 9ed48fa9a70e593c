#include "platform/env.h"
#include "platform/read_only_file.h"
#include "text/log_text.h"
#include "transport/log_source.h"
#include "upload/corvane_multi_upload.h"
#include "upload/result_file.h"

namespace corvane {

bool CorvaneMultiUpload::run() {
  Env& env = Env::current();
  accessTokenExpiry = env.nowTicks();
  int64_t start = env.nowTicks();
  // Opened once: its size chooses the way, and every step reads this file.
  ReadOnlyFile file(localfile);
  bool succeeded = false;
  if (!file.isOpen()) {
    UPLOAD_LOG(ERROR) << "local file " << escapeControls(localfile) << ": "
                      << env.fileReadProblem(localfile);
    errorMessage = "uploadOnePartData failed!";
  } else if (file.size() <= static_cast<uint64_t>(partSize)) {
    succeeded = uploadEntireData(file);
    if (!succeeded) errorMessage = "uploadOnePartData failed!";
  } else {
    succeeded = uploadMultipart(file);
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

bool CorvaneMultiUpload::uploadMultipart(const ReadOnlyFile& file) {
  std::string uploadId;
  if (!createUploadTask(uploadId, file)) {
    errorMessage = "createUploadTask failed!";
    return false;
  }
  if (!uploadPartData(uploadId, file)) {
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
