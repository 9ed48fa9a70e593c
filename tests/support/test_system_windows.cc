#include <gtest/gtest.h>
#include <stdlib.h>
#include <windows.h>

#include <random>

#include "support/test_system.h"

namespace corvane::testing {

std::string makeTemporaryDirectory(const std::string& prefix) {
  const std::filesystem::path base = std::filesystem::absolute(::testing::TempDir());
  std::random_device random;
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::filesystem::path candidate = base / (prefix + std::to_string(random() % 1000000000));
    std::error_code error;
    // False, without an error, when the name is taken: try another.
    if (std::filesystem::create_directory(candidate, error)) return candidate.string();
    if (error) return {};
  }
  return {};
}

void setEnvironment(const std::string& name, const std::string& value) {
  _putenv_s(name.c_str(), value.c_str());
}

// An empty value removes the variable from the C runtime's environment.
void unsetEnvironment(const std::string& name) { _putenv_s(name.c_str(), ""); }

// File permissions bind every account here; the sharing modes of open files
// are what the tests deny reading with.
bool runningAsRoot() { return false; }

std::filesystem::path utf8Path(const std::string& utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

ReadingDenied::ReadingDenied(const std::string& path) : path_(path) {
  HANDLE file = CreateFileW(utf8Path(path).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  held_ = file != INVALID_HANDLE_VALUE;
  if (held_) handle_ = file;
}

ReadingDenied::~ReadingDenied() {
  if (held_) CloseHandle(static_cast<HANDLE>(handle_));
}

bool ReadingDenied::bindsThisProcess() const { return true; }

std::optional<bool> holdsAsNobody(const std::string&, const std::string&,
                                  const std::function<bool()>&) {
  return std::nullopt;
}

}  // namespace corvane::testing
