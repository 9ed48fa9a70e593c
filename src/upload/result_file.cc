#include "upload/result_file.h"

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "platform/file_replace.h"
#include "platform/read_only_file.h"

namespace corvane {

uint64_t getFileSize(const std::string& path) { return ReadOnlyFile(path).size(); }

bool writeTextFile(const std::string& path, const std::string& text, std::string& reason) {
  return replaceFile(path, text, reason);
}

std::string buildResultDocument(bool succeeded, const std::string& message,
                                const std::string& fileItemId, const std::string& fileItemName) {
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  // Values go in as C strings, so each ends at its first NUL.
  writer.StartObject();
  writer.Key("code");
  writer.String(succeeded ? "success" : "failed");
  writer.Key("message");
  writer.String(message.c_str());
  writer.Key("data");
  writer.StartObject();
  writer.Key("fileitemid");
  writer.String(fileItemId.c_str());
  writer.Key("fileitemname");
  writer.String(fileItemName.c_str());
  writer.EndObject();
  writer.EndObject();
  return std::string(buffer.GetString(), buffer.GetSize());
}

}  // namespace corvane
