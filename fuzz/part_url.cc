// The part URL response: the input is the body of the answer, which is
// parsed raw (no conversion, no dump).
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

  std::string url = "unset";
  // The part sender's own request and judgement.
  auto request = uploader.partUrlRequest("task-1", 2);
  fuzz::check(request.has_value(), "a held token gives a request");
  bool got = uploader.judgePartUrl(scripted.loop.perform(*request), url);
  fuzz::check(network.attempts().size() == 1, "an answered request is sent once");
  if (got) {
    fuzz::check(uploader.errorMessage == "earlier message", "a success records no error");
  } else {
    fuzz::check(url == "unset", "a refused answer leaves the URL alone");
  }
  return 0;
}
