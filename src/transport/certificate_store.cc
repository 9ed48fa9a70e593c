#include "transport/certificate_store.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <memory>

namespace corvane {
namespace {

using Certificate = std::unique_ptr<X509, decltype(&X509_free)>;

}  // namespace

CertificateStore::~CertificateStore() {
  if (store_) X509_STORE_free(store_);
}

bool CertificateStore::installInto(SSL_CTX* context) {
  if (!store_) {
    ++loads_;
    store_ = X509_STORE_new();
    if (!store_) return false;
    for (const std::string& der : load_()) {
      const auto* bytes = reinterpret_cast<const unsigned char*>(der.data());
      Certificate certificate(d2i_X509(nullptr, &bytes, static_cast<long>(der.size())), &X509_free);
      // A certificate OpenSSL cannot read, or one already in, is left out.
      if (certificate) X509_STORE_add_cert(store_, certificate.get());
    }
    // What was refused must not read as the error of a later connection.
    ERR_clear_error();
  }
  // The context takes a reference of its own.
  if (X509_STORE_up_ref(store_) != 1) return false;
  SSL_CTX_set_cert_store(context, store_);
  return true;
}

}  // namespace corvane
