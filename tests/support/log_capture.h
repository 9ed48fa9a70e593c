#pragma once

#include <glog/logging.h>

#include <string>
#include <vector>

namespace corvane::testing {

// Collects the text of every log line written while it lives.
class LogCapture : public google::LogSink {
 public:
  LogCapture() { google::AddLogSink(this); }
  ~LogCapture() override { google::RemoveLogSink(this); }
  void send(google::LogSeverity severity, const char*, const char* base, int,
            const google::LogMessageTime&, const char* message, size_t length) override {
    lines.emplace_back(message, length);
    severities.push_back(severity);
    sources.emplace_back(base);
  }
  std::vector<std::string> lines;
  std::vector<google::LogSeverity> severities;
  std::vector<std::string> sources;
};

}  // namespace corvane::testing
