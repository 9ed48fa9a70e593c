#include "gateway_verifier.h"

#include <algorithm>
#include <charconv>

#include "auth_header.h"
#include "crypto_util.h"
#include "url_codec.h"

namespace localstore {
namespace {

constexpr const char* kSignedHeaderList = "x-ca-key,x-ca-nonce,x-ca-timestamp";
constexpr const char* kInvalid = "invalid gateway signature";
constexpr const char* kStale = "stale gateway timestamp";

std::vector<std::string> split_commas(const std::string& list) {
  std::vector<std::string> names;
  size_t start = 0;
  while (start <= list.size()) {
    size_t comma = std::min(list.find(',', start), list.size());
    names.push_back(to_lower(list.substr(start, comma - start)));
    start = comma + 1;
  }
  return names;
}

std::string signed_headers_block(const httplib::Request& req) {
  std::vector<std::string> names = split_commas(req.get_header_value("x-ca-signature-headers"));
  std::sort(names.begin(), names.end());
  std::string block;
  for (const auto& name : names) {
    block += name + ":" + req.get_header_value(name.c_str()) + "\n";
  }
  return block;
}

std::string canonical_query(std::string_view raw_query) {
  QueryParams params = parse_query(raw_query);
  std::stable_sort(params.begin(), params.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  std::string out;
  for (const auto& [name, value] : params) {
    if (!out.empty()) out += '&';
    out += value.empty() ? name : name + "=" + value;
  }
  return out;
}

SignatureCheck fail(const char* message) { return SignatureCheck{false, message}; }

}  // namespace

GatewayVerifier::GatewayVerifier(std::string appkey, std::string appsecret,
                                 const ServerClock& clock, std::int64_t window_seconds)
    : appkey_(std::move(appkey)),
      appsecret_(std::move(appsecret)),
      clock_(clock),
      window_millis_(window_seconds * 1000) {}

bool GatewayVerifier::nonce_seen(const httplib::Request& req) {
  if (!req.has_header("x-ca-nonce")) return false;
  std::lock_guard lock(nonces_mutex_);
  return nonces_.count(req.get_header_value("x-ca-nonce")) > 0;
}

void GatewayVerifier::remember_nonce(const httplib::Request& req) {
  if (!req.has_header("x-ca-nonce")) return;
  std::lock_guard lock(nonces_mutex_);
  nonces_.insert(req.get_header_value("x-ca-nonce"));
}

bool GatewayVerifier::carries_signature(const httplib::Headers& headers) {
  return std::any_of(headers.begin(), headers.end(), [](const auto& h) {
    return h.first.size() >= 5 && iequals(std::string_view(h.first).substr(0, 5), "x-ca-");
  });
}

std::string GatewayVerifier::string_to_sign(const httplib::Request& req) {
  std::string text = req.method + "\n" + signed_headers_block(req);
  text += raw_path_of(req.target);
  std::string query = canonical_query(raw_query_of(req.target));
  if (!query.empty()) text += "?" + query;
  return text;
}

bool GatewayVerifier::timestamp_fresh(const std::string& millis) const {
  if (millis.empty() || millis.size() > 15) return false;
  std::int64_t ts = 0;
  auto [end, ec] = std::from_chars(millis.data(), millis.data() + millis.size(), ts);
  if (ec != std::errc() || end != millis.data() + millis.size()) return false;
  std::int64_t skew = clock_.now_millis() - ts;
  return skew <= window_millis_ && skew >= -window_millis_;
}

SignatureCheck GatewayVerifier::verify(const httplib::Request& req) const {
  for (const char* name : {"x-ca-key", "x-ca-timestamp", "x-ca-nonce", "x-ca-signature",
                           "x-ca-signature-headers"}) {
    if (!req.has_header(name)) return fail(kInvalid);
  }
  if (req.get_header_value("x-ca-key") != appkey_) return fail(kInvalid);
  if (req.get_header_value("x-ca-signature-headers") != kSignedHeaderList) return fail(kInvalid);
  if (!timestamp_fresh(req.get_header_value("x-ca-timestamp"))) return fail(kStale);
  std::string expected = base64_encode(hmac_sha256(appsecret_, string_to_sign(req)));
  if (!constant_time_equal(expected, req.get_header_value("x-ca-signature"))) return fail(kInvalid);
  return SignatureCheck{true, ""};
}

}  // namespace localstore
