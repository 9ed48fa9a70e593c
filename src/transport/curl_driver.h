#pragma once

#include <curl/curl.h>

#include <map>
#include <memory>
#include <string>

#include "transport/certificate_store.h"
#include "transport/proxy_choice.h"
#include "transport/proxy_options.h"
#include "transport/transfer_driver.h"

namespace corvane {

// The network: attempts run side by side through one libcurl multi handle,
// so every request of a run shares one connection pool, one TLS session
// cache, one DNS cache and one store of trusted certificates, loaded once.
class CurlDriver final : public TransferDriver {
 public:
  // `trustedPem`, when given, is the only trust: a private certificate
  // authority's bundle in place of the system's.
  explicit CurlDriver(std::string trustedPem = {});
  ~CurlDriver() override;
  CurlDriver(const CurlDriver&) = delete;
  CurlDriver& operator=(const CurlDriver&) = delete;

  // Every attempt goes where `proxies` chooses; without a chooser, direct.
  void routeThrough(ProxyChooser& proxies) { proxies_ = &proxies; }

  bool begin(Transfer& transfer) override;
  void abandon(Transfer& transfer) override;
  void liftStallRule(Transfer& transfer) override;
  void resume(Transfer& transfer) override;
  std::vector<AttemptEnd> poll(int64_t waitMilliseconds) override;

  // New connections the attempts opened, and loads of the certificate store
  // (0 where libcurl and OpenSSL read the trusted certificates themselves).
  long connectionsOpened() const { return connectionsOpened_; }
  int certificateStoreLoads() const { return certificates_.loads(); }

 private:
  struct Attempt;

  bool configure(Attempt& attempt, Transfer& transfer);
  void collect(std::vector<AttemptEnd>& ended);
  static CURLcode installCertificates(CURL* handle, void* context, void* driver);

  std::string trustedPem_;
  CURLM* multi_ = nullptr;
  CURLSH* share_ = nullptr;
  CertificateStore certificates_;
  // Trust the certificates of the system's store, handed to each connection
  // from one store, instead of libcurl's own defaults.
  bool ownCertificates_ = false;
  // Leave out libcurl's CA bundle, so that its defaults are the CA directory
  // alone: a new connection reads the one certificate it needs from there,
  // instead of parsing the whole bundle into memory.
  bool directoryOnly_ = false;
  ProxyChooser* proxies_ = nullptr;
  ProxyOptions proxyOptions_;
  std::map<Transfer*, std::unique_ptr<Attempt>> attempts_;
  long connectionsOpened_ = 0;
};

}  // namespace corvane
