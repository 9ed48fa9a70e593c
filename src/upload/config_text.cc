#include "upload/config_text.h"

#include <rapidjson/error/en.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <memory>

#include "text/local_codepage.h"
#include "text/log_text.h"

namespace corvane {
namespace {

using File = std::unique_ptr<std::FILE, decltype(&std::fclose)>;

// Every key loading reads, in the order of the configuration table.
constexpr const char* kKnownKeys[] = {
    "accounturl", "gatewaytokenurl", "projecturl",   "rooturl",      "tokenurl",
    "taskurl",    "parturl",         "mergeurl",     "aborturl",     "directurl",
    "appsecret",  "appkey",          "projectid",    "orgid",        "tenantid",
    "targetname", "localfile",       "files",        "output",       "codepage",
    "partsize",   "parallelparts",   "parallelfiles", "stallseconds", "maxkbps",
    "resumefile", "progressfile",    "stopfile",     "proxy",
};

// Edits between `a` and `b`: letters added, removed or changed, and two
// neighbouring letters swapped, each counting one.
size_t editDistance(const std::string& a, const std::string& b) {
  std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
  for (size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
  for (size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t changed = d[i - 1][j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1);
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, changed});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
      }
    }
  }
  return d[a.size()][b.size()];
}

// The known key nearest to `key` when it is at most two edits away; the
// first in table order among equals; empty when none is that near.
std::string nearestKnownKey(const std::string& key) {
  constexpr size_t kMostEdits = 2;
  std::string nearest;
  size_t best = kMostEdits + 1;
  // Keys far longer than any known one cannot be near one: no table is built.
  if (key.size() > 32) return nearest;
  for (const char* known : kKnownKeys) {
    const size_t edits = editDistance(key, known);
    if (edits < best) {
      best = edits;
      nearest = known;
    }
  }
  return nearest;
}

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

std::vector<std::string> unknownKeyWarnings(const rapidjson::Document& document) {
  std::vector<std::string> warnings;
  if (!document.IsObject()) return warnings;
  for (const auto& member : document.GetObject()) {
    const std::string key(member.name.GetString(), member.name.GetStringLength());
    const bool known = std::any_of(std::begin(kKnownKeys), std::end(kKnownKeys),
                                   [&key](const char* name) { return key == name; });
    if (known) continue;
    std::string warning = "unknown key '" + escapeControls(key) + "' ignored";
    const std::string nearest = nearestKnownKey(key);
    if (!nearest.empty()) warning += " (did you mean '" + nearest + "'?)";
    warnings.push_back(warning);
  }
  return warnings;
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
