// The server's notion of "now". Tests shift it through the control endpoint
// instead of sleeping, to expire tokens and part URLs on demand.
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>

namespace localstore {

class ServerClock {
 public:
  std::int64_t now_seconds() const;
  std::int64_t now_millis() const;
  void set_offset_seconds(std::int64_t offset) { offset_seconds_ = offset; }
  std::int64_t offset_seconds() const { return offset_seconds_; }

 private:
  std::atomic<std::int64_t> offset_seconds_{0};
};

// Real time in milliseconds since 1970, without the offset: for timings.
std::int64_t real_now_millis();

// Formats a unix time as "YYYY-mm-dd HH:MM:SS" in the machine's local
// standard time: the zone's wall clock without any daylight-saving shift, so
// that reading the text back with mktime and tm_isdst 0 (as the uploader
// does) gives the same instant in every season.
std::string format_local_standard_time(std::int64_t unix_seconds);

// The same written in the zone `east_seconds` east of UTC when one is given.
std::string format_expire_time(std::int64_t unix_seconds,
                               const std::optional<std::int64_t>& east_seconds);

// A unix time as an HTTP date ("Sun, 06 Nov 1994 08:49:37 GMT").
std::string format_http_date(std::int64_t unix_seconds);

}  // namespace localstore
