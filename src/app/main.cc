#include <curl/curl.h>
#include <glog/logging.h>

#include <cstdio>
#include <iostream>
#include <memory>
#include <string>

#include "app/command_line.h"
#include "app/main_log.h"
#include "platform/stop_signals.h"
#include "platform/system_proxy.h"
#include "text/log_text.h"
#include "transport/curl_driver.h"
#include "transport/transfer_loop.h"
#include "upload/corvane_multi_upload.h"

namespace {

// The build: the log's first line and the answer to --version.
std::string versionLine() {
  return std::string("corvane-upload ") + CORVANE_VERSION + " (" + curl_version() + ")";
}

// Shuts logging down however main is left.
struct LoggingSession {
  LoggingSession() { google::InitGoogleLogging(""); }
  ~LoggingSession() { google::ShutdownGoogleLogging(); }
  LoggingSession(const LoggingSession&) = delete;
  LoggingSession& operator=(const LoggingSession&) = delete;
};

// libcurl's global state, for every request of the run: the project lookup
// while the configuration loads as well as the upload.
struct CurlGlobal {
  CurlGlobal() { curl_global_init(CURL_GLOBAL_ALL); }
  ~CurlGlobal() { curl_global_cleanup(); }
  CurlGlobal(const CurlGlobal&) = delete;
  CurlGlobal& operator=(const CurlGlobal&) = delete;
};

// At verbose level 1 (GLOG_v=1), the last line of a run tells how many
// connections its requests opened and how many times the trusted
// certificates were loaded for them.
void logConnectionCounts(const corvane::CurlDriver& network) {
  if (!VLOG_IS_ON(1)) return;
  MAIN_LOG(INFO) << "connections opened: " << network.connectionsOpened()
                 << ", certificate store loads: " << network.certificateStoreLoads();
}

}  // namespace

int main(int argc, char* argv[]) {
  // Each log line leaves at once, as it does on Linux: the Windows C runtime
  // would hold a redirected standard error back until the buffer fills or
  // the program ends, and lose it when the program is ended.
  std::setvbuf(stderr, nullptr, _IONBF, 0);
  corvane::ignoreClosedOutput();
  // Answered before logging starts: no log directory, no log line, no echo.
  if (corvane::answerInformationRequest(argc, argv, versionLine(), std::cout)) return 0;
  LoggingSession logging;
  bool haveConfig = corvane::parseCommandLine(argc, argv);
  // Every log names the build that wrote it.
  MAIN_LOG(INFO) << versionLine();
  if (!haveConfig) {
    MAIN_LOG(ERROR) << "-cfg empty!";
    return -1;
  }
  const std::string& configPath = corvane::argumentTable()["-cfg"];
  MAIN_LOG(INFO) << "configuration file: " << corvane::escapeControls(configPath);
  CurlGlobal curl;
  // One transfer loop over one connection pool for every request of the run.
  corvane::RunControls controls;
  corvane::CurlDriver network;
  // Each request's proxy: the configuration's, the environment's or the
  // system's.
  corvane::ProxyChooser proxies(corvane::systemProxy());
  proxies.heed(controls.stop);
  network.routeThrough(proxies);
  corvane::TransferLoop loop(network, controls);
  corvane::RunContext context(loop);
  context.proxies = &proxies;
  auto uploader = std::make_unique<corvane::CorvaneMultiUpload>(context);
  // A stop is heard from the first moment: the project lookup while loading
  // may retry for minutes.
  corvane::StopSignals signals(controls.stop);
  if (!uploader->loadConfig(configPath)) {
    // The reason would otherwise reach nobody: no result file follows.
    if (controls.stop.raised()) {
      MAIN_LOG(ERROR) << "upload cancelled by " << corvane::stopCauseText(controls.stop.cause());
      if (context.progress) context.progress->finish("cancelled");
    } else if (!uploader->errorMessage.empty()) {
      MAIN_LOG(ERROR) << corvane::escapeControls(uploader->errorMessage);
    }
    logConnectionCounts(network);
    signals.runEnded();
    return -1;
  }
  const bool reported = uploader->run();
  logConnectionCounts(network);
  signals.runEnded();
  // The caller must not take an earlier run's result file for this run's.
  return reported ? 0 : 1;
}
