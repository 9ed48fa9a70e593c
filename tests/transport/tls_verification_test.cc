// The uploader sets no TLS option, so libcurl's certificate and host name
// checks stay on, against the system's CA bundle (ca-certificates). These
// tests run a real TLS server on 127.0.0.1 with a certificate made at test
// time and prove that an untrusted or misnamed server gets no request at
// all, while the same server, once trusted, does.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "platform/read_only_file.h"
#include "support/fake_env.h"
#include "support/temp_file.h"
#include "support/tls_test_server.h"
#include "transport/curl_driver.h"
#include "transport/transfer_loop.h"

namespace corvane {
namespace {

using testing::FakeEnv;
using testing::TempFile;
using testing::TlsServer;
using SelfSignedCertificate = testing::TestCertificate;

// A streamed PUT as a part transfer sends it, through the network with the
// system's trust or, given `pem`, with that certificate as the only trust.
HttpResponse streamedPut(const std::string& url, BodySource& body, const std::string& pem = {}) {
  HttpRequest request;
  request.method = "PUT";
  request.url = url;
  request.upload = &body;
  request.failOnHttpError = true;
  request.timeoutSeconds = 20;
  RunControls controls;
  CurlDriver network(pem);
  TransferLoop loop(network, controls);
  return loop.perform(request);
}

TEST(TlsVerification, SelfSignedServerIsRefusedOnEveryAttemptAndGetsNoBytes) {
  SelfSignedCertificate identity("IP:127.0.0.1");
  ASSERT_TRUE(identity.signedOk);
  TlsServer server(identity);
  ASSERT_TRUE(server.running());
  FakeEnv env;  // the 31 pauses between attempts take no time
  TempFile file("part bytes that must never leave the machine");
  ReadOnlyFile open(file.path);
  BodySource body(open, 0, open.size());

  HttpResponse put = streamedPut(server.url("/storage/task/1"), body);
  EXPECT_EQ(put.result, CURLE_PEER_FAILED_VERIFICATION);
  EXPECT_EQ(env.sleeps.size(), 31u);
  // Every one of the 33 attempts reached the server's TLS layer: the refusal
  // is the client's verdict on the certificate, not a missing server.
  EXPECT_GE(server.handshakesAtLeast(33), 33);
  EXPECT_EQ(server.requests(), 0);
  EXPECT_EQ(server.bodyBytes(), 0u);
}

TEST(TlsVerification, TrustedCertificateForAnotherHostIsRefused) {
  SelfSignedCertificate identity("DNS:store.invalid");
  ASSERT_TRUE(identity.signedOk);
  TlsServer server(identity);
  ASSERT_TRUE(server.running());
  FakeEnv env;
  TempFile file("0123456789");
  ReadOnlyFile open(file.path);
  BodySource body(open, 0, open.size());

  HttpResponse put = streamedPut(server.url("/storage/task/1"), body, identity.pem());
  EXPECT_EQ(put.result, CURLE_PEER_FAILED_VERIFICATION);
  EXPECT_EQ(server.requests(), 0);
  EXPECT_EQ(server.bodyBytes(), 0u);
}

// The control case: the same kind of server, trusted and correctly named,
// receives the whole body, so the refusals above come from verification.
TEST(TlsVerification, TrustedCertificateForThisHostReceivesTheWholeBody) {
  SelfSignedCertificate identity("IP:127.0.0.1");
  ASSERT_TRUE(identity.signedOk);
  TlsServer server(identity);
  ASSERT_TRUE(server.running());
  FakeEnv env;
  const std::string content = "part bytes delivered over a verified channel";
  TempFile file(content);
  ReadOnlyFile open(file.path);
  BodySource body(open, 0, open.size());

  HttpResponse put = streamedPut(server.url("/storage/task/1"), body, identity.pem());
  EXPECT_EQ(put.result, CURLE_OK);
  EXPECT_TRUE(env.sleeps.empty());
  EXPECT_EQ(server.requests(), 1);
  EXPECT_EQ(server.lastBody(), content);
}

}  // namespace
}  // namespace corvane
