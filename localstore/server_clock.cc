#include "server_clock.h"

#include <chrono>

namespace localstore {

std::int64_t ServerClock::now_millis() const {
  auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(since_epoch).count();
  return ms + offset_seconds_ * 1000;
}

std::int64_t ServerClock::now_seconds() const { return now_millis() / 1000; }

std::string format_local_time(std::int64_t unix_seconds) {
  std::time_t t = static_cast<std::time_t>(unix_seconds);
  std::tm parts{};
  localtime_r(&t, &parts);
  char text[32];
  size_t n = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts);
  return std::string(text, n);
}

}  // namespace localstore
