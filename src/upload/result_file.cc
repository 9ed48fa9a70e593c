#include "upload/result_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <vector>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "platform/read_only_file.h"

namespace corvane {
namespace {

bool writeAll(int fd, const std::string& text) {
  size_t written = 0;
  while (written < text.size()) {
    ssize_t got = ::write(fd, text.data() + written, text.size() - written);
    if (got < 0) return false;
    written += static_cast<size_t>(got);
  }
  return true;
}

// The permissions an ordinary new file gets under the process's umask.
mode_t newFileMode() {
  mode_t mask = umask(0);
  umask(mask);
  return 0666 & ~mask;
}

}  // namespace

uint64_t getFileSize(const std::string& path) { return ReadOnlyFile(path).size(); }

bool writeTextFile(const std::string& path, const std::string& text) {
  if (path.empty()) return false;
  std::vector<char> temporary(path.begin(), path.end());
  const std::string suffix = ".XXXXXX";
  temporary.insert(temporary.end(), suffix.begin(), suffix.end());
  temporary.push_back('\0');
  int fd = mkstemp(temporary.data());
  if (fd < 0) return false;
  bool written = fchmod(fd, newFileMode()) == 0 && writeAll(fd, text) && fsync(fd) == 0;
  written = (::close(fd) == 0) && written;
  if (written && std::rename(temporary.data(), path.c_str()) == 0) return true;
  std::remove(temporary.data());
  return false;
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
