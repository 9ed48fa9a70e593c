#include "transport/url_text.h"

#include <curl/curl.h>

#include <algorithm>
#include <memory>

#include "text/log_text.h"

namespace corvane {
namespace {

using UrlHandle = std::unique_ptr<CURLU, decltype(&curl_url_cleanup)>;
using CurlText = std::unique_ptr<char, decltype(&curl_free)>;

// One part of a parsed URL; the empty text when it is absent.
std::string urlPart(CURLU* url, CURLUPart part) {
  char* raw = nullptr;
  if (curl_url_get(url, part, &raw, 0) != CURLUE_OK) return {};
  CurlText text(raw, &curl_free);
  return text ? std::string(text.get()) : std::string();
}

// Where the user information that ends at the "@" at `at` begins: after
// the "://" of its URL, within the quoted or bracketed stretch that holds
// it; without a scheme, after the last blank.
size_t userInfoStart(const std::string& text, size_t at) {
  const size_t boundary = text.find_last_of("'\"`<>(){}\n", at);
  const size_t stretch = boundary == std::string::npos ? 0 : boundary + 1;
  const size_t scheme = text.rfind("://", at);
  if (scheme != std::string::npos && scheme >= stretch) return scheme + 3;
  const size_t blank = text.find_last_of(" \t", at);
  return blank == std::string::npos ? stretch : std::max(stretch, blank + 1);
}

}  // namespace

std::string withoutUserInfo(const std::string& text) {
  std::string scrubbed = text;
  for (size_t at = scrubbed.find('@'); at != std::string::npos; at = scrubbed.find('@', at)) {
    const size_t start = userInfoStart(scrubbed, at);
    scrubbed.erase(start, at + 1 - start);
    at = start;
  }
  return scrubbed;
}

std::string percentEncode(const std::string& value) {
  if (value.empty()) return {};
  CurlText escaped(curl_easy_escape(nullptr, value.data(), static_cast<int>(value.size())),
                   &curl_free);
  return escaped ? std::string(escaped.get()) : std::string();
}

std::string redactUrl(const std::string& url) {
  UrlHandle parsed(curl_url(), &curl_url_cleanup);
  // A URL without a scheme goes out over HTTPS, so it is read that way too.
  const unsigned flags = CURLU_DEFAULT_SCHEME | CURLU_NON_SUPPORT_SCHEME;
  if (!parsed || curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(), flags) != CURLUE_OK) {
    return "<unparsable URL>";
  }
  std::string kept = urlPart(parsed.get(), CURLUPART_SCHEME) + "://" +
                     urlPart(parsed.get(), CURLUPART_HOST);
  const std::string port = urlPart(parsed.get(), CURLUPART_PORT);
  if (!port.empty()) kept += ":" + port;
  return escapeControls(kept + urlPart(parsed.get(), CURLUPART_PATH));
}

}  // namespace corvane
