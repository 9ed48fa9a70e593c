// The conversion from UTF-8 to the local code page. Whatever the input, the
// result is the whole text converted or nothing: a non-empty GBK result must
// turn back into exactly the input, and the validity test must agree with
// the system's own UTF-8 decoder.
#include <iconv.h>

#include <vector>

#include "fuzz_support.h"

namespace {

// Converts all of `input` with a generous buffer; false when iconv refuses.
bool iconvAll(const char* to, const char* from, const std::string& input, std::string& output) {
  iconv_t cd = iconv_open(to, from);
  corvane::fuzz::check(cd != reinterpret_cast<iconv_t>(-1), "iconv_open");
  std::vector<char> in(input.begin(), input.end());
  std::vector<char> out(input.size() * 4 + 16);
  char* inPtr = in.data();
  size_t inLeft = in.size();
  char* outPtr = out.data();
  size_t outLeft = out.size();
  bool done = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) != static_cast<size_t>(-1) &&
              inLeft == 0;
  iconv_close(cd);
  if (done) output.assign(out.data(), out.size() - outLeft);
  return done;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace corvane;
  fuzz::quietProcess();
  const std::string input = fuzz::asText(data, size);
  const bool valid = isValidUtf8(input);
  std::string decoded;
  fuzz::check(valid == iconvAll("UTF-32LE", "UTF-8", input, decoded),
              "the UTF-8 test agrees with the system decoder");

  setLocalCodepage(LocalCodepage::kUtf8);
  std::string same = utf8ToLocal(input);
  fuzz::check(same == (valid ? input : std::string()), "UTF-8 passes valid text unchanged");

  setLocalCodepage(LocalCodepage::kGbk);
  std::string local = utf8ToLocal(input);
  if (!local.empty()) {
    fuzz::check(valid, "only valid UTF-8 is converted");
    std::string back;
    fuzz::check(iconvAll("UTF-8", "GBK", local, back) && back == input,
                "the GBK text turns back into the input");
  } else if (valid && !input.empty()) {
    std::string reference;
    fuzz::check(!iconvAll("GBK", "UTF-8", input, reference),
                "valid text is refused only when GBK cannot hold it");
  }
  return 0;
}
