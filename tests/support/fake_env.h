#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "platform/env.h"

namespace corvane::testing {

// An environment for tests: a clock that only moves when told to (or when
// the code sleeps), UUIDs from a counter, pauses that take no time. File
// system questions go to the real environment unless an executable path is
// set.
class FakeEnv : public Env {
 public:
  FakeEnv() : real_(Env::install(this)) {}
  ~FakeEnv() override { Env::install(real_); }
  FakeEnv(const FakeEnv&) = delete;
  FakeEnv& operator=(const FakeEnv&) = delete;

  std::string executablePath() override { return executable; }
  bool pathExists(const std::string& path) override { return real().pathExists(path); }
  std::string fileReadProblem(const std::string& path) override {
    return real().fileReadProblem(path);
  }
  bool isWritableDirectory(const std::string& path) override {
    return real().isWritableDirectory(path);
  }
  std::vector<std::string> fallbackLogDirectories() override { return fallbackLogs; }
  bool createDirectory(const std::string& path) override {
    createdDirectories.push_back(path);
    return real().createDirectory(path);
  }
  void sleepMilliseconds(int64_t milliseconds) override {
    sleeps.push_back(milliseconds);
    ticks += milliseconds * 10000;
  }
  std::string newUuid() override {
    char text[37];
    std::snprintf(text, sizeof text, "00000000-0000-4000-8000-%012llu",
                  static_cast<unsigned long long>(++uuidCount));
    return text;
  }
  int64_t nowTicks() override { return ticks + wallShiftTicks; }
  std::string environmentVariable(const std::string& name) override {
    auto found = variables.find(name);
    return found == variables.end() ? std::string() : found->second;
  }
  int64_t steadyMilliseconds() override { return ticks / 10000; }

  int64_t totalSleptMilliseconds() const {
    int64_t total = 0;
    for (int64_t sleep : sleeps) total += sleep;
    return total;
  }

  std::string executable;
  int64_t ticks = 17'000'000'000'000'000;  // 2023-11-14, in 100 ns ticks
  // How far the system clock was set away from `ticks` (time moves both
  // clocks alike; setting the system clock moves only this one).
  int64_t wallShiftTicks = 0;
  uint64_t uuidCount = 0;
  std::vector<int64_t> sleeps;
  std::vector<std::string> createdDirectories;
  std::vector<std::string> fallbackLogs;
  // The environment variables the code sees, by exact name; none by default.
  std::map<std::string, std::string> variables;

 private:
  Env& real() { return systemEnv(); }
  Env* real_;
};

}  // namespace corvane::testing
