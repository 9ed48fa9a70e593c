#include "transport/proxy_choice.h"

#include <vector>

#include "platform/env.h"
#include "text/log_text.h"
#include "transport/log_source.h"
#include "transport/proxy_lists.h"

namespace corvane {
namespace {

// The first set variable of `names`, as libcurl reads them; its name goes to
// `found`.
std::string firstVariable(std::initializer_list<const char*> names, std::string& found) {
  for (const char* name : names) {
    std::string value = Env::current().environmentVariable(name);
    if (!value.empty()) {
      found = name;
      return value;
    }
  }
  return {};
}

// The proxy variables libcurl reads for `scheme`, in its order:
// "<scheme>_proxy", its upper case form except for http (which a web
// server's CGI environment could set from a request header), then all_proxy
// and ALL_PROXY.
std::vector<const char*> proxyVariables(const std::string& scheme) {
  if (scheme == "https") return {"https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"};
  if (scheme == "http") return {"http_proxy", "all_proxy", "ALL_PROXY"};
  return {"all_proxy", "ALL_PROXY"};
}

ProxyRoute directRoute(const char* origin) {
  ProxyRoute route;
  route.origin = origin;
  return route;
}

ProxyRoute proxyRoute(const ProxyEndpoint& proxy, const char* origin) {
  ProxyRoute route;
  route.direct = false;
  route.proxy = proxy;
  route.origin = origin;
  return route;
}

// The route an answer of the system's automatic configuration gives.
ProxyRoute answerRoute(const SystemProxyAnswer& answer, const ProxyTarget& target,
                       const char* origin) {
  ProxyEndpoint proxy;
  if (answer.direct || inBypassList(answer.bypass, target) ||
      !proxyForScheme(answer.proxy, target, proxy)) {
    return directRoute(origin);
  }
  return proxyRoute(proxy, origin);
}

}  // namespace

std::string ProxyRoute::describe() const {
  std::string shown = direct ? "direct" : proxy.url();
  return escapeControls(shown) + " (" + origin + ")";
}

const ProxyRoute& ProxyChooser::routeFor(const std::string& url, bool defaultHttps) {
  static const ProxyRoute unreadable = directRoute("unreadable URL");
  ProxyTarget target;
  // libcurl refuses such a URL before it would use any proxy.
  if (!parseProxyTarget(url, defaultHttps, target)) return unreadable;
  const std::string key = target.url();
  auto found = routes_.find(key);
  if (found != routes_.end()) return found->second;
  ProxyRoute& route = routes_[key] = decide(target);
  UPLOAD_LOG(INFO) << "proxy for " << escapeControls(target.host) << ": " << route.describe();
  return route;
}

ProxyRoute ProxyChooser::decide(const ProxyTarget& target) {
  ProxyRoute route;
  if (fromConfiguration(route) || fromEnvironment(target, route) || fromAutomatic(target, route)) {
    return route;
  }
  fromSystemSettings(target, route);
  return route;
}

bool ProxyChooser::fromConfiguration(ProxyRoute& route) const {
  if (setting_.empty()) return false;
  ProxyEndpoint proxy;
  if (setting_ == "direct" || !parseConfiguredProxy(setting_, proxy)) {
    route = directRoute("configuration");
  } else {
    route = proxyRoute(proxy, "configuration");
  }
  return true;
}

// Each value is read by our own parser, and libcurl is given only what it
// read: a value it refuses never reaches libcurl, whose error text would
// quote it, password and all. It is skipped, as if unset, with a WARNING
// that shows its scheme, host and port alone.
bool ProxyChooser::fromEnvironment(const ProxyTarget& target, ProxyRoute& route) {
  std::string name;
  const std::string noProxy = firstVariable({"no_proxy", "NO_PROXY"}, name);
  if (!noProxy.empty() && inNoProxyList(noProxy, target)) {
    route = directRoute("no_proxy");
    return true;
  }
  for (const char* variable : proxyVariables(target.scheme)) {
    const std::string value = Env::current().environmentVariable(variable);
    if (value.empty()) continue;
    ProxyEndpoint proxy;
    if (!parseProxyAsLibcurl(value, proxy)) {
      if (skipped_.insert(variable).second) {
        UPLOAD_LOG(WARNING) << "proxy " << escapeControls(proxyOutline(value))
                            << " in environment variable " << variable
                            << " is no proxy URL that can be used; it is skipped";
      }
      continue;
    }
    route = proxyRoute(proxy, "environment");
    route.noProxy = noProxy;
    return true;
  }
  return false;
}

const SystemProxySettings* ProxyChooser::settings() {
  if (!settingsRead_) {
    settingsRead_ = true;
    haveSettings_ = system_.userSettings(settings_);
  }
  return haveSettings_ ? &settings_ : nullptr;
}

// Automatic detection first, then the configured script, as the system's
// own programs try them; either's failure is logged once and not tried again.
// A lookup can take long (a script fetched and run): after a stop none is
// begun, and what one that was under way brings is not used.
bool ProxyChooser::fromAutomatic(const ProxyTarget& target, ProxyRoute& route) {
  const SystemProxySettings* user = settings();
  if (!user || stopped()) return false;
  SystemProxyAnswer answer;
  std::string why;
  if (user->autoDetect && !detectionFailed_) {
    const bool answered =
        system_.automaticProxy(target.url(), AutoProxyMethod::kDetect, "", answer, why);
    if (stopped()) return false;
    if (answered) {
      route = answerRoute(answer, target, "automatic detection");
      return true;
    }
    detectionFailed_ = true;
    UPLOAD_LOG(INFO) << "automatic proxy detection: " << escapeControls(why);
  }
  if (!user->autoConfigUrl.empty() && !scriptFailed_) {
    answer = SystemProxyAnswer{};
    const bool answered = system_.automaticProxy(target.url(), AutoProxyMethod::kScript,
                                                 user->autoConfigUrl, answer, why);
    if (stopped()) return false;
    if (answered) {
      route = answerRoute(answer, target, "automatic configuration script");
      return true;
    }
    scriptFailed_ = true;
    UPLOAD_LOG(INFO) << "automatic proxy configuration script: " << escapeControls(why);
  }
  return false;
}

void ProxyChooser::fromSystemSettings(const ProxyTarget& target, ProxyRoute& route) {
  const SystemProxySettings* user = settings();
  ProxyEndpoint proxy;
  if (!user || user->proxy.empty()) {
    route = directRoute("none configured");
  } else if (inBypassList(user->bypass, target)) {
    route = directRoute("bypass list");
  } else if (!proxyForScheme(user->proxy, target, proxy)) {
    route = directRoute("system settings");
  } else {
    route = proxyRoute(proxy, "system settings");
  }
}

}  // namespace corvane
