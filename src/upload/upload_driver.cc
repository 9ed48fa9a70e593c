#include "platform/env.h"
#include "platform/read_only_file.h"
#include "platform/stop_signals.h"
#include "text/log_text.h"
#include "transport/log_source.h"
#include "upload/corvane_multi_upload.h"
#include "upload/file_list.h"
#include "upload/part_plan.h"
#include "upload/result_file.h"

namespace corvane {

bool CorvaneMultiUpload::run() {
  // A list of files is many uploads like this one, side by side.
  if (!context_.settings.files.empty()) return runFileList(*this);
  Env& env = Env::current();
  accessTokenExpiry = env.nowTicks();
  // Timed on the monotonic clock: setting the system clock during the run
  // does not change it.
  int64_t start = env.steadyMilliseconds();
  // What loading warned of stays; a reason recorded on the way to a success
  // that superseded it (a forgotten task started anew, a token asked for
  // again) is not this run's outcome.
  const std::string loadingWarning = errorMessage;
  // Opened once: its size chooses the way, and every step reads this file.
  ReadOnlyFile file(localfile);
  bool succeeded = false;
  if (!file.isOpen()) {
    UPLOAD_LOG(ERROR) << "local file " << escapeControls(localfile) << ": "
                      << env.fileReadProblem(localfile);
    errorMessage = "uploadOnePartData failed!";
  } else if (file.size() <= static_cast<uint64_t>(partSize)) {
    if (ProgressReport* progress = context_.progress.get()) progress->plan(file.size(), 0);
    succeeded = uploadEntireData(file);
    if (!succeeded) errorMessage = "uploadOnePartData failed!";
  } else {
    succeeded = uploadMultipart(file);
  }
  if (succeeded) errorMessage = loadingWarning;
  const StopFlag& stop = context_.loop.controls().stop;
  if (!succeeded && stop.raised()) {
    UPLOAD_LOG(ERROR) << "upload cancelled by " << stopCauseText(stop.cause());
    errorMessage = "upload cancelled!";
  }
  if (context_.journal) context_.journal->removeIfEmpty();
  int64_t elapsed = (env.steadyMilliseconds() - start) / 1000;
  UPLOAD_LOG(INFO) << "upload " << escapeControls(localfile) << " spend time: " << elapsed
                   << " seconds.";
  // The log alone tells the story, even when the result file cannot.
  if (!succeeded) UPLOAD_LOG(ERROR) << "upload failed: " << escapeControls(errorMessage);

  if (ProgressReport* progress = context_.progress.get()) {
    progress->finish(succeeded ? "success" : stop.raised() ? "cancelled" : "failed");
  }
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
  ResumeJournal* journal = context_.journal.get();
  PartPlan plan(file.size(), static_cast<uint64_t>(partSize));
  if (ProgressReport* progress = context_.progress.get()) progress->plan(plan.total(), plan.count());
  std::optional<Continuation> continued;
  if (journal) continued = continueFromJournal(file);
  // A continued task that the service no longer knows is started anew once.
  for (;;) {
    std::string uploadId;
    std::vector<uint64_t> parts;
    if (continued) {
      uploadId = continued->task;
      parts = continued->missing;
    } else {
      if (!createUploadTask(uploadId, file)) {
        errorMessage = "createUploadTask failed!";
        return false;
      }
      if (journal) startJournal(file, uploadId);
      parts = plan.indices();
    }
    PartsOutcome sent = sendPlannedParts(uploadId, file, parts, continued.has_value());
    if (sent == PartsOutcome::kTaskUnknown) {
      UPLOAD_LOG(INFO) << "task " << escapeControls(uploadId)
                       << " is no longer known to the service; starting a new upload";
      journal->discard();
      continued.reset();
      if (ProgressReport* progress = context_.progress.get()) progress->restart();
      continue;
    }
    if (sent != PartsOutcome::kArrived) {
      errorMessage = "uploadPartData failed!";
      return false;
    }
    bool unsure = false;
    bool merged = mergeTask(uploadId, unsure);
    // A merged task is done; a continued one whose merge failed cannot be
    // trusted again: the next run starts clean. A new one is kept, and so is
    // one the service may have merged unanswered, so that the caller can tell.
    if (journal && (merged || (continued && !unsure))) journal->discard();
    if (!merged) {
      errorMessage = "mergeUploadTask failed!";
      return false;
    }
    return true;
  }
}

}  // namespace corvane
