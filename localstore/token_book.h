// Issued access tokens with their expiry, one book per token family
// ("gw-" gateway tokens, "st-" storage tokens).
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>

#include "server_clock.h"

namespace localstore {

class TokenBook {
 public:
  TokenBook(std::string prefix, const ServerClock& clock) : prefix_(std::move(prefix)), clock_(clock) {}

  struct Issued {
    std::string token;
    std::int64_t expires_at = 0;  // unix seconds
  };
  Issued issue(std::int64_t lifetime_seconds);

  // Known and not yet expired.
  bool is_valid(const std::string& token) const;

 private:
  std::string prefix_;
  const ServerClock& clock_;
  mutable std::mutex mutex_;
  std::unordered_map<std::string, std::int64_t> expiry_;
};

}  // namespace localstore
