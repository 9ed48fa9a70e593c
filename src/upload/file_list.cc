#include "upload/file_list.h"

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <list>
#include <map>
#include <optional>
#include <memory>

#include "platform/env.h"
#include "platform/read_only_file.h"
#include "platform/stop_signals.h"
#include "text/local_codepage.h"
#include "text/log_text.h"
#include "transport/body_source.h"
#include "transport/log_source.h"
#include "upload/corvane_multi_upload.h"
#include "upload/part_plan.h"
#include "upload/result_file.h"

namespace corvane {
namespace {

// The text of a list entry's key: the characters before its first NUL;
// empty when the key is absent or not a string.
std::string entryText(const rapidjson::Value& entry, const char* key) {
  auto member = entry.FindMember(key);
  if (member == entry.MemberEnd() || !member->value.IsString()) return {};
  return member->value.GetString();
}

// What became of one listed file.
struct FileResult {
  bool succeeded = false;
  std::string message;
  std::string fileItemId;
  std::string fileItemName;
};

// The settings every file's uploader shares with the list's.
void copySettings(const CorvaneMultiUpload& from, CorvaneMultiUpload& to) {
  using U = CorvaneMultiUpload;
  for (std::string U::*text :
       {&U::accounturl, &U::gatewaytokenurl, &U::projecturl, &U::rooturl, &U::tokenurl, &U::orgid,
        &U::taskurl, &U::parturl, &U::mergeurl, &U::aborturl, &U::directurl, &U::projectid,
        &U::tenantid, &U::appkey, &U::appsecret, &U::output}) {
    to.*text = from.*text;
  }
  to.partSize = from.partSize;
  to.parallelparts = from.parallelparts;
  to.stallseconds = from.stallseconds;
}

// One listed file's upload, as run() does it for a single file, but in
// steps that the transfer loop's completions drive, so that many files move
// side by side on the one thread: open, then the direct upload, or the task,
// the parts and the merge. Each step's request goes through the list's
// transfer loop; the uploader of the file shares the list's token.
class FileUpload {
 public:
  // `journal`, when the run keeps one, is this file's part of it, and
  // `recorded` the success an earlier run recorded there.
  FileUpload(CorvaneMultiUpload& list, const FileEntry& entry, SharedToken& token,
             std::unique_ptr<ResumeJournal> journal, std::optional<ResumeJournal::Done> recorded)
      : context_(list.context().loop),
        uploader_(context_),
        loop_(list.context().loop),
        recorded_(std::move(recorded)) {
    copySettings(list, uploader_);
    uploader_.localfile = entry.localfile;
    uploader_.targetname = entry.targetname;
    context_.sharedToken = &token;
    context_.logLabel = escapeControls(entry.targetname) + ": ";
    context_.journal = std::move(journal);
    context_.progress = list.context().progress;
  }
  FileUpload(const FileUpload&) = delete;
  FileUpload& operator=(const FileUpload&) = delete;

  void start() {
    Env& env = Env::current();
    start_ = env.nowTicks();
    file_ = std::make_unique<ReadOnlyFile>(uploader_.localfile);
    if (!file_->isOpen()) {
      UPLOAD_LOG(ERROR) << context_.logLabel << "local file "
                        << escapeControls(uploader_.localfile) << ": "
                        << env.fileReadProblem(uploader_.localfile);
      return fail("local file can not access!");
    }
    if (uploadedEarlier()) return;
    if (file_->size() <= static_cast<uint64_t>(uploader_.partSize)) return sendWhole();
    multipart();
  }

  bool finished() const { return finished_; }
  // A request of this file spent every attempt on failed transfers, or no
  // storage token could be had: later files would fare no better.
  bool attemptsSpent() const { return spent_; }
  FileResult result() const {
    return FileResult{succeeded_, succeeded_ ? std::string() : uploader_.errorMessage,
                      uploader_.fileItemId, uploader_.fileItemName};
  }

 private:
  // Whether an earlier run recorded this file, as it is now, as uploaded:
  // then it is a success with the item recorded, and nothing is sent.
  bool uploadedEarlier() {
    if (!recorded_) return false;
    JournalUpload now = journalUploadOf(uploader_, *file_, "");
    // The part size says how a file was sent, not which file it is.
    now.partSize = recorded_->upload.partSize;
    const std::string difference = firstDifference(recorded_->upload, now);
    if (!difference.empty()) {
      UPLOAD_LOG(INFO) << context_.logLabel << "uploaded in an earlier run, but " << difference
                       << " differs now; uploading it again";
      return false;
    }
    UPLOAD_LOG(INFO) << "already uploaded in an earlier run: "
                     << escapeControls(uploader_.targetname);
    uploader_.fileItemId = recorded_->fileItemId;
    uploader_.fileItemName = recorded_->fileItemName;
    if (ProgressReport* progress = context_.progress.get()) progress->acknowledge(file_->size(), 0);
    succeed(false);
    return true;
  }

