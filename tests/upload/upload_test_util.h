#pragma once

// Small helpers shared by the uploader's unit tests: a private temporary
// directory per test, file contents, and a fixed time zone.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "support/scripted_transfers.h"

namespace corvane::testing {

// A fresh directory under the test temporary directory, removed with all it
// holds when the object goes away. Paths it hands out are absolute.
class ScratchDir {
 public:
  ScratchDir() {
    std::string base = ::testing::TempDir();
    if (base.empty() || base.back() != '/') base += '/';
    std::string pattern = base + "corvane-upload-XXXXXX";
    char* made = mkdtemp(pattern.data());
    if (made == nullptr) {
      ADD_FAILURE() << "mkdtemp failed under " << base;
    } else {
      path_ = std::filesystem::absolute(made).string();
    }
  }
  ~ScratchDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

  // Writes `bytes` to `name` inside the directory and returns its path.
  std::string write(const std::string& name, const std::string& bytes) const {
    std::string where = file(name);
    std::ofstream out(where, std::ios::binary | std::ios::trunc);
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

// Sets the process time zone for the object's lifetime and restores the
// previous one afterwards.
class TimeZoneGuard {
 public:
  explicit TimeZoneGuard(const char* zone) {
    if (const char* previous = getenv("TZ")) previous_ = previous;
    set(zone);
  }
  ~TimeZoneGuard() {
    if (previous_) {
      setenv("TZ", previous_->c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }
  TimeZoneGuard(const TimeZoneGuard&) = delete;
  TimeZoneGuard& operator=(const TimeZoneGuard&) = delete;

  void set(const char* zone) {
    setenv("TZ", zone, 1);
    tzset();
  }

 private:
  std::optional<std::string> previous_;
};

// The options of one request as the exchange was handed them.
// (The time limit and redirects are shown end to end, in what libcurl does.)
struct SeenOptions {
  bool defaultHttps;
  bool capturesBody;
  bool capturesHeaders;
  bool failOnHttpError;
};

// A step that notes the request's options in `seen`, takes the whole body
// and answers `body`.
inline ScriptedTransfers::Step respondNotingOptions(ScriptedTransfers& network,
                                                    std::vector<SeenOptions>& seen,
                                                    const std::string& body) {
  return [&network, &seen, body](Transfer& transfer) {
    const HttpRequest& request = transfer.request;
    seen.push_back({request.defaultHttps, transfer.body != nullptr, transfer.headers != nullptr,
                    request.failOnHttpError});
    network.drain(transfer);
    ScriptedTransfers::deliver("HTTP/1.1 200 OK\r\n\r\n", transfer.headers);
    ScriptedTransfers::deliver(body, transfer.body);
    return CURLE_OK;
  };
}

inline constexpr int64_t kMiB = 1048576;
inline constexpr int64_t kTicks = 10'000'000;  // 100 ns ticks per second

}  // namespace corvane::testing
