#include "text/log_text.h"

#include <cstdio>

namespace corvane {
namespace {

bool isControl(unsigned char byte) { return byte < 0x20 || byte == 0x7F; }

}  // namespace

std::string escapeControls(const std::string& text) {
  std::string escaped;
  escaped.reserve(text.size());
  for (char c : text) {
    auto byte = static_cast<unsigned char>(c);
    if (!isControl(byte)) {
      escaped += c;
    } else if (c == '\r') {
      escaped += "\\r";
    } else if (c == '\n') {
      escaped += "\\n";
    } else if (c == '\t') {
      escaped += "\\t";
    } else {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02X", byte);
      escaped += hex;
    }
  }
  return escaped;
}

bool hasControlCharacter(const std::string& text) {
  for (char c : text) {
    if (isControl(static_cast<unsigned char>(c))) return true;
  }
  return false;
}

}  // namespace corvane