  void sendWhole() {
    body_ = std::make_unique<BodySource>(*file_, 0, file_->size());
    auto request = uploader_.directUploadRequest(*file_, *body_);
    if (!request) return fail("uploadOnePartData failed!", true);
    uploader_.startDocumentStore(std::move(*request), [this](HttpResponse response) {
      noteSpent(response);
      if (!uploader_.judgeDirectUpload(response, *file_)) return fail("uploadOnePartData failed!");
      if (ProgressReport* progress = context_.progress.get()) {
        progress->acknowledge(file_->size(), 0);
      }
      succeed();
    });
  }

  // As uploadMultipart: a task the journal names is continued, else a new
  // one is created; a continued task the service no longer knows is started
  // anew once.
  void multipart() {
    PartPlan plan(file_->size(), static_cast<uint64_t>(uploader_.partSize));
    if (ProgressReport* progress = context_.progress.get()) {
      progress->plan(plan.total(), plan.count());
    }
    if (context_.journal) continued_ = uploader_.continueFromJournal(*file_);
    if (!continued_) return createTask();
    uploadId_ = continued_->task;
    sendParts(continued_->missing);
  }

  void createTask() {
    auto request = uploader_.taskRequest(*file_);
    if (!request) return fail("createUploadTask failed!", true);
    uploader_.startDocumentStore(std::move(*request), [this](HttpResponse response) {
      noteSpent(response);
      if (!uploader_.judgeTask(response, uploadId_)) return fail("createUploadTask failed!");
      if (context_.journal) uploader_.startJournal(*file_, uploadId_);
      sendParts(PartPlan(file_->size(), static_cast<uint64_t>(uploader_.partSize)).indices());
    });
  }

  void sendParts(const std::vector<uint64_t>& indices) {
    parts_ = uploader_.startPlannedParts(
        uploadId_, *file_, indices, continued_.has_value(),
        [this](PartsOutcome outcome, bool spent) {
          spent_ = spent_ || spent;
          if (outcome == PartsOutcome::kTaskUnknown) {
            UPLOAD_LOG(INFO) << context_.logLabel << "task " << escapeControls(uploadId_)
                             << " is no longer known to the service; starting a new upload";
            context_.journal->discard();
            continued_.reset();
            return createTask();
          }
          if (outcome != PartsOutcome::kArrived) return fail("uploadPartData failed!");
          merge();
        });
  }

  void merge() {
    auto request = uploader_.mergeRequest(uploadId_);
    if (!request) return fail("mergeUploadTask failed!", true);
    uploader_.startDocumentStore(std::move(*request), [this](HttpResponse response) {
      noteSpent(response);
      bool unsure = false;
      const bool merged = uploader_.judgeMerge(response, unsure);
      // A merged task is done; a continued one whose merge failed cannot be
      // trusted again: the next run starts clean. A new one is kept, and so
      // is one whose merge may have stored the file unseen.
      if (context_.journal && (merged || (continued_ && !unsure))) context_.journal->discard();
      if (!merged) return fail("mergeUploadTask failed!");
      succeed();
    });
  }

  void noteSpent(const HttpResponse& response) {
    spent_ = spent_ || response.outcome == RequestOutcome::kAttemptsSpent;
  }

  void fail(const char* message, bool spent = false) {
    spent_ = spent_ || spent;
    uploader_.errorMessage = message;
    const StopFlag& stop = loop_.controls().stop;
    if (stop.raised()) uploader_.errorMessage = "upload cancelled!";
    end();
  }

  // The file arrived whole; a run with a journal records it there, so that
  // a rerun leaves it alone.
  void succeed(bool record = true) {
    succeeded_ = true;
    if (record && context_.journal &&
        !context_.journal->recordDone({journalUploadOf(uploader_, *file_, ""),
                                       uploader_.fileItemId, uploader_.fileItemName})) {
      UPLOAD_LOG(WARNING) << context_.logLabel
                          << "the upload could not be written to the journal";
    }
    end();
  }

  void end() {
    finished_ = true;
    if (ProgressReport* progress = context_.progress.get()) progress->fileEnded();
    int64_t elapsed = (Env::current().nowTicks() - start_) / kTicksPerSecond;
    UPLOAD_LOG(INFO) << context_.logLabel << "upload " << escapeControls(uploader_.localfile)
                     << " spend time: " << elapsed << " seconds.";
  }

