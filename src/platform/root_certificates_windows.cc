#include <windows.h>
#include <wincrypt.h>

#include <memory>
#include <vector>

#include "platform/root_certificates.h"

namespace corvane {
namespace {

struct StoreCloser {
  void operator()(void* store) const { CertCloseStore(store, 0); }
};

// The certificate names no purposes at all: good for every one.
bool namesNoPurpose() { return GetLastError() == static_cast<DWORD>(CRYPT_E_NOT_FOUND); }

// Whether `certificate` may identify a TLS server: it names no purposes at
// all, or server authentication among them.
bool servesServerAuthentication(PCCERT_CONTEXT certificate) {
  DWORD size = 0;
  if (!CertGetEnhancedKeyUsage(certificate, 0, nullptr, &size)) {
    return namesNoPurpose();
  }
  std::vector<BYTE> buffer(size);
  auto* usage = reinterpret_cast<PCERT_ENHKEY_USAGE>(buffer.data());
  if (!CertGetEnhancedKeyUsage(certificate, 0, usage, &size)) return false;
  if (usage->cUsageIdentifier == 0) return namesNoPurpose();
  for (DWORD i = 0; i < usage->cUsageIdentifier; ++i) {
    if (std::string(usage->rgpszUsageIdentifier[i]) == szOID_PKIX_KP_SERVER_AUTH) return true;
  }
  return false;
}

}  // namespace

// One walk of the current user's view of the trusted root store (which takes
// in the machine's).
std::vector<std::string> systemRootCertificates() {
  std::unique_ptr<void, StoreCloser> store(CertOpenSystemStoreW(0, L"ROOT"));
  std::vector<std::string> certificates;
  if (!store) return certificates;
  PCCERT_CONTEXT certificate = nullptr;
  while ((certificate = CertEnumCertificatesInStore(store.get(), certificate)) != nullptr) {
    // The type may carry the PKCS #7 flag beside the X.509 one.
    if ((certificate->dwCertEncodingType & X509_ASN_ENCODING) == 0 ||
        !servesServerAuthentication(certificate)) {
      continue;
    }
    certificates.emplace_back(reinterpret_cast<const char*>(certificate->pbCertEncoded),
                              certificate->cbCertEncoded);
  }
  return certificates;
}

}  // namespace corvane
