// The stand-in's storage-token expiry, read back the way the uploader reads it
// (local standard time through mktime with tm_isdst 0), in zones whose
// daylight saving is negative (Dublin: winter), positive (New York: summer)
// or absent (Shanghai), and in both seasons through the stand-in's clock.
#include <gtest/gtest.h>
#include <httplib.h>

#include <ctime>
#include <iomanip>
#include <sstream>

#include "e2e_harness.h"
#include "support/time_zone_guard.h"

namespace corvane::e2e {
namespace {

constexpr int64_t kLifetime = 3600;
constexpr int64_t kHalfYear = 182 * 86400;

int64_t readAsStandardTime(const std::string& text) {
  std::tm broken{};
  std::istringstream(text) >> std::get_time(&broken, "%Y-%m-%d %H:%M:%S");
  broken.tm_isdst = 0;
  return static_cast<int64_t>(std::mktime(&broken));
}

TEST(TokenExpiry, ReadsBackAsNowPlusTheLifetimeInEveryZoneAndSeason) {
  SKIP_FOR_WINDOWS_UPLOADER(kNoUploaderRun);
  for (const char* zone : {"Europe/Dublin", "America/New_York", "Asia/Shanghai"}) {
    testing::TimeZoneGuard guard(zone);  // the stand-ins started here inherit TZ
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
