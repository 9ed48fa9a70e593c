#include "text/log_text.h"
#include "transport/body_source.h"
#include "transport/log_source.h"
#include "transport/url_text.h"
#include "upload/corvane_multi_upload.h"
#include "upload/part_plan.h"

namespace corvane {
namespace {

// Whether every part the journal lists is, byte for byte, the same part of
// the file as it is now: re-read and hashed.
bool partsMatchTheFile(const ResumeJournal::Contents& contents, const ReadOnlyFile& file,
                       const PartPlan& plan) {
  for (const auto& [number, part] : contents.parts) {
    if (number > plan.count() || part.size != plan.size(number - 1)) return false;
    std::optional<uint64_t> hash = windowDigest(file, plan.offset(number - 1), part.size);
    if (!hash || *hash != part.hash) return false;
  }
  return true;
}

}  // namespace

JournalUpload journalUploadOf(const CorvaneMultiUpload& uploader, const ReadOnlyFile& file,
                              const std::string& task) {
  return JournalUpload{redactUrl(uploader.rooturl), uploader.projectid, uploader.targetname,
                       uploader.partSize,           uploader.localfile, file.openedIdentity(),
                       task};
}

std::optional<CorvaneMultiUpload::Continuation> CorvaneMultiUpload::continueFromJournal(
    const ReadOnlyFile& file) {
  ResumeJournal& journal = *context_.journal;
  ResumeJournal::Contents contents = journal.read();
  if (!contents.upload) return std::nullopt;
  const std::string difference =
      firstDifference(*contents.upload, journalUploadOf(*this, file, contents.upload->task));
  if (!difference.empty()) {
    UPLOAD_LOG(INFO) << "resume journal " << escapeControls(journal.path())
                     << " is for another upload (" << difference
                     << " differs); starting a new upload";
    journal.discard();
    return std::nullopt;
  }
  PartPlan plan(file.size(), static_cast<uint64_t>(partSize));
  if (!partsMatchTheFile(contents, file, plan)) {
    UPLOAD_LOG(INFO) << "the local file differs from the journal; starting a new upload";
    journal.discard();
    return std::nullopt;
  }
  Continuation continuation{contents.upload->task, {}};
  uint64_t storedBytes = 0;
  for (uint64_t index = 0; index < plan.count(); ++index) {
    if (contents.parts.count(index + 1)) {
      storedBytes += plan.size(index);
    } else {
      continuation.missing.push_back(index);
    }
  }
  UPLOAD_LOG(INFO) << "resuming task " << escapeControls(continuation.task) << ": "
                   << contents.parts.size() << " of " << plan.count() << " parts already stored";
  if (ProgressReport* progress = context_.progress.get()) {
    progress->acknowledgeStored(storedBytes, contents.parts.size());
  }
  return continuation;
}

void CorvaneMultiUpload::startJournal(const ReadOnlyFile& file, const std::string& task) {
  ResumeJournal& journal = *context_.journal;
  if (!journal.begin(journalUploadOf(*this, file, task))) {
    UPLOAD_LOG(WARNING) << "resume journal " << escapeControls(journal.path())
                        << " can not be written; this upload can not be continued later";
  }
}

}  // namespace corvane
