#pragma once

#include <stdlib.h>
#include <time.h>

#include <optional>
#include <string>

#include "support/test_system.h"

namespace corvane::testing {

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
      setEnvironment("TZ", *previous_);
    } else {
      unsetEnvironment("TZ");
    }
    tzset();
  }
  TimeZoneGuard(const TimeZoneGuard&) = delete;
  TimeZoneGuard& operator=(const TimeZoneGuard&) = delete;

  void set(const char* zone) {
    setEnvironment("TZ", zone);
    tzset();
  }

 private:
  std::optional<std::string> previous_;
};

}  // namespace corvane::testing
