#include "upload/response_judging.h"

#include <strings.h>

namespace corvane {

bool parseObject(const std::string& text, rapidjson::Document& document) {
  document.Parse(text.c_str());
  return !document.HasParseError() && document.IsObject();
}

std::optional<std::string> stringMember(const rapidjson::Value& object, const char* name) {
  if (!object.IsObject()) return std::nullopt;
  auto member = object.FindMember(name);
  if (member == object.MemberEnd() || !member->value.IsString()) return std::nullopt;
  return std::string(member->value.GetString());
}

const rapidjson::Value* objectMember(const rapidjson::Value& object, const char* name) {
  if (!object.IsObject()) return nullptr;
  auto member = object.FindMember(name);
  if (member == object.MemberEnd() || !member->value.IsObject()) return nullptr;
  return &member->value;
}

bool isServiceError(const rapidjson::Value& root, std::string& errorMessage) {
  if (!root.IsObject()) return false;
  auto code = root.FindMember("code");
  if (code == root.MemberEnd() || !code->value.IsInt()) return false;
  if (auto message = stringMember(root, "message")) errorMessage = *message;
  return true;
}

bool hasSuccessStatus(const rapidjson::Value& data) {
  auto status = stringMember(data, "status");
  return status && strcasecmp(status->c_str(), "success") == 0;
}

}  // namespace corvane
