// The stand-in's storage-token expiry, read back the way the uploader reads it
// (local standard time through mktime with tm_isdst 0), in zones whose
// daylight saving is negative (Dublin: winter), positive (New York: summer)
// or absent (Shanghai), and in both seasons through the stand-in's clock.
#include <gtest/gtest.h>
#include <httplib.h>
#include <stdlib.h>
#include <time.h>

#include <ctime>
#include <iomanip>
#include <sstream>

#include "e2e_harness.h"

namespace corvane::e2e {
namespace {

constexpr int64_t kLifetime = 3600;
constexpr int64_t kHalfYear = 182 * 86400;

// Sets TZ for this process and the stand-ins it starts; restores it after.
class ZoneGuard {
 public:
  explicit ZoneGuard(const char* zone) {
    if (const char* previous = getenv("TZ")) previous_ = previous;
    setenv("TZ", zone, 1);
    tzset();
  }
  ~ZoneGuard() {
    previous_.empty() ? unsetenv("TZ") : setenv("TZ", previous_.c_str(), 1);
    tzset();
  }

 private:
  std::string previous_;
};

int64_t readAsStandardTime(const std::string& text) {
  std::tm broken{};
  std::istringstream(text) >> std::get_time(&broken, "%Y-%m-%d %H:%M:%S");
  broken.tm_isdst = 0;
  return static_cast<int64_t>(std::mktime(&broken));
}

TEST(TokenExpiry, ReadsBackAsNowPlusTheLifetimeInEveryZoneAndSeason) {
  for (const char* zone : {"Europe/Dublin", "America/New_York", "Asia/Shanghai"}) {
    ZoneGuard guard(zone);
    LocalStore store({"--token-lifetime", std::to_string(kLifetime)});
    httplib::Client client("127.0.0.1", store.port());
    client.set_basic_auth(LocalStore::kAppKey, LocalStore::kAppSecret);
    for (int64_t offset : {int64_t{0}, kHalfYear}) {
      SCOPED_TRACE(std::string(zone) + " offset " + std::to_string(offset));
      const std::string shift = "{\"offsetSeconds\":" + std::to_string(offset) + "}";
      rapidjson::Document clock;
      clock.Parse(store.post("/_control/clock", shift).c_str());
      ASSERT_TRUE(clock.IsObject() && clock.HasMember("now"));
      const int64_t now = clock["now"].GetInt64();
      auto answer = client.Post("/oauth2/token", "", "application/json");
      ASSERT_TRUE(answer && answer->status == 200);
      rapidjson::Document token;
      token.Parse(answer->body.c_str());
      const std::string expireTime = stringAt(token["data"], "expireTime");
      const int64_t left = readAsStandardTime(expireTime) - now;
      EXPECT_GE(left, kLifetime) << expireTime;
      EXPECT_LE(left, kLifetime + 2) << expireTime;
    }
  }
}

}  // namespace
}  // namespace corvane::e2e