  RunContext context_;
  CorvaneMultiUpload uploader_;
  TransferLoop& loop_;
  std::optional<ResumeJournal::Done> recorded_;
  std::unique_ptr<ReadOnlyFile> file_;
  std::unique_ptr<BodySource> body_;
  std::unique_ptr<PartsInFlight> parts_;
  std::optional<CorvaneMultiUpload::Continuation> continued_;
  std::string uploadId_;
  int64_t start_ = 0;
  bool finished_ = false;
  bool succeeded_ = false;
  bool spent_ = false;
};

// The list's result: every file's, in the order of the configuration.
std::string buildListResult(const std::vector<FileEntry>& entries,
                            const std::vector<FileResult>& results, bool succeeded,
                            const std::string& message) {
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  // Values go in as C strings, so each ends at its first NUL.
  auto text = [&writer](const char* key, const std::string& value) {
    writer.Key(key);
    writer.String(value.c_str());
  };
  writer.StartObject();
  text("code", succeeded ? "success" : "failed");
  text("message", message);
  writer.Key("data");
  writer.StartObject();
  writer.Key("files");
  writer.StartArray();
  for (size_t i = 0; i < entries.size(); ++i) {
    writer.StartObject();
    text("localfile", entries[i].localfile);
    // In the result file's code page, like every other text of it.
    text("targetname", utf8ToLocal(entries[i].targetname));
    text("code", results[i].succeeded ? "success" : "failed");
    text("message", results[i].message);
    text("fileitemid", results[i].fileItemId);
    text("fileitemname", results[i].fileItemName);
    writer.EndObject();
  }
  writer.EndArray();
  writer.EndObject();
  writer.EndObject();
  return std::string(buffer.GetString(), buffer.GetSize());
}

// Drives the files of a list: starts up to `parallelfiles` of them, in the
// order of the list, and a new one whenever one ends, until every file has
// ended, a stop came, or a file failed because the network did.
class FileListRun {
 public:
  explicit FileListRun(CorvaneMultiUpload& list)
      : list_(list),
        entries_(list.context().settings.files),
        loop_(list.context().loop),
        results_(entries_.size()) {}

  bool run() {
    Env& env = Env::current();
    // The first document-store request fetches a fresh token, as run() does.
    token_.expiry = env.nowTicks();
    int64_t start = env.nowTicks();
    RunContext& context = list_.context();
    if (context.journal) journaled_ = context.journal->readEntries();
    if (ProgressReport* progress = context.progress.get()) {
      uint64_t total = 0;
      for (const FileEntry& entry : entries_) total += getFileSize(entry.localfile);
      progress->planFiles(total, entries_.size());
    }
    drive();
    endUnstarted();
    size_t succeeded = 0;
    for (const FileResult& result : results_) succeeded += result.succeeded ? 1 : 0;
    const size_t failed = results_.size() - succeeded;
    int64_t elapsed = (env.nowTicks() - start) / kTicksPerSecond;
    UPLOAD_LOG(INFO) << "files: " << succeeded << " succeeded, " << failed << " failed, in "
                     << elapsed << " seconds";
    const StopFlag& stop = loop_.controls().stop;
    std::string message;
    if (failed > 0) {
      message = stop.raised() ? "upload cancelled!"
                              : std::to_string(failed) + " of " + std::to_string(results_.size()) +
                                    " files failed!";
      if (stop.raised()) UPLOAD_LOG(ERROR) << "upload cancelled by " << stopCauseText(stop.cause());
      UPLOAD_LOG(ERROR) << "upload failed: " << message;
    }
    // Every file arrived: nothing is left to continue.
    if (context.journal && failed == 0) context.journal->discard();
    if (context.journal) context.journal->removeIfEmpty();
    if (ProgressReport* progress = context.progress.get()) {
      progress->finish(failed == 0 ? "success" : stop.raised() ? "cancelled" : "failed");
    }
    std::string reason;
    const std::string& output = list_.output;
    if (!writeTextFile(output, buildListResult(entries_, results_, failed == 0, message), reason)) {
      UPLOAD_LOG(ERROR) << "result file " << escapeControls(output)
                        << " can not be written: " << reason;
      UPLOAD_LOG(ERROR) << "output result failed!";
      return false;
    }
    return true;
  }

 private:
  // Starts files while there is room, and moves the transfer loop on one
  // step at a time in between, so that a file that ended is taken in (and
  // its uploader released) outside its own steps.
  void drive() {
    const size_t parallel = static_cast<size_t>(list_.context().settings.parallelfiles);
    for (;;) {
      takeInEnded();
      if (active_.size() < parallel && next_ < entries_.size() && !blocked()) {
        startFile();
        continue;
      }
      if (active_.empty()) return;
      if (!loop_.turn()) {
        // Every file in flight waits on a request: this cannot happen.
        UPLOAD_LOG(ERROR) << "files left waiting with nothing in flight";
        return;
      }
    }
  }

