#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/fake_env.h"
#include "support/log_capture.h"
#include "support/scripted_transfers.h"
#include "text/local_codepage.h"
#include "transport/gateway_signing.h"
#include "upload/corvane_multi_upload.h"
#include "upload/upload_test_util.h"

namespace corvane {
namespace {

using ::testing::ElementsAre;
using ::testing::StartsWith;
using testing::FakeEnv;
using testing::LogCapture;
using testing::kTicks;
using testing::ScriptedRun;
using testing::ScriptedTransfers;
using testing::SeenOptions;
using testing::respondNotingOptions;
using testing::TimeZoneGuard;

constexpr char kTokenUrl[] = "https://store.test/oauth2/token";
// 2030-01-02 03:04:05 UTC in seconds since 1970.
constexpr int64_t kExpirySeconds = 1893553445;
constexpr char kExpiryText[] = "2030-01-02 03:04:05";

std::string successBody(const std::string& token, const std::string& expireTime) {
  return R"({"code":"success","data":{"token":")" + token + R"(","expireTime":")" + expireTime +
         R"("}})";
}

class AccessToken : public ::testing::Test {
 protected:
  void SetUp() override {
    setLocalCodepage(LocalCodepage::kGbk);
    uploader.appkey = "key";
    uploader.appsecret = "secret";
    uploader.tokenurl = kTokenUrl;
    // As the driver leaves it at the start of a run.
    uploader.accessTokenExpiry = env.ticks;
  }

  // Calls the operation with standard output captured into `printed`.
  std::string fetch() {
    ::testing::internal::CaptureStdout();
    std::string token = uploader.getCorvaneAccessToken();
    printed = ::testing::internal::GetCapturedStdout();
    return token;
  }

  TimeZoneGuard zone{"UTC"};
  FakeEnv env;
  ScriptedRun scripted;
  ScriptedTransfers& network = scripted.network;
  CorvaneMultiUpload uploader{scripted.context};
  std::string printed;
};

// ---- The request ----------------------------------------------------------

TEST_F(AccessToken, FirstCallRequestsWithBasicCredentials) {
  network.thenRespond(successBody("tok-1", kExpiryText));
  EXPECT_EQ(fetch(), "tok-1");
  ASSERT_EQ(network.attempts().size(), 1u);
  const auto& sent = network.attempts()[0];
  EXPECT_EQ(sent.method, "POST");
  EXPECT_EQ(sent.url, kTokenUrl);
  // base64("key:secret")
  EXPECT_THAT(sent.headerLines, ElementsAre("Authorization: Basic a2V5OnNlY3JldA==",
                                            "Content-Type: application/json"));
  EXPECT_EQ(sent.postFields, "");
  EXPECT_EQ(uploader.accessToken, "tok-1");
  EXPECT_EQ(uploader.accessTokenExpiry, kExpirySeconds * kTicks);
}

TEST_F(AccessToken, RequestDefaultsToHttpsAndCapturesTheAnswer) {
  std::vector<SeenOptions> seen;
  network.then(respondNotingOptions(network, seen, successBody("tok-1", kExpiryText)));
  EXPECT_EQ(fetch(), "tok-1");
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_TRUE(seen[0].defaultHttps);
  EXPECT_TRUE(seen[0].capturesBody);
  EXPECT_TRUE(seen[0].capturesHeaders);
}

TEST_F(AccessToken, ResponseIsDumpedUnderItsLabels) {
  network.thenRespond(successBody("tok-1", kExpiryText), "HTTP/1.1 200 OK\r\nX-A: b\r\n\r\n");
  fetch();
  // The token itself never reaches standard output; every other byte does.
  EXPECT_EQ(printed, "getCorvaneAccessToken CURLOPT_WRITEFUNCTION out:\n" +
                         successBody("<redacted>", kExpiryText) +
                         "\ngetCorvaneAccessToken CURLOPT_HEADERFUNCTION out:\n"
                         "HTTP/1.1 200 OK\r\nX-A: b\r\n\r\n\n");
}

