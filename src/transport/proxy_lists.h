#pragma once

#include <string>

#include "transport/proxy_url.h"

namespace corvane {

// Whether `target`'s host is in a no_proxy list as libcurl reads one:
// entries separated by commas or blanks; "*" alone for every host; a name
// for itself and the hosts in its domain (a leading dot makes no
// difference); an IP address, optionally with "/bits", for the addresses it
// covers.
bool inNoProxyList(const std::string& list, const ProxyTarget& target);

// Whether `target` is in a Windows bypass list: entries separated by ';'
// (or commas or blanks), each a host pattern in which '*' stands for any
// run of characters, optionally with "scheme://" before it and ":port"
// after it; "<local>" for every name without a dot.
bool inBypassList(const std::string& list, const ProxyTarget& target);

// The proxy a Windows proxy list names for `target`'s scheme: the list is
// "host:port" (or "scheme://host:port") for every scheme, or entries
// "http=...", "https=...", "socks=..." separated by ';' or blanks, of
// which the target's scheme's is taken, failing that one for every scheme,
// failing that the SOCKS one. A proxy without a port is on 80 (1080 for
// SOCKS). False when the list names none for the scheme.
bool proxyForScheme(const std::string& list, const ProxyTarget& target, ProxyEndpoint& proxy);

}  // namespace corvane
