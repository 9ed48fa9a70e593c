// The upload task response: the input is the body of the answer.
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

  std::string uploadId = "unset";
  bool created = uploader.createUploadTask(uploadId, ReadOnlyFile(uploader.localfile));
  fuzz::check(network.attempts().size() == 1, "an answered request is sent once");
  if (created) {
    fuzz::check(uploader.errorMessage == "earlier message", "a success records no error");
  } else {
    fuzz::check(uploadId == "unset", "a refused task leaves the id alone");
  }
  return 0;
}
