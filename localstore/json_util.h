// Small RapidJSON helpers: a compact writer and typed member lookups.
#pragma once

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace localstore {

class JsonWriter {
 public:
  JsonWriter() : writer_(buffer_) {}
  JsonWriter(const JsonWriter&) = delete;
  JsonWriter& operator=(const JsonWriter&) = delete;

  JsonWriter& begin_object() { writer_.StartObject(); return *this; }
  JsonWriter& end_object() { writer_.EndObject(); return *this; }
  JsonWriter& begin_array() { writer_.StartArray(); return *this; }
  JsonWriter& end_array() { writer_.EndArray(); return *this; }
  JsonWriter& key(std::string_view k);
  JsonWriter& str(std::string_view v);
  JsonWriter& num(std::int64_t v) { writer_.Int64(v); return *this; }
  JsonWriter& unum(std::uint64_t v) { writer_.Uint64(v); return *this; }
  JsonWriter& boolean(bool v) { writer_.Bool(v); return *this; }
  JsonWriter& raw(std::string_view json);  // an already serialised value
  std::string text() const { return std::string(buffer_.GetString(), buffer_.GetSize()); }

 private:
  rapidjson::StringBuffer buffer_;
  rapidjson::Writer<rapidjson::StringBuffer> writer_;
};

// {"code":<code>,"message":"<message>"}
std::string error_envelope(int code, std::string_view message);

// {"code":"success","data":<data_json>}
std::string success_envelope(std::string_view data_json);

bool parse_json(std::string_view text, rapidjson::Document& doc);

std::optional<std::string> member_string(const rapidjson::Value& obj, const char* name);
std::optional<std::uint64_t> member_uint64(const rapidjson::Value& obj, const char* name);
std::optional<std::int64_t> member_int64(const rapidjson::Value& obj, const char* name);

}  // namespace localstore
