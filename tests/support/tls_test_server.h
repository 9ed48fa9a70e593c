#pragma once

// Certificates made at test time and an HTTPS server on loopback that counts
// what reached it, for the tests of certificate verification (Linux only:
// the server is cpp-httplib's over OpenSSL).

#include <httplib.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>

namespace corvane::testing {

using KeyPtr = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using CertPtr = std::unique_ptr<X509, decltype(&X509_free)>;

// A fresh P-256 key and a certificate for `subjectAltName` (OpenSSL's
// "IP:..." or "DNS:..." form), valid from a minute ago for a day: signed by
// `issuer`, or self-signed (and then a certificate authority too) without one.
struct TestCertificate {
  explicit TestCertificate(const char* subjectAltName, const TestCertificate* issuer = nullptr)
      : key(EVP_EC_gen("P-256"), &EVP_PKEY_free), cert(X509_new(), &X509_free) {
    if (!key || !cert || (issuer && !issuer->signedOk)) return;
    X509* x = cert.get();
    X509_set_version(x, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x), issuer ? 2 : 1);
    X509_gmtime_adj(X509_getm_notBefore(x), -60);
    X509_gmtime_adj(X509_getm_notAfter(x), 86400);
    X509_set_pubkey(x, key.get());
    X509_NAME* name = X509_get_subject_name(x);
    // Each authority's name is its own: tests that run side by side add
    // theirs to one certificate store, and a verifier that found two
    // authorities of one name could check a signature with the wrong key.
    const std::string commonName =
        issuer ? "corvane test server"
               : "corvane test authority " + std::to_string(std::random_device{}());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1,
                               0);
    X509* signer = issuer ? issuer->cert.get() : x;
    X509_set_issuer_name(x, X509_get_subject_name(signer));
    bool extended = addExtension(signer, NID_subject_alt_name, subjectAltName) &&
                    addExtension(signer, NID_basic_constraints, issuer ? "CA:FALSE" : "CA:TRUE");
    EVP_PKEY* signingKey = issuer ? issuer->key.get() : key.get();
    signedOk = extended && X509_sign(x, signingKey, EVP_sha256()) > 0;
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

 private:
  bool addExtension(X509* signer, int nid, const char* value) {
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, signer, cert.get(), nullptr, nullptr, 0);
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
    if (!extension) return false;
    X509_add_ext(cert.get(), extension, -1);
    X509_EXTENSION_free(extension);
    return true;
  }
};

// An HTTPS server on a free loopback port that records what reached its
// handlers and how many TLS handshakes were started and completed with it.
class TlsServer {
 public:
  explicit TlsServer(const TestCertificate& identity)
      : server_(identity.cert.get(), identity.key.get()) {
    if (!server_.is_valid()) return;
    SSL_CTX_set_app_data(server_.ssl_context(), this);
    SSL_CTX_set_info_callback(server_.ssl_context(), &TlsServer::onTlsEvent);
    // A request without Content-Length and without chunked encoding has no
    // body (the uploader's token POST): the reader is not asked for one,
    // which would wait for the connection to close.
    auto record = [this](const httplib::Request& request, httplib::Response& response,
                         const httplib::ContentReader& reader) {
      std::string body;
      if (request.has_header("Content-Length") || request.get_header_value("Transfer-Encoding") == "chunked") {
        reader([&body](const char* data, size_t length) {
          body.append(data, length);
          return true;
        });
      }
      requests_.fetch_add(1);
      bodyBytes_.fetch_add(body.size());
      {
        std::lock_guard<std::mutex> lock(mutex_);
        lastBody_ = body;
      }
      // A storage token for the uploader's token request; no item, so an
      // upload that reached the server still fails after it.
      response.set_content("{\"code\":\"success\",\"data\":{\"token\":\"test-token\"}}",
                           "application/json");
    };
    // One request per connection: each request of a run makes a handshake
    // of its own.
    server_.set_keep_alive_max_count(1);
    server_.Post(".*", record);
    server_.Put(".*", record);
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
  // Handshakes started so far, waiting up to two seconds for `expected`: the
  // server thread may still be finishing one after the client gave up.
  int handshakesAtLeast(int expected) const { return awaited(handshakes_, expected); }
  // Handshakes the client saw through to the end (it trusted the
  // certificate chain), waiting up to two seconds for `expected`.
  int completedHandshakesAtLeast(int expected) const { return awaited(completed_, expected); }

 private:
  static int awaited(const std::atomic<int>& count, int expected) {
    for (int i = 0; i < 200 && count.load() < expected; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return count.load();
  }

  static void onTlsEvent(const SSL* ssl, int where, int) {
    auto* self = static_cast<TlsServer*>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl)));
    if (!self) return;
    if (where & SSL_CB_HANDSHAKE_START) self->handshakes_.fetch_add(1);
    if (where & SSL_CB_HANDSHAKE_DONE) self->completed_.fetch_add(1);
  }

  httplib::SSLServer server_;
  std::thread thread_;
  int port_ = -1;
  std::atomic<int> requests_{0};
  std::atomic<size_t> bodyBytes_{0};
  std::atomic<int> handshakes_{0};
  std::atomic<int> completed_{0};
  std::mutex mutex_;
  std::string lastBody_;
};

}  // namespace corvane::testing
