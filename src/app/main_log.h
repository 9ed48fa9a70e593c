#pragma once

#include <glog/logging.h>

// Log lines of the entry and its start-up carry the source name "main".
#define MAIN_LOG(severity) ::google::LogMessage("main", __LINE__, ::google::GLOG_##severity).stream()
