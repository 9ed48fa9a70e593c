#include <algorithm>
#include <ctime>
#include <iomanip>
#include <limits>
#include <sstream>

#include "platform/env.h"
#include "text/log_text.h"
#include "transport/log_source.h"
#include "transport/url_text.h"
#include "upload/corvane_multi_upload.h"
#include "upload/response_judging.h"

namespace corvane {
namespace {

// Reads "%Y-%m-%d %H:%M:%S" as local standard time; whatever follows the
// seconds is ignored. Ticks since 1970, or nothing when unreadable.
std::optional<int64_t> readExpireTime(const std::string& text) {
  std::tm broken{};
  std::istringstream in(text);
  in >> std::get_time(&broken, "%Y-%m-%d %H:%M:%S");
  if (in.fail()) return std::nullopt;
  broken.tm_isdst = 0;
  std::time_t seconds = std::mktime(&broken);
  if (seconds == static_cast<std::time_t>(-1)) return std::nullopt;
  return static_cast<int64_t>(seconds) * kTicksPerSecond;
}

// Within a list, the uploader's cached token is the shared one: taken from
// it before the cache is consulted, and handed back whatever the fetch did.
class TokenMirror {
 public:
  TokenMirror(SharedToken* shared, std::string& token, int64_t& expiry)
      : shared_(shared), token_(token), expiry_(expiry) {
    if (!shared_) return;
    token_ = shared_->token;
    expiry_ = shared_->expiry;
  }
  ~TokenMirror() {
    if (!shared_) return;
    shared_->token = token_;
    shared_->expiry = expiry_;
  }
  TokenMirror(const TokenMirror&) = delete;
  TokenMirror& operator=(const TokenMirror&) = delete;

 private:
  SharedToken* shared_;
  std::string& token_;
  int64_t& expiry_;
};

// The expiry of a token that looked expired on arrival: by this machine's
// clock and zone its expiry says nothing, so it is used until the service
// refuses it.
constexpr int64_t kUntilRefused = std::numeric_limits<int64_t>::max();

constexpr char kBearer[] = "Authorization:Bearer ";

}  // namespace

std::string CorvaneMultiUpload::getCorvaneAccessToken() {
  std::string why;
  return fetchAccessToken(why);
}

std::string CorvaneMultiUpload::fetchAccessToken(std::string& why) {
  TokenMirror mirror(context_.sharedToken, accessToken, accessTokenExpiry);
  // The expiry is the service's time: so is the clock it is read against.
  const ServiceClock& clock = context_.loop.controls().clock;
  const int64_t now = clock.correctedNowTicks();
  int64_t remainingSeconds =
      accessTokenExpiry == kUntilRefused ? 1 : (accessTokenExpiry - now) / kTicksPerSecond;
  if (remainingSeconds >= 1 && !accessToken.empty()) return accessToken;

  std::string credential = base64Encode(appkey + ":" + appsecret);
  HttpRequest request = newRequest("POST", tokenurl);
  QueryParameters parameters;
  if (!tenantid.empty()) {
    request.url += "?credential=" + percentEncode(credential);
    parameters["credential"] = credential;
  }
  request.timeoutSeconds = 20;
  request.defaultHttps = true;
  std::vector<std::string> headers = {"Authorization: Basic " + credential,
                                      "Content-Type: application/json"};
  request.headerLines = std::move(headers);
  if (!tenantid.empty()) signEachAttempt(request, parameters);
  HttpResponse response = context_.loop.perform(request);
  if (response.result != CURLE_OK) {
    why = response.cause.empty() ? "the token request failed" : response.cause;
    return {};
  }

  // The token goes back to the service: it is never shown, and is used as
  // it came, unconverted.
  dumpResponse("getCorvaneAccessToken", redactMembers(response.body, {"token"}),
               response.headers);
  why = "the token service's answer held no token";
  rapidjson::Document document;
  if (!parseObject(response.body, document)) {
    // A page (a proxy's or a gateway's) instead of the service's answer.
    if (!response.cause.empty()) why = response.cause;
    return accessToken;
  }
  if (!document.HasMember("code")) return accessToken;
  if (isServiceError(document, "getCorvaneAccessToken", errorMessage)) {
    // The service's own words, when it gave any.
    why = stringMember(document, "message").value_or("refused by the service");
    return {};
  }
  auto code = stringMember(document, "code");
  const rapidjson::Value* data = objectMember(document, "data");
  if (code != "success" || !data) return accessToken;
  // A token goes into header lines: one with a control character is no token.
  auto token = stringMember(*data, "token");
  if (token && !hasControlCharacter(*token)) accessToken = *token;
  if (auto expireTime = stringMember(*data, "expireTime")) {
    auto expiry = readExpireTime(*expireTime);
    if (expiry) accessTokenExpiry = *expiry;
    if (expiry && token && (*expiry - clock.correctedNowTicks()) / kTicksPerSecond < 1) {
      // A token just made cannot have expired: the zone or the clock of
      // this machine is not the service's.
      UPLOAD_LOG(INFO) << "clock: the storage token's expiry " << escapeControls(*expireTime)
                       << " lies in the past by this machine's clock; using it until the "
                          "service refuses it";
      accessTokenExpiry = kUntilRefused;
    }
  }
  return accessToken;
}

bool CorvaneMultiUpload::renewRefusedToken(HttpRequest& request) {
  if (!request.headerLines) return false;
  auto line = std::find_if(request.headerLines->begin(), request.headerLines->end(),
                           [](const std::string& text) { return text.rfind(kBearer, 0) == 0; });
  if (line == request.headerLines->end()) return false;
  const std::string refused = line->substr(sizeof kBearer - 1);
  // Within a list the token is the one all files share.
  std::string& current = context_.sharedToken ? context_.sharedToken->token : accessToken;
  if (refused == current) {
    UPLOAD_LOG(INFO) << "storage token refused (HTTP 401); asking for a new one";
    current.clear();
    accessToken.clear();
  }
  std::string why;
  std::string token = fetchAccessToken(why);
  if (token.empty()) {
    UPLOAD_LOG(ERROR) << "no storage token: " << escapeControls(why);
    return false;
  }
  *line = kBearer + token;
  return true;
}

}  // namespace corvane
