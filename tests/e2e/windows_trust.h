#pragma once

#include <string>

#include "e2e_harness.h"
#include "support/tls_test_server.h"

namespace corvane::e2e {

// `authority` in the Windows certificate store of the uploader under test for
// the object's lifetime (the Wine prefix's machine root store).
class TrustedByWindows {
 public:
  TrustedByWindows(const TempDir& dir, const testing::TestCertificate& authority)
      : pem_(dir.file("authority.pem")) {
    writeFile(pem_, authority.pem());
    added_ = runBesideUploader("root_certificate.exe", {"add", uploaderPath(pem_)}) == 0;
  }
  ~TrustedByWindows() {
    if (added_) runBesideUploader("root_certificate.exe", {"remove", uploaderPath(pem_)});
  }
  TrustedByWindows(const TrustedByWindows&) = delete;
  TrustedByWindows& operator=(const TrustedByWindows&) = delete;

  bool added() const { return added_; }

 private:
  std::string pem_;
  bool added_ = false;
};

}  // namespace corvane::e2e
