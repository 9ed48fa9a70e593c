// The project lookup response, for a tenant (so the lookup is signed): the
// gateway token request is answered with a token, and the input is the body
// of the answer to the project request.
#include <algorithm>

#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace corvane;
  fuzz::quietProcess();
  testing::FakeEnv env;
  testing::ScriptedRun scripted;
  testing::ScriptedTransfers& network = scripted.network;
  network.thenRespond(R"({"access_token":"gw-1","token_type":"bearer","expires_in":3600})");
  network.thenRespond(fuzz::asText(data, size));
  CorvaneMultiUpload uploader(scripted.context);
  fuzz::makeReady(uploader, env);
  uploader.projectid.clear();
  uploader.orgid = "org-1";
  uploader.tenantid = "tenant-1";

  std::string id = uploader.getProjectId();
  fuzz::check(network.attempts().size() == 2, "token and lookup are each sent once");
  fuzz::check(std::all_of(id.begin(), id.end(), [](char c) { return c >= '0' && c <= '9'; }),
              "a project id is an unsigned decimal number");
  return 0;
}
