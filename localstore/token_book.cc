#include "token_book.h"

#include "crypto_util.h"

namespace localstore {

TokenBook::Issued TokenBook::issue(std::int64_t lifetime_seconds) {
  Issued issued{prefix_ + random_hex(16), clock_.now_seconds() + lifetime_seconds};
  std::lock_guard lock(mutex_);
  expiry_[issued.token] = issued.expires_at;
  return issued;
}

bool TokenBook::is_valid(const std::string& token) const {
  std::lock_guard lock(mutex_);
  auto it = expiry_.find(token);
  return it != expiry_.end() && clock_.now_seconds() < it->second;
}

}  // namespace localstore
