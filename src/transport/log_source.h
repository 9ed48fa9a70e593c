#pragma once

#include <glog/logging.h>

// Log lines of the uploader and its transport carry one source name, whatever
// file they are written from.
#define UPLOAD_LOG(severity) \
  ::google::LogMessage("corvaneMuliUpload", __LINE__, ::google::GLOG_##severity).stream()
