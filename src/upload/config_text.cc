#include "upload/config_text.h"

#include <fstream>
#include <iterator>

namespace corvane {

std::string readTextFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return {};
  std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  text = text.substr(0, text.find('\0'));
  if (text.rfind("\xEF\xBB\xBF", 0) == 0) text.erase(0, 3);
  return text;
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
