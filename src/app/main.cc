#include <glog/logging.h>

#include <memory>

#include "app/command_line.h"
#include "upload/corvane_multi_upload.h"

#define MAIN_LOG(severity) ::google::LogMessage("main", __LINE__, ::google::GLOG_##severity).stream()

namespace {

// Shuts logging down however main is left.
struct LoggingSession {
  LoggingSession() { google::InitGoogleLogging(""); }
  ~LoggingSession() { google::ShutdownGoogleLogging(); }
  LoggingSession(const LoggingSession&) = delete;
  LoggingSession& operator=(const LoggingSession&) = delete;
};

}  // namespace

int main(int argc, char* argv[]) {
  LoggingSession logging;
  if (!corvane::parseCommandLine(argc, argv)) {
    MAIN_LOG(ERROR) << "-cfg empty!";
    return -1;
  }
  auto uploader = std::make_unique<corvane::CorvaneMultiUpload>();
  if (!uploader->loadConfig(corvane::argumentTable()["-cfg"])) {
    // The reason would otherwise reach nobody: no result file follows.
    if (!uploader->errorMessage.empty()) MAIN_LOG(ERROR) << uploader->errorMessage;
    return -1;
  }
  uploader->run();
  return 0;
}
