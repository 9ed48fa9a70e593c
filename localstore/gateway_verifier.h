// Checks the gateway's request signature (x-ca-* headers): HMAC-SHA256 under
// the app secret over method, the signed headers, the path and the sorted,
// decoded query parameters.
#pragma once

#include <httplib.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_set>

#include "server_clock.h"

namespace localstore {

struct SignatureCheck {
  bool ok = false;
  std::string message;  // why it failed
};

class GatewayVerifier {
 public:
  GatewayVerifier(std::string appkey, std::string appsecret, const ServerClock& clock,
                  std::int64_t window_seconds);

  // True when any header name starts with "x-ca-" (any case).
  static bool carries_signature(const httplib::Headers& headers);

  SignatureCheck verify(const httplib::Request& req) const;

  // Whether the request's gateway nonce was seen before (a replay); a
  // request without one is none.
  bool nonce_seen(const httplib::Request& req);
  // Notes the request's gateway nonce as seen, as a gateway does against
  // replay.
  void remember_nonce(const httplib::Request& req);

  // The exact text that is signed, built from the request as received.
  static std::string string_to_sign(const httplib::Request& req);

 private:
  bool timestamp_fresh(const std::string& millis) const;

  std::string appkey_;
  std::string appsecret_;
  const ServerClock& clock_;
  std::int64_t window_millis_;
  std::mutex nonces_mutex_;
  std::unordered_set<std::string> nonces_;
};

}  // namespace localstore
