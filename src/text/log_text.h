#pragma once

#include <string>

namespace corvane {

// `text` with its control characters written as escapes ("\r", "\n", "\t",
// "\xHH"), so that text from outside (a service's message, a URL, a path)
// can never break a log line or start a forged one.
std::string escapeControls(const std::string& text);

// True when `text` holds a byte below 0x20 or the byte 0x7F.
bool hasControlCharacter(const std::string& text);

}  // namespace corvane
