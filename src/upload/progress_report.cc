#include "upload/progress_report.h"

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <algorithm>

#include "platform/env.h"
#include "platform/file_replace.h"
#include "text/local_codepage.h"
#include "text/log_text.h"
#include "transport/log_source.h"

namespace corvane {
namespace {

constexpr int64_t kWriteEveryMilliseconds = 1000;
constexpr int64_t kRateWindowMilliseconds = 5000;

}  // namespace

ProgressReport::ProgressReport(std::string path, const TransferLoop& loop)
    : path_(std::move(path)), loop_(loop), startMilliseconds_(Env::current().steadyMilliseconds()) {}

void ProgressReport::enterPhase(const std::string& phase) {
  if (listed_) return;
  if (phase == phase_ && writtenMilliseconds_ >= 0) return;
  phase_ = phase;
  write();
}

void ProgressReport::planFiles(uint64_t total, uint64_t fileCount) {
  total_ = total;
  fileCount_ = fileCount;
  phase_ = "files";
  listed_ = true;
  write();
}

void ProgressReport::fileEnded() { ++files_; }

void ProgressReport::plan(uint64_t total, uint64_t partCount) {
  if (listed_) {
    partCount_ += partCount;
    return;
  }
  total_ = total;
  partCount_ = partCount;
}

void ProgressReport::acknowledge(uint64_t bytes, uint64_t parts) {
  acknowledged_ += bytes;
  parts_ += parts;
}

void ProgressReport::acknowledgeStored(uint64_t bytes, uint64_t parts) {
  stored_ += bytes;
  parts_ += parts;
}

void ProgressReport::restart() {
  stored_ = 0;
  acknowledged_ = 0;
  parts_ = 0;
  shown_ = 0;
  samples_.clear();
}

void ProgressReport::finish(const std::string& outcome) {
  if (outcome == "success") acknowledged_ = total_;
  phase_ = outcome;
  write(true);
}

void ProgressReport::attemptFailed(const std::string& cause) {
  ++retries_;
  cause_ = cause;
  shown_ = 0;
}

void ProgressReport::loopTurned() {
  if (Env::current().steadyMilliseconds() - writtenMilliseconds_ >= kWriteEveryMilliseconds) write();
}

uint64_t ProgressReport::bytes() const {
  return std::min(total_, std::max(shown_, stored_ + acknowledged_ + loop_.bytesInFlight()));
}

void ProgressReport::write(bool last) {
  const int64_t now = Env::current().steadyMilliseconds();
  const uint64_t sent = bytes();
  shown_ = sent;
  // The rate counts what this run sent: parts stored before it took no time.
  const uint64_t sentThisRun = sent - std::min(sent, stored_);
  samples_.emplace_back(now, sentThisRun);
  while (samples_.size() > 1 && now - samples_[1].first >= kRateWindowMilliseconds) {
    samples_.pop_front();
  }
  const int64_t span = now - samples_.front().first;
  const uint64_t moved =
      sentThisRun >= samples_.front().second ? sentThisRun - samples_.front().second : 0;
  const uint64_t rate = span > 0 ? moved * 1000 / static_cast<uint64_t>(span) : 0;
  const int64_t eta = rate > 0 ? static_cast<int64_t>((total_ - sent + rate - 1) / rate)
                               : (sent == total_ && total_ > 0 ? 0 : -1);

  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  // The cause is shown in the local code page, as the result file's texts.
  const std::string cause = utf8ToLocal(cause_);
  writer.StartObject();
  writer.Key("phase");
  writer.String(phase_.c_str());
  writer.Key("bytes");
  writer.Uint64(sent);
  writer.Key("total");
  writer.Uint64(total_);
  writer.Key("parts");
  writer.Uint64(parts_);
  writer.Key("partcount");
  writer.Uint64(partCount_);
  if (listed_) {
    writer.Key("files");
    writer.Uint64(files_);
    writer.Key("filecount");
    writer.Uint64(fileCount_);
  }
  writer.Key("elapsed");
  writer.Int64((now - startMilliseconds_) / 1000);
  writer.Key("rate");
  writer.Uint64(rate);
  writer.Key("eta");
  writer.Int64(eta);
  writer.Key("retries");
  writer.Uint64(retries_);
  writer.Key("cause");
  writer.String(cause.c_str());
  writer.EndObject();
  writtenMilliseconds_ = now;
  std::string reason;
  // Replaced whole, not kept on disk at every write: it is outdated a second
  // later anyway. Only the last state waits out a reader that holds the file;
  // an earlier one is simply written again a second later.
  if (!replaceFile(path_, std::string(buffer.GetString(), buffer.GetSize()), reason, false,
                   last) &&
      !warned_) {
    warned_ = true;
    UPLOAD_LOG(WARNING) << "progress file " << escapeControls(path_) << " can not be written: "
                        << reason;
  }
}

}  // namespace corvane
