#pragma once

#include <map>
#include <set>
#include <string>

#include "platform/stop_flag.h"
#include "platform/system_proxy.h"
#include "transport/proxy_url.h"

namespace corvane {

// Where the requests to one host go, and why.
struct ProxyRoute {
  bool direct = true;
  // When not direct: the proxy, as our own parser read it.
  ProxyEndpoint proxy;
  // Hosts libcurl goes to directly although a proxy is set (CURLOPT_NOPROXY),
  // for a redirect to another host: the environment's no_proxy list.
  std::string noProxy;
  // Where the choice came from: "configuration", "environment", "no_proxy",
  // "system settings", "bypass list", "automatic configuration script",
  // "automatic detection" or "none configured".
  std::string origin;

  // "direct" or the proxy as scheme://host:port, then the origin in
  // brackets: never a credential.
  std::string describe() const;
};

// Chooses the proxy of each request, in this order: the configuration's
// `proxy` key; the environment variables libcurl reads (http_proxy,
// https_proxy or HTTPS_PROXY, all_proxy or ALL_PROXY, and no_proxy or
// NO_PROXY), as libcurl reads them; the current user's system settings
// (fixed proxy and bypass list, automatic configuration). Each scheme, host
// and port is decided once per run and its choice logged once. An
// environment value that our parser refuses is skipped, as if unset.
class ProxyChooser {
 public:
  explicit ProxyChooser(SystemProxy& system) : system_(system) {}
  ProxyChooser(const ProxyChooser&) = delete;
  ProxyChooser& operator=(const ProxyChooser&) = delete;

  // The configuration's `proxy` key: empty when absent, "direct", or a URL
  // that parseConfiguredProxy reads. Set before the first request; setting
  // it again forgets the choices made.
  void configure(const std::string& setting) {
    setting_ = setting;
    routes_.clear();
  }

  // A stop raised on `stop` ends the system's automatic proxy lookups: none
  // is begun after it, and the answer of one under way is not used.
  void heed(const StopFlag& stop) { stop_ = &stop; }

  // The route of a request to `url` (a URL without a scheme read as HTTPS
  // with `defaultHttps`, as libcurl then reads it).
  const ProxyRoute& routeFor(const std::string& url, bool defaultHttps);

 private:
  ProxyRoute decide(const ProxyTarget& target);
  bool fromConfiguration(ProxyRoute& route) const;
  bool fromEnvironment(const ProxyTarget& target, ProxyRoute& route);
  bool fromAutomatic(const ProxyTarget& target, ProxyRoute& route);
  void fromSystemSettings(const ProxyTarget& target, ProxyRoute& route);
  const SystemProxySettings* settings();
  bool stopped() const { return stop_ && stop_->raised(); }

  SystemProxy& system_;
  const StopFlag* stop_ = nullptr;
  std::string setting_;
  std::map<std::string, ProxyRoute> routes_;
  bool settingsRead_ = false;
  bool haveSettings_ = false;
  SystemProxySettings settings_;
  // Automatic configuration that failed once is not asked again.
  bool detectionFailed_ = false;
  bool scriptFailed_ = false;
  // Environment variables whose value was refused, each warned about once.
  std::set<std::string> skipped_;
};

}  // namespace corvane
