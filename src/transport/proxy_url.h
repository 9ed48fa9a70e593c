#pragma once

#include <string>

namespace corvane {

// A proxy as libcurl is given it: scheme, host and port, and the
// credentials apart, so that what is shown never holds them.
struct ProxyEndpoint {
  std::string scheme;  // http, https, socks4, socks4a, socks5 or socks5h
  std::string host;    // an IPv6 address in brackets, as in a URL
  long port = 0;
  bool hasCredentials = false;
  std::string user;      // percent-decoded
  std::string password;  // percent-decoded

  // "scheme://host:port": what CURLOPT_PROXY is set to and log lines show.
  std::string url() const;
};

// A proxy URL as the configuration names one: one of the schemes above,
// written out, a host, a port, optionally "user:password@", and nothing
// after the port but a "/". False for anything else.
bool parseConfiguredProxy(const std::string& text, ProxyEndpoint& proxy);

// A proxy as libcurl reads one from an environment variable: without a
// scheme it is an HTTP proxy, without a port it is on 1080 (443 for an
// HTTPS proxy). False when it is no URL of one of the schemes above.
bool parseProxyAsLibcurl(const std::string& text, ProxyEndpoint& proxy);

// What a log line may show of a proxy value that could not be read: its
// scheme, host and port as far as they can be made out, and never what
// stands before an "@" (user and password); "?" for a part that holds
// anything but the characters of its kind.
std::string proxyOutline(const std::string& text);

// The scheme, host and port a request goes to.
struct ProxyTarget {
  std::string scheme;  // lower case
  std::string host;    // lower case, an IPv6 address without its brackets
  long port = 0;       // the scheme's default when the URL names none
  bool ipv6 = false;

  // "scheme://host:port/" (IPv6 in brackets): the URL an automatic
  // configuration script is asked about, without path or query.
  std::string url() const;
};

// Where `url` goes: a URL without a scheme is read as libcurl reads it,
// HTTPS with `defaultHttps`, otherwise guessed from the host. False when
// libcurl could not read it.
bool parseProxyTarget(const std::string& url, bool defaultHttps, ProxyTarget& target);

}  // namespace corvane
