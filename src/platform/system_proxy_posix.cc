#include "platform/system_proxy.h"

namespace corvane {
namespace {

// Where proxies are chosen by environment variables alone: no settings.
class NoSystemProxy final : public SystemProxy {
 public:
  bool userSettings(SystemProxySettings&) override { return false; }
  bool automaticProxy(const std::string&, AutoProxyMethod, const std::string&, SystemProxyAnswer&,
                      std::string& why) override {
    why = "no automatic proxy configuration on this system";
    return false;
  }
};

}  // namespace

SystemProxy& systemProxy() {
  static NoSystemProxy none;
  return none;
}

}  // namespace corvane
