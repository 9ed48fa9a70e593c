// Certificate verification by the real uploader, against an HTTPS server on
// loopback with certificates made at test time: an untrusted server, or a
// trusted one for another name, gets a TLS handshake and not one request.
// Every failed attempt would be retried (33 attempts, a minute of pauses):
// a run is ended once its first attempt has logged its cause.
//
// The Windows build trusts the Windows certificate store: a test authority
// is added to the Wine prefix's machine root store for the tests that need
// one. The Linux build trusts the system's store, which the tests leave alone.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "e2e_harness.h"
#include "support/tls_test_server.h"
#include "windows_trust.h"

namespace corvane::e2e {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using testing::TestCertificate;
using testing::TlsServer;

const std::string kContent = "bytes that must never leave the machine unverified";

class CertificateVerification : public ::testing::Test {
 protected:
  // A small direct upload to `server`; with `untilFirstCause`, ended once the
  // first attempt has logged its cause.
  RunResult uploadTo(const TlsServer& server, bool untilFirstCause,
                     std::vector<std::string> environment = {}) {
    writeFile(dir.file("input.bin"), kContent);
    RunOptions options;
    options.environment = std::move(environment);
    if (untilFirstCause) options.stopWhenErrHas = " attempt 1 failed: ";
    const std::string base = server.url("");
    return runUploaderWith(dir, {"-cfg", writeConfigFor(dir, base, dir.file("input.bin"))},
                           options);
  }

  // The run was ended at its first attempt's cause, which is `cause`, and the
  // server took no request.
  void expectRefusedWithNothingSent(const RunResult& run, const TlsServer& server,
                                    const std::string& cause) {
    EXPECT_TRUE(run.stopped) << run.err;
    // "<url> attempt N failed: <cause>", in order.
    std::vector<std::string> causes = logMessagesWith(run.err, " attempt ");
    ASSERT_FALSE(causes.empty()) << run.err;
    EXPECT_EQ(causes[0], server.url("/oauth2/token") + " attempt 1 failed: " + cause);
    EXPECT_EQ(server.requests(), 0);
    EXPECT_EQ(server.bodyBytes(), 0u);
  }

  TempDir dir;
};

TEST_F(CertificateVerification, ASelfSignedServerIsRefusedWithNothingSent) {
  TestCertificate identity("IP:127.0.0.1");
  ASSERT_TRUE(identity.signedOk);
  TlsServer server(identity);
  ASSERT_TRUE(server.running());
  RunResult run = uploadTo(server, true);
  expectRefusedWithNothingSent(
      run, server, "SSL certificate problem: self-signed certificate (curl error 60)");
  // The server was reached; the client broke the handshake off.
  EXPECT_GE(server.handshakesAtLeast(1), 1);
  EXPECT_EQ(server.completedHandshakesAtLeast(1), 0);
}

TEST_F(CertificateVerification, ATrustedCertificateForAnotherNameIsRefusedWithNothingSent) {
  if (!uploaderIsWindows()) {
    GTEST_SKIP() << "the Linux build trusts only the system's store, which the tests leave "
                    "alone (tls_verification_test.cc checks host names with an authority of "
                    "its own)";
  }
  TestCertificate authority("DNS:authority.invalid");
  TestCertificate identity("DNS:store.invalid", &authority);
  ASSERT_TRUE(identity.signedOk);
  TrustedByWindows trust(dir, authority);
  ASSERT_TRUE(trust.added());
  TlsServer server(identity);
  ASSERT_TRUE(server.running());
  RunResult run = uploadTo(server, true);
  expectRefusedWithNothingSent(run, server,
                               "SSL: no alternative certificate subject name matches target host "
                               "name '127.0.0.1' (curl error 60)");
  // The chain was trusted: the handshake went through, then the name failed.
  EXPECT_GE(server.completedHandshakesAtLeast(1), 1);
}

// The control case: the same authority, a certificate for this host, and the
// file arrives, so the refusal above comes from the name alone. The server
// takes one request per connection: the run's two connections are verified
// against one load of the Windows root store.
TEST_F(CertificateVerification, ATrustedCertificateForThisHostReceivesTheFile) {
  if (!uploaderIsWindows()) {
    GTEST_SKIP() << "the Linux build trusts only the system's store, which the tests leave "
                    "alone (tls_verification_test.cc has this case with an authority of its own)";
  }
  TestCertificate authority("DNS:authority.invalid");
  TestCertificate identity("IP:127.0.0.1", &authority);
  ASSERT_TRUE(identity.signedOk);
  TrustedByWindows trust(dir, authority);
  ASSERT_TRUE(trust.added());
  TlsServer server(identity);
  ASSERT_TRUE(server.running());
  RunResult run = uploadTo(server, false, {"GLOG_v=1"});
  // The server's answers carry no item: the run fails after the upload.
  EXPECT_EQ(run.exitStatus, 0) << run.err;
  EXPECT_THAT(run.err, Not(HasSubstr(" attempt 1 failed: ")));
  EXPECT_EQ(server.requests(), 2) << run.err;  // the storage token, then the file
  EXPECT_EQ(server.lastBody(), kContent);
  EXPECT_EQ(server.completedHandshakesAtLeast(2), 2);
  EXPECT_THAT(logMessagesWith(run.err, "connections opened: "),
              ::testing::ElementsAre("connections opened: 2, certificate store loads: 1"))
      << run.err;
}

}  // namespace
}  // namespace corvane::e2e
