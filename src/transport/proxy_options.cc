#include "transport/proxy_options.h"

#include <cstring>

namespace corvane {
namespace {

constexpr long kProxyAuthenticationRequired = 407;

bool hasSspi() {
  static const bool available =
      (curl_version_info(CURLVERSION_NOW)->features & CURL_VERSION_SSPI) != 0;
  return available;
}

// With several schemes allowed libcurl first sends no credentials and waits
// for the proxy's 407 to pick one. A proxy known to offer Basic alone gets
// it at once, with no challenge; one known to offer Digest gets Digest
// alone.
unsigned long credentialSchemes(unsigned long offered) {
  const unsigned long known = offered & (CURLAUTH_BASIC | CURLAUTH_DIGEST);
  if (known & CURLAUTH_DIGEST) return CURLAUTH_DIGEST;
  return known == CURLAUTH_BASIC ? CURLAUTH_BASIC : CURLAUTH_BASIC | CURLAUTH_DIGEST;
}

bool viaTunnel(CURL* handle) {
  char* scheme = nullptr;
  curl_easy_getinfo(handle, CURLINFO_SCHEME, &scheme);
  return scheme && std::strcmp(scheme, "HTTP") != 0 && std::strcmp(scheme, "http") != 0;
}

}  // namespace

ProxyOptions::Use ProxyOptions::apply(CURL* handle, const ProxyRoute& route,
                                      bool forwarded) const {
  Use use;
  curl_easy_setopt(handle, CURLOPT_NOPROXY, route.noProxy.c_str());
  if (route.direct) {
    // The empty proxy: none, whatever the environment says.
    curl_easy_setopt(handle, CURLOPT_PROXY, "");
    return use;
  }
  use.proxyUrl = route.proxy.url();
  use.httpProxy = route.proxy.scheme == "http" || route.proxy.scheme == "https";
  use.hostPort = route.proxy.host + ":" + std::to_string(route.proxy.port);
  curl_easy_setopt(handle, CURLOPT_PROXY, use.proxyUrl.c_str());
  if (route.proxy.hasCredentials) {
    auto found = offered_.find(use.proxyUrl);
    const unsigned long schemes = credentialSchemes(found == offered_.end() ? 0 : found->second);
    curl_easy_setopt(handle, CURLOPT_PROXYUSERNAME, route.proxy.user.c_str());
    curl_easy_setopt(handle, CURLOPT_PROXYPASSWORD, route.proxy.password.c_str());
    curl_easy_setopt(handle, CURLOPT_PROXYAUTH, schemes);
    use.awaitsChallenge = forwarded && schemes != CURLAUTH_BASIC;
  } else if (hasSspi()) {
    // The empty user name stands for the logged-on user.
    curl_easy_setopt(handle, CURLOPT_PROXYUSERPWD, ":");
    curl_easy_setopt(handle, CURLOPT_PROXYAUTH, CURLAUTH_NTLM | CURLAUTH_NEGOTIATE);
    use.awaitsChallenge = forwarded;
  }
  return use;
}

void ProxyOptions::readEnd(CURL* handle, const Use& use, AttemptEnd& end) {
  end.proxy = use.hostPort;
  if (!use.httpProxy) return;
  long offered = 0;
  if (curl_easy_getinfo(handle, CURLINFO_PROXYAUTH_AVAIL, &offered) == CURLE_OK && offered != 0) {
    offered_[use.proxyUrl] = static_cast<unsigned long>(offered);
  }
  long connectCode = 0;
  curl_easy_getinfo(handle, CURLINFO_HTTP_CONNECTCODE, &connectCode);
  // Inside a tunnel a 407 is the server's own answer.
  const bool refused = connectCode == kProxyAuthenticationRequired ||
                       (end.status == kProxyAuthenticationRequired && !viaTunnel(handle));
  if (!refused) return;
  // An answer the proxy gave in the server's place is no answer at all: it
  // ends as libcurl ends one asked to fail on an HTTP error.
  if (end.result == CURLE_OK) end.result = CURLE_HTTP_RETURNED_ERROR;
  end.detail = "proxy authentication required";
}

}  // namespace corvane