TEST_F(AccessToken, TenantRequestCarriesTheEncodedCredentialAndSignedHeaders) {
  uploader.appkey = "ak?";
  uploader.appsecret = "s~~";  // base64("ak?:s~~") is "YWs/OnN+fg=="
  uploader.tenantid = "t1";
  uploader.projectid = "p1";
  network.thenRespond(successBody("tok-1", kExpiryText));
  EXPECT_EQ(fetch(), "tok-1");
  ASSERT_EQ(network.attempts().size(), 1u);
  const auto& sent = network.attempts()[0];
  EXPECT_EQ(sent.url, std::string(kTokenUrl) + "?credential=YWs%2FOnN%2Bfg%3D%3D");
  ASSERT_EQ(sent.headerLines.size(), 9u);
  EXPECT_EQ(sent.headerLines[0], "Authorization: Basic YWs/OnN+fg==");
  EXPECT_EQ(sent.headerLines[1], "Content-Type: application/json");
  const std::string nonce = "00000000-0000-4000-8000-000000000001";
  const std::string timestamp = std::to_string(env.ticks / 10000);
  EXPECT_EQ(sent.headerLines[2], "x-ca-key:ak?");
  EXPECT_EQ(sent.headerLines[3], "x-ca-nonce:" + nonce);
  EXPECT_THAT(sent.headerLines[4], StartsWith("x-ca-signature:"));
  EXPECT_EQ(sent.headerLines[5], "x-ca-signature-headers:x-ca-key,x-ca-nonce,x-ca-timestamp");
  EXPECT_EQ(sent.headerLines[6], "x-ca-timestamp:" + timestamp);
  EXPECT_EQ(sent.headerLines[7], "x-project-id:p1");
  EXPECT_EQ(sent.headerLines[8], "x-tenant-id:t1");
  // The signature covers the credential as it stands, not percent-encoded.
  const std::string toSign = "POST\nx-ca-key:ak?\nx-ca-nonce:" + nonce + "\nx-ca-timestamp:" +
                             timestamp + "\n/oauth2/token?credential=YWs/OnN+fg==";
  EXPECT_EQ(sent.headerLines[4], "x-ca-signature:" + base64Encode(hmacSign("s~~", toSign)));
}

TEST_F(AccessToken, WithoutTenantTheUrlCarriesNoQuery) {
  uploader.appkey = "ak?";
  uploader.appsecret = "s~~";
  uploader.projectid = "p1";
  network.thenRespond(successBody("tok-1", kExpiryText));
  fetch();
  ASSERT_EQ(network.attempts().size(), 1u);
  EXPECT_EQ(network.attempts()[0].url, kTokenUrl);
  EXPECT_EQ(network.attempts()[0].headerLines.size(), 2u);
}

// ---- The cache --------------------------------------------------------------

TEST_F(AccessToken, TokenWithOneAndAHalfSecondsLeftIsReused) {
  uploader.accessToken = "held";
  uploader.accessTokenExpiry = env.ticks + 15'000'000;
  EXPECT_EQ(fetch(), "held");
  EXPECT_TRUE(network.attempts().empty());
  EXPECT_EQ(printed, "");
}

TEST_F(AccessToken, TokenWithExactlyOneSecondLeftIsReused) {
  uploader.accessToken = "held";
  uploader.accessTokenExpiry = env.ticks + kTicks;
  EXPECT_EQ(fetch(), "held");
  EXPECT_TRUE(network.attempts().empty());
}

TEST_F(AccessToken, TokenWithNineTenthsOfASecondLeftIsRefreshed) {
  uploader.accessToken = "held";
  uploader.accessTokenExpiry = env.ticks + 9'000'000;
  network.thenRespond(successBody("fresh", kExpiryText));
  EXPECT_EQ(fetch(), "fresh");
  EXPECT_EQ(network.attempts().size(), 1u);
  EXPECT_EQ(uploader.accessToken, "fresh");
}

TEST_F(AccessToken, ExpiredTokenIsRefreshed) {
  uploader.accessToken = "held";
  uploader.accessTokenExpiry = env.ticks - 5 * kTicks;
  network.thenRespond(successBody("fresh", kExpiryText));
  EXPECT_EQ(fetch(), "fresh");
  EXPECT_EQ(network.attempts().size(), 1u);
}

