#include "part_signer.h"

#include <charconv>

#include "crypto_util.h"

namespace localstore {

PartSigner::PartSigner(const ServerClock& clock) : key_(random_bytes(32)), clock_(clock) {}

std::string PartSigner::sign(const std::string& task, const std::string& part,
                             const std::string& expires) const {
  return to_hex(hmac_sha256(key_, task + "/" + part + "/" + expires));
}

std::string PartSigner::signed_query(const std::string& task, const std::string& part) const {
  std::string expires = std::to_string(clock_.now_seconds() + kLifetimeSeconds);
  return "expires=" + expires + "&signature=" + sign(task, part, expires);
}

PartUrlCheck PartSigner::check(const std::string& task, const std::string& part,
                               const std::string& expires, const std::string& signature) const {
  if (!constant_time_equal(sign(task, part, expires), signature)) return PartUrlCheck::kBadSignature;
  std::int64_t deadline = 0;
  auto [end, ec] = std::from_chars(expires.data(), expires.data() + expires.size(), deadline);
  if (ec != std::errc() || end != expires.data() + expires.size()) return PartUrlCheck::kBadSignature;
  return clock_.now_seconds() > deadline ? PartUrlCheck::kExpired : PartUrlCheck::kOk;
}

}  // namespace localstore
