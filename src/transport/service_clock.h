#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace corvane {

// How far this machine's clock is from the service's, as the `Date` header
// of the answers tells. A difference over a minute is corrected: the gateway
// timestamps and the storage token's expiry are then reckoned on the
// service's time. Durations never are: they run on the monotonic clock.
class ServiceClock {
 public:
  // Reads the `Date` of an answer's header text (its last block); one that
  // is absent, unreadable or implausible (before 2020, after 2100) is
  // ignored. Logs at INFO, the first time, that the difference is corrected.
  void observe(const std::string& headers);
  // The service's time minus this machine's, in milliseconds, as the last
  // answer with a date measured it; nothing before any did.
  std::optional<int64_t> difference() const { return difference_; }
  // What the clocks of this run are corrected by: the difference once it
  // exceeds a minute, 0 otherwise.
  int64_t correctionMilliseconds() const;
  // The system clock corrected so, in ticks since 1970 (Env::nowTicks()).
  int64_t correctedNowTicks() const;
  // True the first time only: a run re-signs one refused request at most.
  bool takeResigning();
  // " (this machine's clock differs from the service's by <+N|-N> s)" while
  // the clocks differ by more than a minute; empty otherwise.
  std::string differenceNote() const;

 private:
  std::optional<int64_t> difference_;
  bool announced_ = false;
  bool resigned_ = false;
};

// This machine's clock minus the service's, for a difference of the service's
// minus this machine's in milliseconds: whole seconds with their sign ("+5",
// "-1200").
std::string signedSecondsText(int64_t differenceMilliseconds);

// Whether two differences of the clocks are more than a minute apart.
bool differsByMoreThanAMinute(int64_t first, int64_t second);

}  // namespace corvane