TEST_F(AccessToken, EmptyTokenIsRequestedEvenWithTenSecondsLeft) {
  uploader.accessTokenExpiry = env.ticks + 10 * kTicks;
  network.thenRespond(successBody("fresh", kExpiryText));
  EXPECT_EQ(fetch(), "fresh");
  EXPECT_EQ(network.attempts().size(), 1u);
}

TEST_F(AccessToken, ReceivedTokenServesLaterCallsUntilItsLastSecond) {
  network.thenRespond(successBody("tok-1", "2023-11-14 22:14:00"));
  network.thenRespond(successBody("tok-2", kExpiryText));
  // FakeEnv starts at 1700000000 s = 2023-11-14 22:13:20 UTC.
  EXPECT_EQ(fetch(), "tok-1");
  env.ticks += 38 * kTicks;  // 2 s left
  EXPECT_EQ(fetch(), "tok-1");
  env.ticks += kTicks + 1;  // just under 1 s left
  EXPECT_EQ(fetch(), "tok-2");
  EXPECT_EQ(network.attempts().size(), 2u);
}

// A token whose expiry lies in the past on arrival (the service writes it in
// a zone behind the machine's) is used until the service refuses it, not
// asked for again before every request.
TEST_F(AccessToken, ATokenThatLooksExpiredOnArrivalIsKeptUntilRefused) {
  LogCapture log;
  network.thenRespond(successBody("tok-1", "2023-11-14 14:13:21"));  // 8 h behind
  EXPECT_EQ(fetch(), "tok-1");
  env.ticks += 3600 * kTicks;
  EXPECT_EQ(fetch(), "tok-1");
  EXPECT_EQ(network.attempts().size(), 1u);
  EXPECT_THAT(log.lines, ElementsAre("clock: the storage token's expiry 2023-11-14 14:13:21 lies "
                                     "in the past by this machine's clock; using it until the "
                                     "service refuses it"));
}

// The expiry is read against the service's time once the answers' dates
// show the machine's clock 20 minutes behind it.
TEST_F(AccessToken, TheExpiryIsReadAgainstTheServicesTime) {
  scripted.controls.clock.observe("HTTP/1.1 200 OK\r\nDate: Tue, 14 Nov 2023 22:33:20 GMT\r\n\r\n");
  uploader.accessToken = "held";
  uploader.accessTokenExpiry = env.ticks + 600 * kTicks;  // 10 minutes by this machine's clock
  network.thenRespond(successBody("fresh", "2023-11-14 23:33:20"));
  EXPECT_EQ(fetch(), "fresh");
  EXPECT_EQ(network.attempts().size(), 1u);
}

// A document-store request answered with HTTP 401 gets a new token; another
// request refused with the same token takes the new one without asking again.
TEST_F(AccessToken, OneRenewalServesEveryRequestRefusedWithTheSameToken) {
  LogCapture log;
  uploader.accessToken = "tok-1";
  uploader.accessTokenExpiry = env.ticks + 3600 * kTicks;
  network.thenRespond(successBody("tok-2", kExpiryText));
  HttpRequest first;
  first.headerLines = std::vector<std::string>{"Authorization:Bearer tok-1", "Content-Type: x"};
  HttpRequest second = first;
  ::testing::internal::CaptureStdout();
  EXPECT_TRUE(uploader.renewRefusedToken(first));
  EXPECT_TRUE(uploader.renewRefusedToken(second));
  ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(network.attempts().size(), 1u);
  EXPECT_THAT(*first.headerLines, ElementsAre("Authorization:Bearer tok-2", "Content-Type: x"));
  EXPECT_THAT(*second.headerLines, ElementsAre("Authorization:Bearer tok-2", "Content-Type: x"));
  EXPECT_THAT(log.lines, ElementsAre("storage token refused (HTTP 401); asking for a new one"));
}

// ---- Judging the response ---------------------------------------------------

class AccessTokenCodeCase : public AccessToken, public ::testing::WithParamInterface<const char*> {};