  bool blocked() const { return doomed_ || loop_.controls().stop.raised(); }

  void startFile() {
    const size_t position = next_++;
    std::unique_ptr<ResumeJournal> journal;
    std::optional<ResumeJournal::Done> recorded;
    if (ResumeJournal* list = list_.context().journal.get()) {
      ResumeJournal::EntryState& state = journaled_[position + 1];
      journal = ResumeJournal::forEntry(*list, position + 1, std::move(state.contents));
      recorded = std::move(state.done);
      journaled_.erase(position + 1);
    }
    auto upload = std::make_unique<FileUpload>(list_, entries_[position], token_,
                                               std::move(journal), std::move(recorded));
    FileUpload& started = *upload;
    active_.push_back({position, std::move(upload)});
    started.start();
  }

  void takeInEnded() {
    for (auto at = active_.begin(); at != active_.end();) {
      if (!at->upload->finished()) {
        ++at;
        continue;
      }
      record(at->position, at->upload->result());
      if (!results_[at->position].succeeded && at->upload->attemptsSpent() && !doomed_) {
        doomed_ = true;
        UPLOAD_LOG(ERROR) << "a request spent every attempt on failed transfers: "
                             "no further file starts";
      }
      at = active_.erase(at);
    }
  }

  void record(size_t position, FileResult result) {
    results_[position] = std::move(result);
    const FileResult& ended = results_[position];
    UPLOAD_LOG(INFO) << "file " << position + 1 << "/" << entries_.size() << " "
                     << escapeControls(entries_[position].targetname) << ": "
                     << (ended.succeeded ? "success"
                                         : "failed (" + escapeControls(ended.message) + ")");
  }

  // The files that never started fail: cancelled by a stop, or left out
  // after the network failed.
  void endUnstarted() {
    const bool stopped = loop_.controls().stop.raised();
    for (size_t position = next_; position < entries_.size(); ++position) {
      FileResult result;
      result.message = stopped ? "upload cancelled!" : "upload not started!";
      record(position, result);
    }
    next_ = entries_.size();
  }

  struct Active {
    size_t position;
    std::unique_ptr<FileUpload> upload;
  };

  CorvaneMultiUpload& list_;
  const std::vector<FileEntry>& entries_;
  TransferLoop& loop_;
  SharedToken token_;
  // What the journal held for each entry at the start.
  std::map<uint64_t, ResumeJournal::EntryState> journaled_;
  std::vector<FileResult> results_;
  std::list<Active> active_;
  size_t next_ = 0;
  bool doomed_ = false;
};

}  // namespace

bool readFileList(const rapidjson::Document& document, std::vector<FileEntry>& entries,
                  std::string& problem) {
  if (document.HasMember("localfile") || document.HasMember("targetname")) {
    problem = "files is given together with a top-level localfile or targetname";
    return false;
  }
  const rapidjson::Value& list = document["files"];
  if (!list.IsArray()) {
    problem = "files is not an array";
    return false;
  }
  if (list.Empty() || list.Size() > kMaxListedFiles) {
    problem = "files holds " + std::to_string(list.Size()) + " entries, not 1 to " +
              std::to_string(kMaxListedFiles);
    return false;
  }
  entries.clear();
  entries.reserve(list.Size());
  for (rapidjson::SizeType i = 0; i < list.Size(); ++i) {
    const rapidjson::Value& entry = list[i];
    const std::string position = "entry " + std::to_string(i + 1);
    if (!entry.IsObject()) {
      problem = position + " is not an object";
      return false;
    }
    FileEntry file{entryText(entry, "localfile"), entryText(entry, "targetname")};
    if (file.localfile.empty() || file.targetname.empty()) {
      problem = position + ": " + (file.localfile.empty() ? "localfile" : "targetname") +
                " is missing, empty or not a string";
      return false;
    }
    entries.push_back(std::move(file));
  }
  return true;
}

bool convertFileList(std::vector<FileEntry>& entries, std::string& problem) {
  for (size_t i = 0; i < entries.size(); ++i) {
    std::string local = utf8ToLocal(entries[i].localfile);
    if (local.empty()) {
      problem = "entry " + std::to_string(i + 1) + ": localfile " +
                escapeControls(entries[i].localfile) + " has no " + localCodepageName() + " form";
      return false;
    }
    entries[i].localfile = std::move(local);
  }
  return true;
}

bool runFileList(CorvaneMultiUpload& list) { return FileListRun(list).run(); }

}  // namespace corvane
