#include "transport/proxy_lists.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdint>
#include <vector>

namespace corvane {
namespace {

std::string lowered(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

// The non-empty pieces of `text` between any of `separators`.
std::vector<std::string> entriesOf(const std::string& text, const char* separators) {
  std::vector<std::string> entries;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find_first_of(separators, at);
    if (end == std::string::npos) end = text.size();
    if (end > at) entries.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  return entries;
}

// A dotted IPv4 address of four decimal numbers up to 255, without leading
// zeros (as inet_pton reads one).
bool parseIpv4(const std::string& text, uint32_t& address) {
  std::vector<std::string> parts = entriesOf(text, ".");
  if (parts.size() != 4 || std::count(text.begin(), text.end(), '.') != 3) return false;
  address = 0;
  for (const std::string& part : parts) {
    if (part.size() > 3 || (part.size() > 1 && part[0] == '0') ||
        !std::all_of(part.begin(), part.end(), [](unsigned char c) { return std::isdigit(c); })) {
      return false;
    }
    int value = std::stoi(part);
    if (value > 255) return false;
    address = (address << 8) | static_cast<uint32_t>(value);
  }
  return true;
}

// libcurl's test of an IPv4 host against "address[/bits]"; no bits (or 0)
// asks for the address itself.
bool ipv4Covered(uint32_t host, const std::string& entry) {
  const size_t slash = entry.find('/');
  uint32_t network = 0;
  if (!parseIpv4(entry.substr(0, slash), network)) return false;
  int bits = 0;
  if (slash != std::string::npos) bits = std::atoi(entry.c_str() + slash + 1);
  if (bits < 0 || bits > 32) return false;
  if (bits == 0 || bits == 32) return host == network;
  const uint32_t mask = ~uint32_t{0} << (32 - bits);
  return (host & mask) == (network & mask);
}

// libcurl's test of a host name against a name: itself or within its
// domain, trailing dots and a leading dot of the entry set aside.
bool nameCovered(std::string host, std::string entry) {
  if (!host.empty() && host.back() == '.') host.pop_back();
  if (!entry.empty() && entry.back() == '.') entry.pop_back();
  if (!entry.empty() && entry.front() == '.') entry.erase(0, 1);
  if (entry.empty() || entry.size() > host.size()) return false;
  entry = lowered(entry);
  if (entry.size() == host.size()) return entry == host;
  return host[host.size() - entry.size() - 1] == '.' &&
         host.compare(host.size() - entry.size(), entry.size(), entry) == 0;
}

// `text` against `pattern`, '*' standing for any run of characters.
bool wildcardMatch(const std::string& pattern, const std::string& text) {
  size_t p = 0, t = 0, star = std::string::npos, resume = 0;
  while (t < text.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      resume = t;
    } else if (p < pattern.size() && pattern[p] == text[t]) {
      ++p;
      ++t;
    } else if (star != std::string::npos) {
      p = star + 1;
      t = ++resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

// Splits a trailing ":port" off a bypass pattern (an IPv6 address only
// when in brackets); -1 when it names none.
long splitPort(std::string& pattern) {
  const size_t colon = pattern.rfind(':');
  if (colon == std::string::npos || colon + 1 == pattern.size()) return -1;
  const std::string digits = pattern.substr(colon + 1);
  const bool bracketed = pattern.front() == '[' && colon > 0 && pattern[colon - 1] == ']';
  const bool onlyColon = pattern.find(':') == colon;
  if ((!bracketed && !onlyColon) || digits.size() > 5 ||
      !std::all_of(digits.begin(), digits.end(), [](unsigned char c) { return std::isdigit(c); })) {
    return -1;
  }
  pattern.erase(colon);
  return std::stol(digits);
}

bool bypassEntryCovers(std::string entry, const ProxyTarget& target) {
  entry = lowered(entry);
  if (entry == "<local>") return target.host.find('.') == std::string::npos && !target.ipv6;
  if (const size_t scheme = entry.find("://"); scheme != std::string::npos) {
    if (entry.substr(0, scheme) != target.scheme) return false;
    entry.erase(0, scheme + 3);
  }
  if (entry.empty()) return false;
  const long port = splitPort(entry);
  if (port >= 0 && port != target.port) return false;
  if (entry.size() > 2 && entry.front() == '[' && entry.back() == ']') {
    entry = entry.substr(1, entry.size() - 2);
  }
  return wildcardMatch(entry, target.host);
}

// One entry of a Windows proxy list as a proxy: "host[:port]" or
// "scheme://host[:port]", of type `scheme` when it names none.
bool endpointOf(const std::string& entry, const std::string& scheme, ProxyEndpoint& proxy) {
  const bool written = entry.find("://") != std::string::npos;
  if (!parseProxyAsLibcurl(written ? entry : scheme + "://" + entry, proxy)) return false;
  const bool portGiven =
      entry.find(':', written ? entry.find("://") + 3 : 0) != std::string::npos &&
      entry.back() != ']';
  if (!portGiven) proxy.port = proxy.scheme.rfind("socks", 0) == 0 ? 1080 : 80;
  return true;
}

}  // namespace

bool inNoProxyList(const std::string& list, const ProxyTarget& target) {
  if (list == "*") return true;
  uint32_t address = 0;
  const bool ipv4 = parseIpv4(target.host, address);
  for (const std::string& entry : entriesOf(list, ", \t")) {
    if (ipv4 ? ipv4Covered(address, entry) : nameCovered(target.host, entry)) return true;
  }
  return false;
}

bool inBypassList(const std::string& list, const ProxyTarget& target) {
  for (const std::string& entry : entriesOf(list, "; ,\t\r\n")) {
    if (bypassEntryCovers(entry, target)) return true;
  }
  return false;
}

bool proxyForScheme(const std::string& list, const ProxyTarget& target, ProxyEndpoint& proxy) {
  std::string forScheme, forAll, socks;
  for (const std::string& entry : entriesOf(list, "; \t\r\n")) {
    const size_t equals = entry.find('=');
    const size_t written = entry.find("://");
    if (equals == std::string::npos || (written != std::string::npos && written < equals)) {
      if (forAll.empty()) forAll = entry;
      continue;
    }
    const std::string scheme = lowered(entry.substr(0, equals));
    const std::string value = entry.substr(equals + 1);
    if (scheme == target.scheme && forScheme.empty()) forScheme = value;
    if (scheme == "socks" && socks.empty()) socks = value;
  }
  if (!forScheme.empty()) return endpointOf(forScheme, "http", proxy);
  if (!forAll.empty()) return endpointOf(forAll, "http", proxy);
  return !socks.empty() && endpointOf(socks, "socks4", proxy);
}

}  // namespace corvane
