// Configuration loading: the input is written as the configuration file and
// loaded. "@DATA@" in the input stands for the path of a small readable file,
// so that seeds can name a local file that exists. Text after a line
// "#response" is the body of every answer while the file is loaded (the
// gateway token and the project lookup of a tenant); without it every
// attempt fails at once, and the pauses between attempts take no time.
#include <string_view>

#include "fuzz_support.h"
#include "text/log_text.h"
#include "upload/config_text.h"

namespace {

constexpr std::string_view kResponseMarker = "\n#response\n";
constexpr int64_t kMebibyte = 1048576;

bool startsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace corvane;
  fuzz::quietProcess();
  std::string input = fuzz::asText(data, size);
  std::string config = input;
  testing::FakeEnv env;
  testing::ScriptedRun scripted;
  testing::ScriptedTransfers& network = scripted.network;
  size_t marker = input.find(kResponseMarker);
  if (marker != std::string::npos) {
    config = input.substr(0, marker);
    std::string body = input.substr(marker + kResponseMarker.size());
    network.thenRespond(body);
    network.thenRespond(body);
  }
  replaceAll(config, "@DATA@", fuzz::Scratch::get().dataFile());
  const std::string path = fuzz::Scratch::get().file("config.json");
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(config.data(), static_cast<std::streamsize>(config.size()));
    fuzz::check(out.good(), "the configuration file is written");
  }

  setLocalCodepage(LocalCodepage::kGbk);
  CorvaneMultiUpload uploader(scripted.context);
  bool loaded = uploader.loadConfig(path);
  // At most a gateway token and a project lookup, 33 attempts each.
  fuzz::check(network.attempts().size() <= 66, "attempts are bounded");
  if (loaded) {
    for (const std::string* setting :
         {&uploader.rooturl, &uploader.appkey, &uploader.appsecret, &uploader.targetname,
          &uploader.localfile, &uploader.projectid, &uploader.output}) {
      fuzz::check(!setting->empty(), "a loaded configuration has every required setting");
    }
    fuzz::check(uploader.partSize > 0 && uploader.partSize % kMebibyte == 0,
                "the part size is a positive number of mebibytes");
    fuzz::check(env.fileReadProblem(uploader.localfile).empty(), "the local file can be read");
    for (const std::string* header :
         {&uploader.appkey, &uploader.projectid, &uploader.orgid, &uploader.tenantid}) {
      fuzz::check(!hasControlCharacter(*header), "no header value can break its line");
    }
    fuzz::check(uploader.parallelparts >= 1 && uploader.parallelparts <= 16,
                "parallel parts stay within 1 to 16");
    // The placeholder is filled in the whole URL, rooturl's part included.
    const bool plainRoot = uploader.rooturl.find("{project-id}") == std::string::npos;
    for (const std::string* url : {&uploader.tokenurl, &uploader.taskurl, &uploader.parturl,
                                   &uploader.mergeurl, &uploader.aborturl, &uploader.directurl}) {
      fuzz::check(!plainRoot || startsWith(*url, uploader.rooturl),
                  "store URLs are completed from rooturl");
    }
  }
  setLocalCodepage(platformCodepage());
  return 0;
}
