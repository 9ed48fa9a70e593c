#include "upload/response_judging.h"

#include <algorithm>
#include <utility>

#include "text/local_codepage.h"
#include "text/log_text.h"
#include "transport/log_source.h"

namespace corvane {

bool parseObject(const std::string& text, rapidjson::Document& document) {
  document.Parse<rapidjson::kParseIterativeFlag>(text.c_str());
  return !document.HasParseError() && document.IsObject();
}

std::optional<std::string> stringMember(const rapidjson::Value& object, const char* name) {
  if (!object.IsObject()) return std::nullopt;
  auto member = object.FindMember(name);
  if (member == object.MemberEnd() || !member->value.IsString()) return std::nullopt;
  return std::string(member->value.GetString());
}

std::optional<std::string> localStringMember(const rapidjson::Value& object, const char* name,
                                             const char* what) {
  auto text = stringMember(object, name);
  if (!text) return std::nullopt;
  std::string local = utf8ToLocal(*text);
  if (local.empty() && !text->empty()) {
    UPLOAD_LOG(WARNING) << what << " has no " << localCodepageName() << " form";
  }
  return local;
}

const rapidjson::Value* objectMember(const rapidjson::Value& object, const char* name) {
  if (!object.IsObject()) return nullptr;
  auto member = object.FindMember(name);
  if (member == object.MemberEnd() || !member->value.IsObject()) return nullptr;
  return &member->value;
}

std::optional<int> serviceErrorCode(const rapidjson::Value& root) {
  if (!root.IsObject()) return std::nullopt;
  auto code = root.FindMember("code");
  if (code == root.MemberEnd() || !code->value.IsInt()) return std::nullopt;
  return code->value.GetInt();
}

bool isServiceError(const rapidjson::Value& root, const char* operation, std::string& errorMessage) {
  std::optional<int> code = serviceErrorCode(root);
  if (!code) return false;
  auto message = localStringMember(root, "message", "service message");
  if (message) errorMessage = *message;
  UPLOAD_LOG(ERROR) << operation << " refused by the service (code " << *code << ")"
                    << (message ? ": " + escapeControls(*message) : std::string());
  return true;
}

bool hasSuccessStatus(const rapidjson::Value& data) {
  auto status = stringMember(data, "status");
  const std::string expected = "success";
  auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
  return status && status->size() == expected.size() &&
         std::equal(status->begin(), status->end(), expected.begin(),
                    [&lower](char a, char b) { return lower(a) == b; });
}

}  // namespace corvane

namespace corvane {
namespace {

// Where the JSON string starting at `start` (just past its opening quote)
// ends in `text`: the position of its closing quote, or the end.
size_t stringEnd(const std::string& text, size_t start) {
  size_t at = start;
  while (at < text.size() && text[at] != '"') at += text[at] == '\\' ? 2 : 1;
  return std::min(at, text.size());
}

// The spans of the values of `names` in a parsed copy of `text`.
bool parsedValueSpans(const std::string& text, const std::vector<std::string>& names,
                      std::vector<std::pair<size_t, size_t>>& spans) {
  std::string copy = text;
  rapidjson::Document document;
  document.ParseInsitu<rapidjson::kParseIterativeFlag>(copy.data());
  if (document.HasParseError()) return false;
  std::vector<const rapidjson::Value*> pending = {&document};
  while (!pending.empty()) {
    const rapidjson::Value* value = pending.back();
    pending.pop_back();
    if (value->IsArray()) {
      for (const auto& element : value->GetArray()) pending.push_back(&element);
      continue;
    }
    if (!value->IsObject()) continue;
    for (const auto& member : value->GetObject()) {
      pending.push_back(&member.value);
      if (!member.value.IsString() ||
          std::find(names.begin(), names.end(), member.name.GetString()) == names.end()) {
        continue;
      }
      // In place, a string's text starts where its raw text started.
      size_t start = static_cast<size_t>(member.value.GetString() - copy.data());
      spans.emplace_back(start, stringEnd(text, start));
    }
  }
  return true;
}

// The same for text that is no JSON document (cut short, say): every
// "name" followed by a colon and a string.
void scannedValueSpans(const std::string& text, const std::vector<std::string>& names,
                       std::vector<std::pair<size_t, size_t>>& spans) {
  for (const std::string& name : names) {
    const std::string key = "\"" + name + "\"";
    for (size_t at = text.find(key); at != std::string::npos; at = text.find(key, at + 1)) {
      if (at > 0 && text[at - 1] == '\\') continue;
      size_t colon = text.find_first_not_of(" \t\r\n", at + key.size());
      if (colon == std::string::npos || text[colon] != ':') continue;
      size_t quote = text.find_first_not_of(" \t\r\n", colon + 1);
      if (quote == std::string::npos || text[quote] != '"') continue;
      spans.emplace_back(quote + 1, stringEnd(text, quote + 1));
    }
  }
}

}  // namespace

std::string redactMembers(const std::string& text, const std::vector<std::string>& names) {
  std::vector<std::pair<size_t, size_t>> spans;
  if (!parsedValueSpans(text, names, spans)) scannedValueSpans(text, names, spans);
  std::sort(spans.begin(), spans.end());
  std::string redacted = text;
  for (auto span = spans.rbegin(); span != spans.rend(); ++span) {
    redacted.replace(span->first, span->second - span->first, "<redacted>");
  }
  return redacted;
}

}  // namespace corvane