TEST_P(AccessTokenCodeCase, OtherCodeStoresNothingAndReturnsTheHeldToken) {
  uploader.accessToken = "held";
  const int64_t heldExpiry = uploader.accessTokenExpiry;
  uploader.errorMessage = "earlier";
  network.thenRespond(std::string(R"({"code":)") + GetParam() +
                      R"(,"message":"m","data":{"token":"new","expireTime":"2030-01-02 03:04:05"}})");
  EXPECT_EQ(fetch(), "held");
  EXPECT_EQ(network.attempts().size(), 1u);
  EXPECT_EQ(uploader.accessToken, "held");
  EXPECT_EQ(uploader.accessTokenExpiry, heldExpiry);
  EXPECT_EQ(uploader.errorMessage, "earlier");
}

INSTANTIATE_TEST_SUITE_P(NotExactlySuccess, AccessTokenCodeCase,
                         ::testing::Values("\"SUCCESS\"", "\"Success\"", "\"success \"",
                                           "\"ok\"", "2147483648", "1.5", "true", "null",
                                           "{\"v\":\"success\"}"));

TEST_F(AccessToken, IntegerCodeRecordsTheMessageAndReturnsEmpty) {
  uploader.accessToken = "held";
  const int64_t heldExpiry = uploader.accessTokenExpiry;
  network.thenRespond(
      R"({"code":401,"message":"bad credential","data":{"token":"new","expireTime":"2030-01-02 03:04:05"}})");
  EXPECT_EQ(fetch(), "");
  EXPECT_EQ(uploader.errorMessage, "bad credential");
  EXPECT_EQ(uploader.accessToken, "held");
  EXPECT_EQ(uploader.accessTokenExpiry, heldExpiry);
}

TEST_F(AccessToken, IntegerCodeZeroIsAlsoTheErrorForm) {
  network.thenRespond(R"({"code":0,"message":"zero","data":{"token":"new"}})");
  EXPECT_EQ(fetch(), "");
  EXPECT_EQ(uploader.errorMessage, "zero");
  EXPECT_EQ(uploader.accessToken, "");
}

TEST_F(AccessToken, IntegerCodeWithoutStringMessageKeepsTheEarlierMessage) {
  uploader.errorMessage = "account url is empty!";
  network.thenRespond(R"({"code":-2147483648,"message":5})");
  EXPECT_EQ(fetch(), "");
  EXPECT_EQ(uploader.errorMessage, "account url is empty!");
}

TEST_F(AccessToken, ExpireTimeWithTStoresTheTokenButNotTheExpiry) {
  const int64_t heldExpiry = uploader.accessTokenExpiry;
  network.thenRespond(successBody("tok-t", "2030-01-02T03:04:05"));
  network.thenRespond(successBody("tok-again", kExpiryText));
  EXPECT_EQ(fetch(), "tok-t");
  EXPECT_EQ(uploader.accessToken, "tok-t");
  EXPECT_EQ(uploader.accessTokenExpiry, heldExpiry);
  // Stale at once: the next call asks again.
  EXPECT_EQ(fetch(), "tok-again");
  EXPECT_EQ(network.attempts().size(), 2u);
}

TEST_F(AccessToken, FractionAfterTheSecondsIsIgnored) {
  network.thenRespond(successBody("tok-f", "2030-01-02 03:04:05.678"));
  EXPECT_EQ(fetch(), "tok-f");
  EXPECT_EQ(uploader.accessTokenExpiry, kExpirySeconds * kTicks);
}

TEST_F(AccessToken, ExpireTimeIsReadAsLocalTime) {
  zone.set("XST-8");  // eight hours east of UTC, no daylight saving
  network.thenRespond(successBody("tok-l", kExpiryText));
  EXPECT_EQ(fetch(), "tok-l");
  EXPECT_EQ(uploader.accessTokenExpiry, (kExpirySeconds - 8 * 3600) * kTicks);
}

TEST_F(AccessToken, SummerExpireTimeIsReadAsStandardTime) {
  zone.set("EST5EDT,M3.2.0,M11.1.0");
  // 2030-07-01 12:00:00 read as standard time (UTC-5): 17:00 UTC.
  network.thenRespond(successBody("tok-s", "2030-07-01 12:00:00"));
  EXPECT_EQ(fetch(), "tok-s");
  EXPECT_EQ(uploader.accessTokenExpiry, (int64_t{1909137600} + 5 * 3600) * kTicks);
}

