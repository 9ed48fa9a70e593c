#pragma once

// Fault rules of the stand-in (POST /_control/faults), built in tests and
// written as its JSON.
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace corvane::e2e {

// One fault rule for POST /_control/faults, written with RapidJSON.
struct Rule {
  Rule(std::string kindName, std::string actionName)
      : kind(std::move(kindName)), action(std::move(actionName)) {}
  Rule& nth(int n) {
    nthValue = n;
    return *this;
  }
  Rule& status(int code) {
    statusValue = code;
    return *this;
  }
  Rule& body(std::string text) {
    bodyValue = std::move(text);
    return *this;
  }
  Rule& bodyBase64(std::string text) {
    bodyBase64Value = std::move(text);
    return *this;
  }
  Rule& contentType(std::string type) {
    contentTypeValue = std::move(type);
    return *this;
  }
  // Sets the member at the dotted `path` of the answer to the raw JSON `json`.
  Rule& set(std::string path, std::string json) {
    sets.emplace_back(std::move(path), std::move(json));
    return *this;
  }
  Rule& padTo(uint64_t bytes) {
    padToValue = bytes;
    return *this;
  }
  Rule& header(std::string name, uint64_t lineBytes) {
    headerName = std::move(name);
    headerBytes = lineBytes;
    return *this;
  }
  Rule& seconds(int count) {
    secondsValue = count;
    return *this;
  }
  // The rule fires for the nth through the mth request of its kind.
  Rule& through(int m) {
    throughValue = m;
    return *this;
  }
  // Adds the response header `name: value`.
  Rule& headerLine(std::string name, std::string value) {
    headerName = std::move(name);
    headerValueText = std::move(value);
    return *this;
  }
  // A "pass" rule's answer waits this long before it goes out.
  Rule& delayMs(int milliseconds) {
    delayValue = milliseconds;
    return *this;
  }
  // Changes the client's file at `path` when the rule fires: "remove",
  // "cut" or "grow" (by `bytes`), "rewrite", "rewrite-keep-time".
  Rule& changeLocalFile(std::string path, std::string change, uint64_t bytes = 0) {
    localFile = std::move(path);
    localFileChange = std::move(change);
    localFileBytes = bytes;
    return *this;
  }

  std::string kind;
  std::string action;
  int nthValue = 0;
  int statusValue = 0;  // 0: the stand-in's default
  std::optional<std::string> bodyValue;
  std::optional<std::string> bodyBase64Value;
  std::optional<std::string> contentTypeValue;
  std::vector<std::pair<std::string, std::string>> sets;
  uint64_t padToValue = 0;
  std::string headerName;
  uint64_t headerBytes = 0;
  int secondsValue = 0;  // 0: the stand-in's default
  int throughValue = 0;  // 0: the nth alone
  std::string headerValueText;
  int delayValue = 0;
  std::string localFile;
  std::string localFileChange;
  uint64_t localFileBytes = 0;
};

inline std::string rulesJson(const std::vector<Rule>& rules) {
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> w(buffer);
  auto text = [&w](const char* key, const std::string& value) {
    w.Key(key);
    w.String(value.data(), static_cast<rapidjson::SizeType>(value.size()));
  };
  w.StartArray();
  for (const Rule& r : rules) {
    w.StartObject();
    text("kind", r.kind);
    text("action", r.action);
    w.Key("nth");
    w.Int(r.nthValue);
    if (r.statusValue) {
      w.Key("status");
      w.Int(r.statusValue);
    }
    if (r.bodyValue) text("body", *r.bodyValue);
    if (r.bodyBase64Value) text("bodyBase64", *r.bodyBase64Value);
    if (r.contentTypeValue) text("contentType", *r.contentTypeValue);
    if (!r.sets.empty()) {
      w.Key("set");
      w.StartObject();
      for (const auto& [path, json] : r.sets) {
        w.Key(path.c_str());
        w.RawValue(json.data(), json.size(), rapidjson::kStringType);
      }
      w.EndObject();
    }
    if (r.padToValue) {
      w.Key("padTo");
      w.Uint64(r.padToValue);
    }
    if (!r.headerName.empty()) {
      text("header", r.headerName);
      if (!r.headerValueText.empty()) text("headerValue", r.headerValueText);
      w.Key("headerBytes");
      w.Uint64(r.headerBytes);
    }
    if (r.delayValue) {
      w.Key("delayMs");
      w.Int(r.delayValue);
    }
    if (!r.localFile.empty()) {
      text("localFile", r.localFile);
      text("localFileChange", r.localFileChange);
      w.Key("localFileBytes");
      w.Uint64(r.localFileBytes);
    }
    if (r.secondsValue) {
      w.Key("seconds");
      w.Int(r.secondsValue);
    }
    if (r.throughValue) {
      w.Key("through");
      w.Int(r.throughValue);
    }
    w.EndObject();
  }
  w.EndArray();
  return buffer.GetString();
}

}  // namespace corvane::e2e
