// The direct upload response: the whole file is streamed, and the input is
// the body of the answer.
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

  bool accepted = uploader.uploadEntireData(ReadOnlyFile(uploader.localfile));
  fuzz::check(network.attempts().size() == 1, "an answered request is sent once");
  fuzz::check(network.attempts()[0].uploaded == "0123456789", "the whole file is sent");
  if (accepted) {
    fuzz::check(uploader.errorMessage == "earlier message", "a success records no error");
  }
  return 0;
}
