// The merge response: the input is the body of the answer.
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

  bool merged = uploader.mergeUploadTask("task-1");
  fuzz::check(network.attempts().size() == 1, "an answered request is sent once");
  if (merged) {
    fuzz::check(uploader.errorMessage == "earlier message", "a success records no error");
  } else {
    fuzz::check(uploader.fileItemId.empty() && uploader.fileItemName.empty(),
                "a refused merge names no file item");
  }
  return 0;
}
