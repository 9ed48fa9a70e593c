// The uploader sets no TLS option, so libcurl's certificate and host name
// checks stay on, against the system's CA bundle (ca-certificates). These
// tests run a real TLS server on 127.0.0.1 with a certificate made at test
// time and prove that an untrusted or misnamed server gets no request at
// all, while the same server, once trusted, does.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/read_only_file.h"
#include "support/fake_env.h"
#include "support/temp_file.h"
#include "transport/http_exchange.h"

namespace corvane {
namespace {

using testing::FakeEnv;
using testing::TempFile;

using KeyPtr = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using CertPtr = std::unique_ptr<X509, decltype(&X509_free)>;

// A fresh P-256 key and a self-signed certificate for `subjectAltName`
// (OpenSSL's "IP:..." or "DNS:..." form), valid from a minute ago for a day.
struct SelfSignedCertificate {
  explicit SelfSignedCertificate(const char* subjectAltName)
      : key(EVP_EC_gen("P-256"), &EVP_PKEY_free), cert(X509_new(), &X509_free) {
    if (!key || !cert) return;
    X509* x = cert.get();
    X509_set_version(x, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x), 1);
    X509_gmtime_adj(X509_getm_notBefore(x), -60);
    X509_gmtime_adj(X509_getm_notAfter(x), 86400);
    X509_set_pubkey(x, key.get());
    X509_NAME* name = X509_get_subject_name(x);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("corvane test server"), -1,
                               -1, 0);
    X509_set_issuer_name(x, name);
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, x, x, nullptr, nullptr, 0);
    X509_EXTENSION* alt = X509V3_EXT_conf_nid(nullptr, &context, NID_subject_alt_name,
                                              subjectAltName);
    if (alt) {
      X509_add_ext(x, alt, -1);
      X509_EXTENSION_free(alt);
    }
    signedOk = alt != nullptr && X509_sign(x, key.get(), EVP_sha256()) > 0;
  }

  std::string pem() const {
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), &BIO_free);
    PEM_write_bio_X509(bio.get(), cert.get());
    char* data = nullptr;
    long length = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<size_t>(length));
  }

  KeyPtr key;
  CertPtr cert;
  bool signedOk = false;
};

// An HTTPS server on a free loopback port that records what reached its
// handlers and how many TLS handshakes were started with it.
class TlsServer {
 public:
  explicit TlsServer(const SelfSignedCertificate& identity)
      : server_(identity.cert.get(), identity.key.get()) {
    if (!server_.is_valid()) return;
    SSL_CTX_set_app_data(server_.ssl_context(), this);
    SSL_CTX_set_info_callback(server_.ssl_context(), &TlsServer::onTlsEvent);
    auto record = [this](const httplib::Request& request, httplib::Response& response) {
      requests_.fetch_add(1);
      bodyBytes_.fetch_add(request.body.size());
      {
        std::lock_guard<std::mutex> lock(mutex_);
        lastBody_ = request.body;
      }
      response.set_content("{\"code\":\"success\"}", "application/json");
    };
    server_.Post(".*", record);
    server_.Put(".*", record);
    server_.Get(".*", record);
    port_ = server_.bind_to_any_port("127.0.0.1");
    if (port_ <= 0) return;
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    for (int i = 0; i < 500 && !server_.is_running(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  ~TlsServer() {
    server_.stop();
    if (thread_.joinable()) thread_.join();
  }
  TlsServer(const TlsServer&) = delete;
  TlsServer& operator=(const TlsServer&) = delete;

  bool running() const { return port_ > 0 && server_.is_running(); }
  std::string url(const std::string& path) const {
    return "https://127.0.0.1:" + std::to_string(port_) + path;
  }
  int requests() const { return requests_.load(); }
  size_t bodyBytes() const { return bodyBytes_.load(); }
  std::string lastBody() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lastBody_;
  }
  // Handshakes counted so far, waiting up to two seconds for `expected`: the
  // server thread may still be finishing one after the client gave up.
  int handshakesAtLeast(int expected) const {
    for (int i = 0; i < 200 && handshakes_.load() < expected; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return handshakes_.load();
  }

 private:
  static void onTlsEvent(const SSL* ssl, int where, int) {
    if ((where & SSL_CB_HANDSHAKE_START) == 0) return;
    auto* self = static_cast<TlsServer*>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl)));
    if (self) self->handshakes_.fetch_add(1);
  }

  httplib::SSLServer server_;
  std::thread thread_;
  int port_ = -1;
  std::atomic<int> requests_{0};
  std::atomic<size_t> bodyBytes_{0};
  std::atomic<int> handshakes_{0};
  std::mutex mutex_;
  std::string lastBody_;
};

// Trusts `pem` as the only certificate authority for every attempt, then
// performs the transfer with libcurl as the uploader does.
class TrustOnly {
 public:
  explicit TrustOnly(std::string pem) : pem_(std::move(pem)) {
    installTransferPerformer([this](Transfer& transfer) {
      curl_blob blob{pem_.data(), pem_.size(), CURL_BLOB_COPY};
      curl_easy_setopt(transfer.handle, CURLOPT_CAINFO_BLOB, &blob);
      return curl_easy_perform(transfer.handle);
    });
  }
  ~TrustOnly() { installTransferPerformer(nullptr); }
  TrustOnly(const TrustOnly&) = delete;
  TrustOnly& operator=(const TrustOnly&) = delete;

 private:
  std::string pem_;
};

// A streamed PUT as a part transfer sends it.
HttpResponse streamedPut(const std::string& url, BodySource& body) {
  HttpRequest request;
  request.method = "PUT";
  request.url = url;
  request.upload = &body;
  request.failOnHttpError = true;
  request.timeoutSeconds = 20;
  return performRequest(request);
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
  TrustOnly trust(identity.pem());
  TempFile file("0123456789");
  ReadOnlyFile open(file.path);
  BodySource body(open, 0, open.size());

  HttpResponse put = streamedPut(server.url("/storage/task/1"), body);
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
  TrustOnly trust(identity.pem());
  const std::string content = "part bytes delivered over a verified channel";
  TempFile file(content);
  ReadOnlyFile open(file.path);
  BodySource body(open, 0, open.size());

  HttpResponse put = streamedPut(server.url("/storage/task/1"), body);
  EXPECT_EQ(put.result, CURLE_OK);
  EXPECT_TRUE(env.sleeps.empty());
  EXPECT_EQ(server.requests(), 1);
  EXPECT_EQ(server.lastBody(), content);
}

}  // namespace
}  // namespace corvane
