#include "transport/url_text.h"

#include <curl/curl.h>

#include <memory>

namespace corvane {

std::string percentEncode(const std::string& value) {
  if (value.empty()) return {};
  std::unique_ptr<char, decltype(&curl_free)> escaped(
      curl_easy_escape(nullptr, value.data(), static_cast<int>(value.size())), &curl_free);
  return escaped ? std::string(escaped.get()) : std::string();
}

std::string redactUrl(const std::string& url) {
  std::string kept = url.substr(0, url.find_first_of("?#"));
  size_t authority = kept.find("//");
  authority = authority == std::string::npos ? 0 : authority + 2;
  size_t pathStart = kept.find('/', authority);
  size_t at = kept.rfind('@', pathStart == std::string::npos ? std::string::npos : pathStart);
  if (at != std::string::npos && at >= authority && (pathStart == std::string::npos || at < pathStart)) {
    kept.erase(authority, at + 1 - authority);
  }
  return kept;
}

}  // namespace corvane