TEST_F(AccessToken, ExpiryWithoutTokenMovesTheHeldTokensExpiry) {
  uploader.accessToken = "held";
  network.thenRespond(R"({"code":"success","data":{"expireTime":"2030-01-02 03:04:05"}})");
  EXPECT_EQ(fetch(), "held");
  EXPECT_EQ(uploader.accessTokenExpiry, kExpirySeconds * kTicks);
}

TEST_F(AccessToken, TokenWithoutExpiryKeepsTheOldExpiry) {
  const int64_t heldExpiry = uploader.accessTokenExpiry;
  network.thenRespond(R"({"code":"success","data":{"token":"tok-n","expireTime":5}})");
  EXPECT_EQ(fetch(), "tok-n");
  EXPECT_EQ(uploader.accessTokenExpiry, heldExpiry);
}

TEST_F(AccessToken, NonStringTokenIsNotStored) {
  uploader.accessToken = "held";
  network.thenRespond(R"({"code":"success","data":{"token":12,"expireTime":"2030-01-02 03:04:05"}})");
  EXPECT_EQ(fetch(), "held");
  EXPECT_EQ(uploader.accessToken, "held");
  EXPECT_EQ(uploader.accessTokenExpiry, kExpirySeconds * kTicks);
}

class AccessTokenShapeCase : public AccessToken, public ::testing::WithParamInterface<const char*> {};

TEST_P(AccessTokenShapeCase, UnusableBodyReturnsTheHeldTokenUnchanged) {
  uploader.accessToken = "held";
  const int64_t heldExpiry = uploader.accessTokenExpiry;
  network.thenRespond(GetParam());
  EXPECT_EQ(fetch(), "held");
  EXPECT_EQ(uploader.accessToken, "held");
  EXPECT_EQ(uploader.accessTokenExpiry, heldExpiry);
  EXPECT_EQ(uploader.errorMessage, "");
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, AccessTokenShapeCase,
    ::testing::Values("<html>502 Bad Gateway</html>", "[1,2]", "\"success\"",
                      R"({"data":{"token":"new","expireTime":"2030-01-02 03:04:05"}})",
                      R"({"code":"success"})", R"({"code":"success","data":"tok"})",
                      R"({"code":"success","data":[{"token":"new"}]})"));

// The answer is judged from its UTF-8 text, and the token goes back to the
// service as it came, whatever the local code page lacks.
TEST_F(AccessToken, ATokenIsUsedAsItCameWhateverTheCodePageLacks) {
  setLocalCodepage(LocalCodepage::kGbk);
  network.thenRespond("{\"code\":\"success\",\"note\":\"\xF0\x9F\x98\x80\",\"data\":{\"token\":"
                      "\"new\xE8\xA8\xBA\",\"expireTime\":\"2030-01-02 03:04:05\"}}");
  EXPECT_EQ(fetch(), "new\xE8\xA8\xBA");
  setLocalCodepage(platformCodepage());
}

TEST_F(AccessToken, UnusableBodyOnFirstRequestGivesEmpty) {
  network.thenRespond("not json");
  EXPECT_EQ(fetch(), "");
}

TEST_F(AccessToken, TransferFailureReturnsEmptyAndKeepsTheCache) {
  uploader.accessToken = "held";
  const int64_t heldExpiry = uploader.accessTokenExpiry;
  uploader.errorMessage = "earlier";
  EXPECT_EQ(fetch(), "");
  EXPECT_EQ(network.attempts().size(), 33u);
  EXPECT_EQ(uploader.accessToken, "held");
  EXPECT_EQ(uploader.accessTokenExpiry, heldExpiry);
  EXPECT_EQ(uploader.errorMessage, "earlier");
  EXPECT_EQ(printed, "");
}

TEST_F(AccessToken, RetriedRequestUsesTheLastAttemptsResponse) {
  network.thenFail(CURLE_RECV_ERROR);
  network.thenRespond(successBody("tok-r", kExpiryText));
  EXPECT_EQ(fetch(), "tok-r");
  EXPECT_EQ(network.attempts().size(), 2u);
  EXPECT_EQ(uploader.accessTokenExpiry, kExpirySeconds * kTicks);
}

}  // namespace
}  // namespace corvane
