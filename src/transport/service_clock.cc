#include "transport/service_clock.h"

#include <curl/curl.h>

#include <cstdlib>

#include "platform/env.h"
#include "transport/http_exchange.h"
#include "transport/log_source.h"

namespace corvane {
namespace {

constexpr int64_t kLargestUncorrectedMilliseconds = 60'000;
// 2020-01-01 and 2100-01-01, in seconds since 1970: a date outside them is
// no service's clock.
constexpr int64_t kEarliestPlausibleSeconds = 1'577'836'800;
constexpr int64_t kLatestPlausibleSeconds = 4'102'444'800;

}  // namespace

bool differsByMoreThanAMinute(int64_t first, int64_t second) {
  return std::llabs(first - second) > kLargestUncorrectedMilliseconds;
}

std::string signedSecondsText(int64_t differenceMilliseconds) {
  // Rounded to the nearest second, a half toward zero: a date carries whole
  // seconds, and the difference is measured from their middle.
  const int64_t seconds = (std::llabs(differenceMilliseconds) + 499) / 1000;
  return (differenceMilliseconds > 0 ? "-" : "+") + std::to_string(seconds);
}

void ServiceClock::observe(const std::string& headers) {
  const std::string value = lastHeaderValue(headers, "date");
  if (value.empty()) return;
  const time_t when = curl_getdate(value.c_str(), nullptr);
  if (when < kEarliestPlausibleSeconds || when >= kLatestPlausibleSeconds) return;
  // A date names the whole second the answer was made in: its middle is the
  // best guess.
  const int64_t serviceMilliseconds = static_cast<int64_t>(when) * 1000 + 500;
  difference_ = serviceMilliseconds - Env::current().nowTicks() / (kTicksPerSecond / 1000);
  if (announced_ || correctionMilliseconds() == 0) return;
  announced_ = true;
  UPLOAD_LOG(INFO) << "clock: this machine's clock differs from the service's by "
                   << signedSecondsText(*difference_) << " s; signing with the service's time";
}

int64_t ServiceClock::correctionMilliseconds() const {
  if (!difference_ || !differsByMoreThanAMinute(*difference_, 0)) return 0;
  return *difference_;
}

int64_t ServiceClock::correctedNowTicks() const {
  return Env::current().nowTicks() + correctionMilliseconds() * (kTicksPerSecond / 1000);
}

bool ServiceClock::takeResigning() {
  if (resigned_) return false;
  resigned_ = true;
  return true;
}

std::string ServiceClock::differenceNote() const {
  if (correctionMilliseconds() == 0) return {};
  return " (this machine's clock differs from the service's by " +
         signedSecondsText(*difference_) + " s)";
}

}  // namespace corvane
