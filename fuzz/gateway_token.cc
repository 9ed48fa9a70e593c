// The gateway token response: the input is the body of the answer to the
// token request.
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

  std::string token = uploader.getGatewayToken();
  fuzz::check(network.attempts().size() == 1, "an answered request is sent once");
  fuzz::check(token.find('\0') == std::string::npos, "a token holds no NUL byte");
  return 0;
}
