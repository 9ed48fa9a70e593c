#include "server_clock.h"

#include <chrono>
#include <cstdio>

namespace localstore {

std::int64_t real_now_millis() {
  auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
  return std::chrono::duration_cast<std::chrono::milliseconds>(since_epoch).count();
}

std::int64_t ServerClock::now_millis() const { return real_now_millis() + offset_seconds_ * 1000; }

std::int64_t ServerClock::now_seconds() const { return now_millis() / 1000; }

std::string format_local_standard_time(std::int64_t unix_seconds) {
  std::time_t t = static_cast<std::time_t>(unix_seconds);
  std::tm wall{};
  localtime_r(&t, &wall);
  // mktime reads the same wall clock as standard time; how far that lands
  // from `t` is the daylight-saving shift in effect (negative where winter
  // is the zone's daylight-saving time, as in Europe/Dublin).
  std::tm as_standard = wall;
  as_standard.tm_isdst = 0;
  std::time_t shift = std::mktime(&as_standard) - t;
  std::time_t standard_wall = timegm(&wall) - shift;  // wall clock fields, counted as UTC
  std::tm standard{};
  gmtime_r(&standard_wall, &standard);
  char text[32];
  size_t n = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &standard);
  return std::string(text, n);
}

std::string format_expire_time(std::int64_t unix_seconds,
                               const std::optional<std::int64_t>& east_seconds) {
  if (!east_seconds) return format_local_standard_time(unix_seconds);
  std::time_t t = static_cast<std::time_t>(unix_seconds + *east_seconds);
  std::tm fields{};
  gmtime_r(&t, &fields);
  char text[32];
  size_t n = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &fields);
  return std::string(text, n);
}

std::string format_http_date(std::int64_t unix_seconds) {
  static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  std::time_t t = static_cast<std::time_t>(unix_seconds);
  std::tm fields{};
  gmtime_r(&t, &fields);
  char text[40];
  int n = std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d GMT",
                        kDays[fields.tm_wday], fields.tm_mday, kMonths[fields.tm_mon],
                        fields.tm_year + 1900, fields.tm_hour, fields.tm_min, fields.tm_sec);
  return std::string(text, static_cast<size_t>(n));
}

}  // namespace localstore
