#pragma once

// Shared by the fuzz targets: a quiet process, a scratch directory with a
// small file to upload, a ready uploader whose requests never leave the
// process, and a check that ends the run on a broken promise.

#include <fcntl.h>
#include <glog/logging.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/env.h"
#include "platform/read_only_file.h"
#include "support/fake_env.h"
#include "support/scripted_transfers.h"
#include "text/local_codepage.h"
#include "upload/corvane_multi_upload.h"

namespace corvane::fuzz {

// Ends the run as a crash, with the reason, when `holds` is false.
inline void check(bool holds, const char* what) {
  if (holds) return;
  std::fprintf(stderr, "fuzz check failed: %s\n", what);
  std::abort();
}

// One directory for the whole run, removed at exit, holding "data.bin".
class Scratch {
 public:
  static Scratch& get() {
    static Scratch scratch;
    return scratch;
  }
  const std::string& dir() const { return dir_; }
  std::string file(const std::string& name) const { return dir_ + "/" + name; }
  const std::string& dataFile() const { return dataFile_; }

 private:
  Scratch() {
    std::string pattern = (std::filesystem::temp_directory_path() / "corvane-fuzz-XXXXXX").string();
    check(mkdtemp(pattern.data()) != nullptr, "mkdtemp");
    dir_ = pattern;
    dataFile_ = file("data.bin");
    std::ofstream(dataFile_, std::ios::binary) << "0123456789";
  }
  ~Scratch() {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  std::string dir_;
  std::string dataFile_;
};

// Runs once per process: the uploader's response dumps (standard output)
// and log lines would only slow the run and bury the fuzzer's own report.
// Log lines are still formatted; only their output is suppressed.
inline void quietProcess() {
  static bool done = [] {
    FLAGS_minloglevel = google::GLOG_FATAL;
    int null = ::open("/dev/null", O_WRONLY);
    if (null >= 0) {
      ::dup2(null, STDOUT_FILENO);
      ::close(null);
    }
    Scratch::get();
    return true;
  }();
  (void)done;
}

// An uploader as it stands after a successful load, holding a storage token
// valid for an hour of `env`'s clock, so that a document-store request makes
// no token request of its own. Every URL points at a closed loopback port,
// though the installed transfers never open a connection.
inline void makeReady(CorvaneMultiUpload& uploader, const testing::FakeEnv& env) {
  const std::string root = "http://127.0.0.1:9";
  uploader.accounturl = root;
  uploader.gatewaytokenurl = "/api/uaa/oauth/token";
  uploader.projecturl = "/api/org-permission/v4/orgs/{org-id}/projects?includeExtendData=false";
  uploader.rooturl = root;
  uploader.tokenurl = root + "/oauth2/token";
  uploader.taskurl = root + "/mdox/v1/data/projects/4242/file-items/multi-part-files";
  uploader.parturl = uploader.taskurl + "/signed-url";
  uploader.mergeurl = uploader.taskurl + "/merge";
  uploader.aborturl = uploader.taskurl + "/abort";
  uploader.directurl = root + "/mdox/data/v1/projects/4242/fileItems";
  uploader.projectid = "4242";
  uploader.appkey = "app-key-1";
  uploader.appsecret = "s3cr&t=+/key";
  uploader.localfile = Scratch::get().dataFile();
  uploader.targetname = "report.pdf";
  uploader.output = Scratch::get().file("result.json");
  uploader.partSize = 1048576;
  uploader.accessToken = "st-ready";
  uploader.accessTokenExpiry = env.ticks + 3600 * kTicksPerSecond;
  uploader.errorMessage = "earlier message";
}

inline std::string asText(const uint8_t* data, size_t size) {
  return std::string(reinterpret_cast<const char*>(data), size);
}

}  // namespace corvane::fuzz
