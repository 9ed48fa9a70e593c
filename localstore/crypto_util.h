// Hashing, MAC, Base64 and randomness on top of OpenSSL libcrypto.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

typedef struct evp_md_ctx_st EVP_MD_CTX;

namespace localstore {

// Raw 32-byte HMAC-SHA256 of `data` under `key`.
std::string hmac_sha256(std::string_view key, std::string_view data);

std::string to_hex(std::string_view bytes);

// Standard alphabet, padded, no line breaks.
std::string base64_encode(std::string_view bytes);

// Strict decoder: rejects characters outside the alphabet and bad padding.
std::optional<std::string> base64_decode(std::string_view text);

// `n_bytes` bytes from the OpenSSL CSPRNG, as lower-case hex.
std::string random_hex(size_t n_bytes);
std::string random_bytes(size_t n_bytes);

bool constant_time_equal(std::string_view a, std::string_view b);

// Incremental SHA-256, fed while bytes stream through.
class Sha256 {
 public:
  Sha256();
  void update(const char* data, size_t n);
  std::string hex_digest();  // finishes the hash; call once

 private:
  struct CtxFree { void operator()(EVP_MD_CTX* ctx) const; };
  std::unique_ptr<EVP_MD_CTX, CtxFree> ctx_;
};

}  // namespace localstore
