#pragma once

// Small helpers shared by the uploader's unit tests: a private temporary
// directory per test and file contents.

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "platform/env.h"
#include "support/scripted_transfers.h"
#include "support/test_system.h"
#include "support/time_zone_guard.h"

namespace corvane::testing {

// A fresh directory under the test temporary directory, removed with all it
// holds when the object goes away. Paths it hands out are absolute.
class ScratchDir {
 public:
  ScratchDir() : path_(makeTemporaryDirectory("corvane-upload-")) {
    if (path_.empty()) ADD_FAILURE() << "no directory could be made under " << ::testing::TempDir();
  }
  ~ScratchDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::string& path() const { return path_; }
  // The path of `name` (UTF-8) inside the directory, joined as the program
  // joins paths.
  std::string file(const std::string& name) const { return path_ + kPathSeparator + name; }

  // Writes `bytes` to `name` (UTF-8) inside the directory and returns its path.
  std::string write(const std::string& name, const std::string& bytes) const {
    std::string where = file(name);
    std::ofstream out(utf8Path(where), std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    EXPECT_TRUE(out.good()) << "could not write " << where;
    return where;
  }

 private:
  std::string path_;
};

// The whole content of a file, or nothing when it cannot be opened.
inline std::optional<std::string> readWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// `size` bytes in which every offset holds a different-looking byte, so a
// part taken from the wrong offset cannot pass for the right one.
inline std::string patternBytes(size_t size, uint32_t seed = 1) {
  std::string bytes(size, '\0');
  uint32_t state = seed * 2654435761u + 12345u;
  for (size_t i = 0; i < size; ++i) {
    state = state * 1664525u + 1013904223u;
    bytes[i] = static_cast<char>(state >> 24);
  }
  return bytes;
}


// The options of one request as the exchange was handed them. (What libcurl
// does with the time limit and with redirects is shown end to end.)
struct SeenOptions {
  long timeoutSeconds;
  bool defaultHttps;
  bool capturesBody;
  bool capturesHeaders;
  bool failOnHttpError;
  long answerSeconds;
  bool createsItem;
};

// A step that notes the request's options in `seen`, takes the whole body
// and answers `body`.
inline ScriptedTransfers::Step respondNotingOptions(ScriptedTransfers& network,
                                                    std::vector<SeenOptions>& seen,
                                                    const std::string& body) {
  return [&network, &seen, body](Transfer& transfer) {
    const HttpRequest& request = transfer.request;
    seen.push_back({request.timeoutSeconds, request.defaultHttps, transfer.body != nullptr,
                    transfer.headers != nullptr, request.failOnHttpError, request.answerSeconds,
                    request.createsItem});
    network.drain(transfer);
    ScriptedTransfers::deliver("HTTP/1.1 200 OK\r\n\r\n", transfer.headers);
    ScriptedTransfers::deliver(body, transfer.body);
    return CURLE_OK;
  };
}

inline constexpr int64_t kMiB = 1048576;
inline constexpr int64_t kTicks = 10'000'000;  // 100 ns ticks per second

}  // namespace corvane::testing
