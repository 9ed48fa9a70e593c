#pragma once

#include <string>

namespace corvane {

// The code page that paths and service texts are converted into.
enum class LocalCodepage { kGbk, kUtf8 };

// The platform's own code page for paths and console text: GBK (code page
// 936, that of the "zh-CN" locale) on Windows, UTF-8 elsewhere.
LocalCodepage platformCodepage();

// Selects the process-wide local code page (the platform's own unless set
// otherwise).
void setLocalCodepage(LocalCodepage codepage);
LocalCodepage localCodepage();
// The selected code page's name: "GBK" or "UTF-8".
const char* localCodepageName();

// Converts UTF-8 text into the local code page. Returns the empty text when the input is not valid UTF-8 or holds
// a character the code page cannot represent: never a partial text.
std::string utf8ToLocal(const std::string& utf8);

// True when `text` is well-formed UTF-8 (no overlongs, no surrogates, nothing
// above U+10FFFF).
bool isValidUtf8(const std::string& text);

// The offset of the first byte at which `text` stops being well-formed UTF-8
// (the start of the first bad or cut-short sequence); npos when it is valid.
size_t firstInvalidUtf8(const std::string& text);

}  // namespace corvane
