#pragma once

#include <curl/curl.h>

#include <map>
#include <string>

#include "transport/proxy_choice.h"
#include "transport/transfer_driver.h"

namespace corvane {

// The proxy options of the attempts, set explicitly on each easy handle
// so that libcurl uses exactly the route that was logged and never reads
// the environment itself, and how a proxy's refusal reads.
class ProxyOptions {
 public:
  // What an attempt was given, for reading its end.
  struct Use {
    bool httpProxy = false;  // through an HTTP or HTTPS proxy
    std::string proxyUrl;
    // "host:port" of the proxy, for cause lines; empty when direct or when
    // the proxy is one libcurl was given unread.
    std::string hostPort;
    // The proxy is expected to challenge a forwarded request before it
    // takes it: a streamed body then waits for "100 Continue", since a body
    // cut off by the challenge would have to be sent again (which libcurl
    // does not always manage).
    bool awaitsChallenge = false;
  };

  // Sets CURLOPT_PROXY and CURLOPT_NOPROXY by `route` and, through a proxy,
  // its authentication: Basic or Digest with the proxy URL's credentials;
  // without credentials, where libcurl has the system's security support
  // (SSPI), NTLM or Negotiate as the logged-on user.
  // `forwarded`: a plain http request, which the proxy forwards itself.
  Use apply(CURL* handle, const ProxyRoute& route, bool forwarded) const;

  // Names the proxy the attempt went through in `end`; and marks an attempt
  // the proxy refused for want of authentication (407 to
  // the CONNECT or, for a plain http URL, as the answer) as failed, with
  // that reason; and remembers which schemes the proxy offered.
  void readEnd(CURL* handle, const Use& use, AttemptEnd& end);

 private:
  // The authentication schemes each proxy offered in a 407 this run.
  std::map<std::string, unsigned long> offered_;
};

}  // namespace corvane
