#include "json_util.h"

namespace localstore {

JsonWriter& JsonWriter::key(std::string_view k) {
  writer_.Key(k.data(), static_cast<rapidjson::SizeType>(k.size()));
  return *this;
}

JsonWriter& JsonWriter::str(std::string_view v) {
  writer_.String(v.data(), static_cast<rapidjson::SizeType>(v.size()));
  return *this;
}

JsonWriter& JsonWriter::raw(std::string_view json) {
  writer_.RawValue(json.data(), json.size(), rapidjson::kObjectType);
  return *this;
}

std::string error_envelope(int code, std::string_view message) {
  JsonWriter w;
  w.begin_object().key("code").num(code).key("message").str(message).end_object();
  return w.text();
}

std::string success_envelope(std::string_view data_json) {
  JsonWriter w;
  w.begin_object().key("code").str("success").key("data").raw(data_json).end_object();
  return w.text();
}

bool parse_json(std::string_view text, rapidjson::Document& doc) {
  doc.Parse(text.data(), text.size());
  return !doc.HasParseError();
}

namespace {

const rapidjson::Value* member(const rapidjson::Value& obj, const char* name) {
  if (!obj.IsObject()) return nullptr;
  auto it = obj.FindMember(name);
  return it == obj.MemberEnd() ? nullptr : &it->value;
}

}  // namespace

std::optional<std::string> member_string(const rapidjson::Value& obj, const char* name) {
  const rapidjson::Value* v = member(obj, name);
  if (!v || !v->IsString()) return std::nullopt;
  return std::string(v->GetString(), v->GetStringLength());
}

std::optional<std::uint64_t> member_uint64(const rapidjson::Value& obj, const char* name) {
  const rapidjson::Value* v = member(obj, name);
  if (!v || !v->IsUint64()) return std::nullopt;
  return v->GetUint64();
}

std::optional<std::int64_t> member_int64(const rapidjson::Value& obj, const char* name) {
  const rapidjson::Value* v = member(obj, name);
  if (!v || !v->IsInt64()) return std::nullopt;
  return v->GetInt64();
}

}  // namespace localstore
