#pragma once

#include <string>

namespace corvane {

// Whether proxies that ask for NTLM or Negotiate get the logged-on user's
// own credentials (libcurl built with the system's security support).
#ifdef _WIN32
inline constexpr bool kProxyAuthAsLoggedOnUser = true;
#else
inline constexpr bool kProxyAuthAsLoggedOnUser = false;
#endif

// The current user's proxy settings as the system keeps them (on Windows the
// ones WinHTTP reads for the current user), texts in UTF-8.
struct SystemProxySettings {
  // Look for a proxy automatically (a configuration script found on the
  // network).
  bool autoDetect = false;
  // Where the automatic configuration script lies; empty: none.
  std::string autoConfigUrl;
  // The fixed proxy: "host:port" for every scheme, or per scheme
  // "http=host:port;https=host:port"; empty: none.
  std::string proxy;
  // Hosts that go direct despite the fixed proxy, "<local>" among them for
  // names without a dot: "<local>;*.example.com;10.*".
  std::string bypass;
};

// What automatic configuration answered for one URL.
struct SystemProxyAnswer {
  bool direct = true;
  // When not direct: the proxies to use, in the form of
  // SystemProxySettings::proxy, best first; and hosts to bypass them for.
  std::string proxy;
  std::string bypass;
};

// How an automatic answer is looked for.
enum class AutoProxyMethod {
  kDetect,  // find the configuration script on the network
  kScript,  // run the configuration script at a given URL
};

// The system's proxy settings, behind a small interface so that the choice
// of a proxy can be tested with a fake. The platform's own one answers on
// Windows; elsewhere the system keeps no such settings.
class SystemProxy {
 public:
  virtual ~SystemProxy() = default;

  // The current user's settings; false when the system keeps none or they
  // cannot be read.
  virtual bool userSettings(SystemProxySettings& settings) = 0;
  // What automatic configuration answers for `url`, found by `method` (for
  // kScript the script at `scriptUrl`); false, with the system's reason in
  // `why`, when it gives no answer.
  virtual bool automaticProxy(const std::string& url, AutoProxyMethod method,
                              const std::string& scriptUrl, SystemProxyAnswer& answer,
                              std::string& why) = 0;
};

// The platform's own, for the whole process.
SystemProxy& systemProxy();

}  // namespace corvane
