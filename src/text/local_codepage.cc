#include "text/local_codepage.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <iconv.h>
#endif

#include <string>
#include <vector>

namespace corvane {
namespace {

LocalCodepage selectedCodepage = platformCodepage();

#ifdef _WIN32
// The code page of the "zh-CN" locale.
constexpr UINT kGbkCodePage = 936;

// UTF-8 into code page 936 through UTF-16; false when the input is not UTF-8
// or any character has no form there (never a best-fit stand-in).
bool toGbk(const std::string& utf8, std::string& local) {
  const int inLength = static_cast<int>(utf8.size());
  int wideLength = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), inLength,
                                       nullptr, 0);
  if (wideLength <= 0) return false;
  std::vector<wchar_t> wide(static_cast<size_t>(wideLength));
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), inLength, wide.data(),
                      wideLength);
  std::vector<char> out(static_cast<size_t>(wideLength) * 2 + 4);
  BOOL usedDefault = FALSE;
  int outLength = WideCharToMultiByte(kGbkCodePage, WC_NO_BEST_FIT_CHARS, wide.data(), wideLength,
                                      out.data(), static_cast<int>(out.size()), nullptr,
                                      &usedDefault);
  if (outLength <= 0 || usedDefault) return false;
  local.assign(out.data(), static_cast<size_t>(outLength));
  return true;
}
#else
// Owns one iconv conversion descriptor.
class Converter {
 public:
  Converter(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
  ~Converter() {
    if (valid()) iconv_close(cd_);
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;

  bool valid() const { return cd_ != reinterpret_cast<iconv_t>(-1); }

  // Converts all of `input`; false when any byte sequence is refused.
  bool convert(const std::string& input, std::string& output) {
    std::vector<char> in(input.begin(), input.end());
    std::vector<char> out(input.size() * 2 + 4);
    char* inPtr = in.data();
    size_t inLeft = in.size();
    char* outPtr = out.data();
    size_t outLeft = out.size();
    if (iconv(cd_, &inPtr, &inLeft, &outPtr, &outLeft) == static_cast<size_t>(-1)) return false;
    if (inLeft != 0) return false;
    output.assign(out.data(), out.size() - outLeft);
    return true;
  }

 private:
  iconv_t cd_;
};

bool toGbk(const std::string& utf8, std::string& local) {
  Converter converter("GBK", "UTF-8");
  return converter.valid() && converter.convert(utf8, local);
}
#endif

size_t sequenceLength(unsigned char lead) {
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) return 2;
  if (lead >= 0xE0 && lead <= 0xEF) return 3;
  if (lead >= 0xF0 && lead <= 0xF4) return 4;
  return 0;
}

bool isContinuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// Checks the second byte's range, which rules out overlongs, surrogates and
// code points above U+10FFFF.
bool secondByteAllowed(unsigned char lead, unsigned char second) {
  if (lead == 0xE0) return second >= 0xA0;
  if (lead == 0xED) return second <= 0x9F;
  if (lead == 0xF0) return second >= 0x90;
  if (lead == 0xF4) return second <= 0x8F;
  return true;
}

}  // namespace

LocalCodepage platformCodepage() {
#ifdef _WIN32
  return LocalCodepage::kGbk;
#else
  return LocalCodepage::kUtf8;
#endif
}

void setLocalCodepage(LocalCodepage codepage) { selectedCodepage = codepage; }

LocalCodepage localCodepage() { return selectedCodepage; }

const char* localCodepageName() { return selectedCodepage == LocalCodepage::kGbk ? "GBK" : "UTF-8"; }

size_t firstInvalidUtf8(const std::string& text) {
  size_t i = 0;
  while (i < text.size()) {
    auto lead = static_cast<unsigned char>(text[i]);
    size_t length = sequenceLength(lead);
    if (length == 0 || i + length > text.size()) return i;
    for (size_t k = 1; k < length; ++k) {
      if (!isContinuation(static_cast<unsigned char>(text[i + k]))) return i;
    }
    if (length > 1 && !secondByteAllowed(lead, static_cast<unsigned char>(text[i + 1]))) {
      return i;
    }
    i += length;
  }
  return std::string::npos;
}

bool isValidUtf8(const std::string& text) { return firstInvalidUtf8(text) == std::string::npos; }

std::string utf8ToLocal(const std::string& utf8) {
  if (utf8.empty() || !isValidUtf8(utf8)) return {};
  if (selectedCodepage == LocalCodepage::kUtf8) return utf8;
  std::string local;
  if (!toGbk(utf8, local)) return {};
  return local;
}

}  // namespace corvane
