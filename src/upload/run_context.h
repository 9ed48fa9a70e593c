#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "transport/proxy_choice.h"
#include "transport/transfer_loop.h"
#include "upload/progress_report.h"
#include "upload/resume_journal.h"

namespace corvane {

// One entry of a list of files: the local path (local code page) and the
// name the file is to bear in the store (UTF-8).
struct FileEntry {
  std::string localfile;
  std::string targetname;
};

// The settings of a run beyond the uploader's own fields: the controls of
// the run and where its reports go. Filled by loadConfig.
struct RunSettings {
  // The journal of a multipart upload, so that a later run can continue it
  // (local code page); empty: none.
  std::string resumefile;
  // Where the progress report goes (local code page); empty: none.
  std::string progressfile;
  // A file whose appearance stops the run (local code page); empty: none.
  std::string stopfile;
  // KiB per second that all transfers of the run share; 0: no cap.
  int maxkbps = 0;
  // The proxy as configured: empty (the environment's, or the system's),
  // "direct", or a proxy URL.
  std::string proxy;
  // The files of a run that uploads a list; empty: the one `localfile`.
  std::vector<FileEntry> files;
  // Files of the list in flight at once.
  int parallelfiles = 4;
};

// The storage token that the uploaders of a list's files share: each
// uploader's own cached token mirrors it while it asks for one.
struct SharedToken {
  std::string token;
  int64_t expiry = 0;
};

// What the uploader works with besides its own settings, owned by the entry
// and passed in: the transfer loop that every request of the run goes
// through (with the controls it reads), the run's settings, and the journal
// and the progress report they ask for (opened by loadConfig).
struct RunContext {
  explicit RunContext(TransferLoop& transferLoop) : loop(transferLoop) {}
  TransferLoop& loop;
  RunSettings settings;
  std::unique_ptr<ResumeJournal> journal;
  // Shared with the uploaders of a list's files.
  std::shared_ptr<ProgressReport> progress;
  // Chooses each request's proxy; loadConfig hands it the configured one.
  // None where the transfers are not the network's (tests).
  ProxyChooser* proxies = nullptr;
  // The token shared by the files of a list; none for a single file.
  SharedToken* sharedToken = nullptr;
  // Put before the log lines of one file's upload: its target name, within
  // a list; empty for a single file.
  std::string logLabel;
};

}  // namespace corvane
