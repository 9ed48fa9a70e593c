#pragma once

#include <memory>
#include <string>

#include "transport/proxy_choice.h"
#include "transport/transfer_loop.h"
#include "upload/progress_report.h"
#include "upload/resume_journal.h"

namespace corvane {

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
  std::unique_ptr<ProgressReport> progress;
  // Chooses each request's proxy; loadConfig hands it the configured one.
  // None where the transfers are not the network's (tests).
  ProxyChooser* proxies = nullptr;
};

}  // namespace corvane
