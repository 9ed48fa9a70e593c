#include "upload/response_judging.h"

#include <algorithm>

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

std::optional<std::string> localStringMember(const rapidjson::Value& object, const char* name) {
  auto text = stringMember(object, name);
  if (!text) return std::nullopt;
  return utf8ToLocal(*text);
}

const rapidjson::Value* objectMember(const rapidjson::Value& object, const char* name) {
  if (!object.IsObject()) return nullptr;
  auto member = object.FindMember(name);
  if (member == object.MemberEnd() || !member->value.IsObject()) return nullptr;
  return &member->value;
}

bool isServiceError(const rapidjson::Value& root, const char* operation, std::string& errorMessage) {
  if (!root.IsObject()) return false;
  auto code = root.FindMember("code");
  if (code == root.MemberEnd() || !code->value.IsInt()) return false;
  auto message = localStringMember(root, "message");
  if (message) errorMessage = *message;
  UPLOAD_LOG(ERROR) << operation << " refused by the service (code " << code->value.GetInt()
                    << ")" << (message ? ": " + escapeControls(*message) : std::string());
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
