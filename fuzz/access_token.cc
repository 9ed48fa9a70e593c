// The storage access token response, for a tenant: the input is the body of
// the answer to the token request. A token that the answer gave with at
// least a second of lifetime left must then be served from the cache.
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace corvane;
  fuzz::quietProcess();
  testing::FakeEnv env;
  testing::ScriptedRun scripted;
  testing::ScriptedTransfers& network = scripted.network;
  network.thenRespond(fuzz::asText(data, size));
  CorvaneMultiUpload uploader(scripted.context);
  fuzz::makeReady(uploader, env);
  uploader.tenantid = "tenant-1";
  uploader.orgid = "org-1";
  uploader.accessToken.clear();
  uploader.accessTokenExpiry = env.ticks;  // as the upload driver sets it

  std::string token = uploader.getCorvaneAccessToken();
  fuzz::check(network.attempts().size() == 1, "an answered request is sent once");
  if (!token.empty() && (uploader.accessTokenExpiry - env.ticks) / kTicksPerSecond >= 1) {
    std::string again = uploader.getCorvaneAccessToken();
    fuzz::check(network.attempts().size() == 1, "a live token is served from the cache");
    fuzz::check(again == token, "the cache serves the same token");
  }
  return 0;
}
