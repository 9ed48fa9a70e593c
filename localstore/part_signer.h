// Signs and checks the pre-signed part URLs: hex HMAC-SHA256 of
// "<task>/<part>/<expires>" under a key generated at start-up.
#pragma once

#include <cstdint>
#include <string>

#include "server_clock.h"

namespace localstore {

enum class PartUrlCheck { kOk, kExpired, kBadSignature };

class PartSigner {
 public:
  explicit PartSigner(const ServerClock& clock);

  static constexpr std::int64_t kLifetimeSeconds = 600;

  // Query string "expires=..&signature=.." for a URL valid from now on.
  std::string signed_query(const std::string& task, const std::string& part) const;

  PartUrlCheck check(const std::string& task, const std::string& part,
                     const std::string& expires, const std::string& signature) const;

 private:
  std::string sign(const std::string& task, const std::string& part,
                   const std::string& expires) const;

  std::string key_;
  const ServerClock& clock_;
};

}  // namespace localstore
