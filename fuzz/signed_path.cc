// The path line of the gateway signature: extractUrlPath on any URL, then
// buildSignedPath with any parameters, and the whole set of signed header
// lines built from them.
#include <fuzzer/FuzzedDataProvider.h>

#include "fuzz_support.h"
#include "transport/gateway_signing.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace corvane;
  fuzz::quietProcess();
  FuzzedDataProvider provider(data, size);
  const std::string method = provider.ConsumeRandomLengthString(16);
  QueryParameters parameters;
  const int count = provider.ConsumeIntegralInRange(0, 4);
  for (int i = 0; i < count; ++i) {
    std::string name = provider.ConsumeRandomLengthString(32);
    parameters[name] = provider.ConsumeRandomLengthString(64);
  }
  const std::string url = provider.ConsumeRemainingBytesAsString();

  const std::string path = extractUrlPath(url);
  if (!path.empty()) {
    fuzz::check(path[0] == '/', "a path starts with a slash");
    fuzz::check(path.find_first_of("?#") == std::string::npos, "a path has no query or fragment");
    fuzz::check(url.find(path) != std::string::npos, "a path is taken from the URL");
  }
  if (url.find("//") == std::string::npos) fuzz::check(path.empty(), "no authority, no path");

  const std::string line = buildSignedPath(path, parameters);
  if (parameters.empty()) {
    fuzz::check(line == path, "without parameters the line is the path");
  } else {
    fuzz::check(line.compare(0, path.size() + 1, path + "?") == 0,
                "parameters follow the path after a question mark");
    for (const auto& [name, value] : parameters) {
      fuzz::check(line.find(name, path.size() + 1) != std::string::npos, "every name is signed");
    }
  }
  // A path given with its own query loses it before the parameters are added.
  const std::string withQuery = buildSignedPath(url, {});
  fuzz::check(withQuery == url.substr(0, url.find('?')), "a written query is cut off");

  testing::FakeEnv env;
  GatewayCredentials credentials{"app-key-1", "s3cr&t=+/key", "4242", "tenant-1"};
  std::vector<std::string> lines = signedGatewayHeaderLines(credentials, url, method, parameters);
  fuzz::check(lines.size() == 7, "seven signed header lines");
  const std::string signature = "x-ca-signature:";
  fuzz::check(lines[2].compare(0, signature.size(), signature) == 0 &&
                  lines[2].size() == signature.size() + 44,
              "the signature is a Base64 SHA-256 digest");
  fuzz::check(lines[3] == "x-ca-signature-headers:x-ca-key,x-ca-nonce,x-ca-timestamp",
              "the signed names");
  return 0;
}
