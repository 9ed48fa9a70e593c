#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

#include <rapidjson/document.h>

namespace corvane::e2e {

// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes away.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// The local stand-in service, started on a free loopback port with its own
// data directory and stopped when the object goes away.
class LocalStore {
 public:
  explicit LocalStore(std::vector<std::string> extraArguments = {});
  ~LocalStore();
  LocalStore(const LocalStore&) = delete;
  LocalStore& operator=(const LocalStore&) = delete;

  std::string baseUrl() const { return "http://127.0.0.1:" + std::to_string(port_); }
  int port() const { return port_; }
  const std::string& dataDir() const { return data_.path(); }

  // GET or POST a control endpoint; the response body.
  std::string get(const std::string& path) const;
  std::string post(const std::string& path, const std::string& body) const;
  // The request log as a parsed JSON array.
  rapidjson::Document requests() const;
  // Request counts by kind.
  int count(const std::string& kind) const;
  // The bytes stored for a file item.
  std::string storedBytes(const std::string& fileItemId) const;

  static constexpr const char* kAppKey = "app-key-1";
  static constexpr const char* kAppSecret = "s3cr&t=+/key";

 private:
  TempDir data_;
  pid_t pid_ = -1;
  int port_ = 0;
};

// What one run of the uploader left behind.
struct RunResult {
  int exitStatus = -1;
  std::string out;
  std::string err;
  std::string logs;  // every log file's content, concatenated
  std::vector<std::string> logFiles;
};

// Runs a copy of the uploader placed in `dir` (so its logs folder lands
// there) with `arguments`, from `dir` as working directory.
RunResult runUploader(const TempDir& dir, const std::vector<std::string>& arguments);

// A configuration for `store` uploading `localFile`; `overrides` replace or add
// keys (a value of "null" removes the key; values starting with '#' are raw
// JSON, e.g. "#5").
std::string writeConfig(const TempDir& dir, const LocalStore& store, const std::string& localFile,
                        const std::map<std::string, std::string>& overrides = {});

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& content);
// Deterministic pseudo-random bytes.
std::string patternBytes(size_t size, unsigned seed = 1);
std::string sha256Hex(const std::string& bytes);

}  // namespace corvane::e2e
