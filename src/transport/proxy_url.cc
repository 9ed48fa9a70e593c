#include "transport/proxy_url.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <memory>

namespace corvane {
namespace {

using UrlHandle = std::unique_ptr<CURLU, decltype(&curl_url_cleanup)>;
using CurlText = std::unique_ptr<char, decltype(&curl_free)>;

constexpr long kDefaultProxyPort = 1080;
constexpr long kDefaultHttpsProxyPort = 443;

// One part of a parsed URL; false when it is absent.
bool urlPart(CURLU* url, CURLUPart part, std::string& text, unsigned flags = 0) {
  char* raw = nullptr;
  if (curl_url_get(url, part, &raw, flags) != CURLUE_OK || !raw) return false;
  CurlText owned(raw, &curl_free);
  text = owned.get();
  return true;
}

UrlHandle parsedUrl(const std::string& text, unsigned flags) {
  UrlHandle url(curl_url(), &curl_url_cleanup);
  if (url && curl_url_set(url.get(), CURLUPART_URL, text.c_str(), flags) != CURLUE_OK) {
    url.reset();
  }
  return url;
}

std::string lowered(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

bool isProxyScheme(const std::string& scheme) {
  for (const char* known : {"http", "https", "socks4", "socks4a", "socks5", "socks5h"}) {
    if (scheme == known) return true;
  }
  return false;
}

// Scheme, host, credentials and, when the URL names it, the port.
bool readEndpoint(CURLU* url, ProxyEndpoint& proxy) {
  std::string scheme;
  if (!urlPart(url, CURLUPART_SCHEME, scheme) || !isProxyScheme(lowered(scheme))) return false;
  proxy.scheme = lowered(scheme);
  if (!urlPart(url, CURLUPART_HOST, proxy.host) || proxy.host.empty()) return false;
  proxy.host = lowered(proxy.host);
  std::string port;
  proxy.port = urlPart(url, CURLUPART_PORT, port) ? std::stol(port) : 0;
  proxy.hasCredentials = urlPart(url, CURLUPART_USER, proxy.user, CURLU_URLDECODE);
  if (!urlPart(url, CURLUPART_PASSWORD, proxy.password, CURLU_URLDECODE)) proxy.password.clear();
  return true;
}

// Nothing after the port but a "/".
bool hasNothingAfterPort(CURLU* url) {
  std::string text;
  if (urlPart(url, CURLUPART_QUERY, text) || urlPart(url, CURLUPART_FRAGMENT, text)) return false;
  return !urlPart(url, CURLUPART_PATH, text) || text.empty() || text == "/";
}

// `text` when every character is one `allowed` accepts and there is one;
// "?" otherwise.
template <typename Allowed>
std::string shownOrMark(const std::string& text, Allowed allowed) {
  if (text.empty() || !std::all_of(text.begin(), text.end(), allowed)) return "?";
  return text;
}

bool isHostCharacter(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_' ||
         c == ':' || c == '[' || c == ']';
}

}  // namespace

std::string proxyOutline(const std::string& text) {
  std::string scheme;
  std::string rest = text;
  if (size_t separator = rest.find("://"); separator != std::string::npos) {
    scheme = rest.substr(0, separator);
    rest = rest.substr(separator + 3);
  }
  // Whatever stands before the last "@" is user information.
  if (size_t at = rest.rfind('@'); at != std::string::npos) rest = rest.substr(at + 1);
  rest = rest.substr(0, rest.find_first_of("/?#"));
  std::string host = rest;
  std::string port;
  const size_t bracket = rest.rfind(']');
  const size_t colon = rest.rfind(':');
  if (colon != std::string::npos && (bracket == std::string::npos || colon > bracket)) {
    host = rest.substr(0, colon);
    port = rest.substr(colon + 1);
  }
  std::string shown;
  if (!scheme.empty()) {
    shown = shownOrMark(scheme, [](char c) { return std::isalnum(static_cast<unsigned char>(c)); }) +
            "://";
  }
  shown += shownOrMark(host, isHostCharacter);
  if (!port.empty()) {
    shown += ":" + shownOrMark(port, [](char c) { return c >= '0' && c <= '9'; });
  }
  return shown;
}

std::string ProxyEndpoint::url() const {
  return scheme + "://" + host + ":" + std::to_string(port);
}

bool parseConfiguredProxy(const std::string& text, ProxyEndpoint& proxy) {
  // The scheme must be written out: a bare "host:port" is no URL here.
  if (text.find("://") == std::string::npos) return false;
  UrlHandle url = parsedUrl(text, CURLU_NON_SUPPORT_SCHEME);
  ProxyEndpoint read;
  if (!url || !readEndpoint(url.get(), read) || read.port == 0 || !hasNothingAfterPort(url.get())) {
    return false;
  }
  proxy = read;
  return true;
}

bool parseProxyAsLibcurl(const std::string& text, ProxyEndpoint& proxy) {
  UrlHandle url = parsedUrl(text, CURLU_NON_SUPPORT_SCHEME | CURLU_GUESS_SCHEME);
  ProxyEndpoint read;
  if (!url || !readEndpoint(url.get(), read)) return false;
  if (read.port == 0)
    read.port = read.scheme == "https" ? kDefaultHttpsProxyPort : kDefaultProxyPort;
  proxy = read;
  return true;
}

std::string ProxyTarget::url() const {
  return scheme + "://" + (ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(port) + "/";
}

bool parseProxyTarget(const std::string& text, bool defaultHttps, ProxyTarget& target) {
  const unsigned guess = defaultHttps ? CURLU_DEFAULT_SCHEME : CURLU_GUESS_SCHEME;
  UrlHandle url = parsedUrl(text, guess | CURLU_NON_SUPPORT_SCHEME);
  std::string port;
  ProxyTarget read;
  if (!url || !urlPart(url.get(), CURLUPART_SCHEME, read.scheme) ||
      !urlPart(url.get(), CURLUPART_HOST, read.host) ||
      !urlPart(url.get(), CURLUPART_PORT, port, CURLU_DEFAULT_PORT)) {
    return false;
  }
  read.scheme = lowered(read.scheme);
  read.host = lowered(read.host);
  read.port = std::stol(port);
  if (read.host.size() > 2 && read.host.front() == '[' && read.host.back() == ']') {
    read.host = read.host.substr(1, read.host.size() - 2);
    read.ipv6 = true;
  }
  target = read;
  return true;
}

}  // namespace corvane
