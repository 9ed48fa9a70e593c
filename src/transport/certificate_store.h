#pragma once

#include <openssl/types.h>

#include <string>
#include <vector>

namespace corvane {

// The trusted certificates of a run, loaded into one OpenSSL store the first
// time a TLS connection needs them and handed to every connection after:
// the system's certificate store is walked and parsed once per run, not
// once per connection.
class CertificateStore {
 public:
  // `load` lists the certificates in DER form when first asked.
  using Loader = std::vector<std::string> (*)();
  explicit CertificateStore(Loader load) : load_(load) {}
  ~CertificateStore();
  CertificateStore(const CertificateStore&) = delete;
  CertificateStore& operator=(const CertificateStore&) = delete;

  // Puts the store into a new connection's SSL_CTX; false when no
  // certificate could be loaded (the connection then trusts nothing).
  bool installInto(SSL_CTX* context);
  // How many times the certificates were loaded.
  int loads() const { return loads_; }

 private:
  Loader load_;
  X509_STORE* store_ = nullptr;
  int loads_ = 0;
};

}  // namespace corvane
