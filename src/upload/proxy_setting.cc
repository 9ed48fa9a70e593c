#include "upload/proxy_setting.h"

#include "transport/proxy_url.h"
#include "upload/config_text.h"

namespace corvane {
namespace {

bool validProxyValue(const std::string& value) {
  ProxyEndpoint proxy;
  return value.empty() || value == "direct" || parseConfiguredProxy(value, proxy);
}

}  // namespace

bool readProxySetting(const rapidjson::Document& document, CorvaneMultiUpload& uploader) {
  auto member = document.FindMember("proxy");
  std::string value;
  // An empty text counts as absent, as for every text key.
  getConfigString(document, "proxy", value);
  if ((member != document.MemberEnd() && !member->value.IsString()) || !validProxyValue(value)) {
    // The value is not logged: it may hold a password.
    uploader.errorMessage = "proxy is invalid!";
    return false;
  }
  RunContext& context = uploader.context();
  context.settings.proxy = value;
  if (context.proxies) context.proxies->configure(value);
  return true;
}

}  // namespace corvane
