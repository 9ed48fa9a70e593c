// Adds a PEM certificate to, or removes it from, the local machine's trusted
// root store of the Windows the tests run on (a private Wine prefix), so that
// an HTTPS test server on loopback can be trusted for one test:
//   root_certificate add|remove CERTIFICATE.pem
// Exit status 0 when the store holds (or no longer holds) the certificate.
#include <windows.h>
#include <wincrypt.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

namespace {

struct StoreCloser {
  void operator()(void* store) const { CertCloseStore(store, 0); }
};
using Store = std::unique_ptr<void, StoreCloser>;

// The DER bytes of the first certificate in the PEM file; empty on failure.
std::vector<BYTE> derOf(const char* path) {
  std::ifstream in(path, std::ios::binary);
  std::string pem((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  DWORD size = 0;
  if (pem.empty() || !CryptStringToBinaryA(pem.c_str(), static_cast<DWORD>(pem.size()),
                                           CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr,
                                           nullptr)) {
    return {};
  }
  std::vector<BYTE> der(size);
  if (!CryptStringToBinaryA(pem.c_str(), static_cast<DWORD>(pem.size()),
                            CRYPT_STRING_BASE64HEADER, der.data(), &size, nullptr, nullptr)) {
    return {};
  }
  der.resize(size);
  return der;
}

bool add(HCERTSTORE store, const std::vector<BYTE>& der) {
  return CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(),
                                          static_cast<DWORD>(der.size()),
                                          CERT_STORE_ADD_REPLACE_EXISTING, nullptr) != 0;
}

// The store keeps one copy per certificate (under its hash): that one goes.
bool remove(HCERTSTORE store, const std::vector<BYTE>& der) {
  const CERT_CONTEXT* found = nullptr;
  for (const CERT_CONTEXT* each = nullptr; (each = CertEnumCertificatesInStore(store, each));) {
    if (each->cbCertEncoded == der.size() &&
        std::equal(der.begin(), der.end(), each->pbCertEncoded)) {
      found = CertDuplicateCertificateContext(each);
      CertFreeCertificateContext(each);
      break;
    }
  }
  // Deleting frees the found context, whatever the outcome.
  return !found || CertDeleteCertificateFromStore(found);
}

}  // namespace

int main(int argc, char* argv[]) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: root_certificate add|remove CERTIFICATE.pem\n");
    return 2;
  }
  const std::string action = argv[1];
  std::vector<BYTE> der = derOf(argv[2]);
  if (der.empty()) {
    std::fprintf(stderr, "no PEM certificate in %s\n", argv[2]);
    return 1;
  }
  // The registry store itself: a deletion from the system store's collection
  // view does not reach the registry under Wine.
  Store store(CertOpenStore(CERT_STORE_PROV_SYSTEM_REGISTRY_W, 0, 0,
                            CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root"));
  if (!store) {
    std::fprintf(stderr, "the machine's root store cannot be opened: error %lu\n", GetLastError());
    return 1;
  }
  bool done = action == "add" ? add(store.get(), der) : action == "remove" && remove(store.get(), der);
  if (!done) {
    std::fprintf(stderr, "%s failed: error %lu\n", action.c_str(), GetLastError());
    return 1;
  }
  return 0;
}
