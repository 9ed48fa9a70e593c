#include "upload/config_text.h"

#include <rapidjson/error/en.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "text/local_codepage.h"

namespace corvane {
namespace {

using File = std::unique_ptr<std::FILE, decltype(&std::fclose)>;

void setReason(std::string* reason, int error) {
  if (reason) *reason = std::strerror(error);
}

// "line L, column C" of the byte at `offset`, both 1-based; the column counts
// bytes from the line's start (a character of several bytes counts as
// several), as editors show them for a file read as bytes. Offsets are those
// of the text without its UTF-8 byte-order mark.
std::string positionOf(const std::string& text, size_t offset) {
  size_t lineStart = 0;
  size_t line = 1;
  for (size_t at = 0; at < offset && at < text.size(); ++at) {
    if (text[at] == '\n') {
      ++line;
      lineStart = at + 1;
    }
  }
  return "line " + std::to_string(line) + ", column " + std::to_string(offset - lineStart + 1);
}

}  // namespace

std::string readTextFile(const std::string& path, std::string* reason) {
  File file(std::fopen(path.c_str(), "rb"), &std::fclose);
  if (!file) {
    setReason(reason, errno);
    return {};
  }
  std::string text;
  char block[4096];
  size_t got = 0;
  while ((got = std::fread(block, 1, sizeof block, file.get())) > 0) text.append(block, got);
  if (std::ferror(file.get())) {
    setReason(reason, errno);
    return {};
  }
  text = text.substr(0, text.find('\0'));
  if (text.rfind("\xEF\xBB\xBF", 0) == 0) text.erase(0, 3);
  return text;
}

bool parseConfigText(const std::string& text, rapidjson::Document& document, std::string& problem) {
  document.Parse<rapidjson::kParseIterativeFlag>(text.c_str());
  if (!document.HasParseError()) return true;
  problem = positionOf(text, document.GetErrorOffset()) + ": " +
            rapidjson::GetParseError_En(document.GetParseError());
  return false;
}

std::string encodingProblem(const std::string& text) {
  // Both marks survive readTextFile(): it cuts at the first NUL, which comes
  // only after them.
  if (text.rfind("\xFF\xFE", 0) == 0 || text.rfind("\xFE\xFF", 0) == 0) {
    return "configuration file is UTF-16; save it as UTF-8";
  }
  const size_t invalid = firstInvalidUtf8(text);
  if (invalid == std::string::npos) return {};
  return "configuration file is not UTF-8 (" + positionOf(text, invalid) + "); save it as UTF-8";
}

bool getConfigString(const rapidjson::Document& document, const std::string& key,
                     std::string& field) {
  if (key.empty() || !document.IsObject()) return false;
  auto member = document.FindMember(key.c_str());
  if (member == document.MemberEnd() || !member->value.IsString()) return false;
  std::string value(member->value.GetString());  // up to the first NUL
  if (value.empty()) return false;
  field = value;
  return true;
}

void replaceAll(std::string& text, const std::string& pattern, const std::string& replacement) {
  if (pattern.empty()) return;
  size_t position = text.find(pattern);
  while (position != std::string::npos) {
    text.replace(position, pattern.size(), replacement);
    position = text.find(pattern, position + replacement.size());
  }
}

std::string completeUrl(const std::string& base, const std::string& templ,
                        const std::string& placeholder, const std::string& value) {
  std::string url = base + templ;
  replaceAll(url, placeholder, value);
  return url;
}

}  // namespace corvane
