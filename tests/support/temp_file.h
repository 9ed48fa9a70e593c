#pragma once

// A file with given content under the test temporary directory (TEST_TMPDIR
// or TMPDIR, /tmp when neither is set), removed when the object goes away.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "platform/env.h"

namespace corvane::testing {

class TempFile {
 public:
  explicit TempFile(const std::string& content) {
    std::string base = ::testing::TempDir();
    if (base.empty() || (base.back() != '/' && base.back() != '\\')) base += kPathSeparator;
    std::string pattern = base + "corvane-test-XXXXXX";
    int fd = mkstemp(pattern.data());
    if (fd < 0) {
      ADD_FAILURE() << "mkstemp failed under " << base;
      return;
    }
    ::close(fd);
    path = pattern;
    std::ofstream out(path, std::ios::binary);
    out << content;
    out.close();
    EXPECT_TRUE(out.good()) << "could not write " << path;
  }
  ~TempFile() {
    if (!path.empty()) std::remove(path.c_str());
  }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  std::string path;  // empty when the file could not be made
};

}  // namespace corvane::testing
