#include "crypto_util.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <stdexcept>

namespace localstore {

std::string hmac_sha256(std::string_view key, std::string_view data) {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int out_len = 0;
  HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
       reinterpret_cast<const unsigned char*>(data.data()), data.size(), out, &out_len);
  return std::string(reinterpret_cast<char*>(out), out_len);
}

std::string to_hex(std::string_view bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (unsigned char c : bytes) {
    out.push_back(digits[c >> 4]);
    out.push_back(digits[c & 0x0f]);
  }
  return out;
}

std::string base64_encode(std::string_view bytes) {
  std::string out(4 * ((bytes.size() + 2) / 3), '\0');
  int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                          reinterpret_cast<const unsigned char*>(bytes.data()),
                          static_cast<int>(bytes.size()));
  out.resize(static_cast<size_t>(n));
  return out;
}

namespace {

bool is_base64_char(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
         c == '+' || c == '/';
}

// Number of trailing '=' if the text is well-formed Base64, else -1.
int padding_of(std::string_view text) {
  if (text.size() % 4 != 0) return -1;
  size_t pad = 0;
  while (pad < 2 && pad < text.size() && text[text.size() - 1 - pad] == '=') ++pad;
  for (size_t i = 0; i < text.size() - pad; ++i) {
    if (!is_base64_char(text[i])) return -1;
  }
  return static_cast<int>(pad);
}

}  // namespace

std::optional<std::string> base64_decode(std::string_view text) {
  int pad = padding_of(text);
  if (pad < 0) return std::nullopt;
  std::string out(text.size() / 4 * 3, '\0');
  int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                          reinterpret_cast<const unsigned char*>(text.data()),
                          static_cast<int>(text.size()));
  if (n < 0) return std::nullopt;
  out.resize(static_cast<size_t>(n - pad));  // DecodeBlock counts padding as zero bytes
  return out;
}

std::string random_bytes(size_t n_bytes) {
  std::string out(n_bytes, '\0');
  if (RAND_bytes(reinterpret_cast<unsigned char*>(out.data()), static_cast<int>(n_bytes)) != 1) {
    throw std::runtime_error("RAND_bytes failed");
  }
  return out;
}

std::string random_hex(size_t n_bytes) { return to_hex(random_bytes(n_bytes)); }

bool constant_time_equal(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  return CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

void Sha256::CtxFree::operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }

Sha256::Sha256() : ctx_(EVP_MD_CTX_new()) {
  if (!ctx_ || EVP_DigestInit_ex(ctx_.get(), EVP_sha256(), nullptr) != 1) {
    throw std::runtime_error("SHA-256 init failed");
  }
}

void Sha256::update(const char* data, size_t n) { EVP_DigestUpdate(ctx_.get(), data, n); }

std::string Sha256::hex_digest() {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  EVP_DigestFinal_ex(ctx_.get(), out, &n);
  return to_hex(std::string_view(reinterpret_cast<char*>(out), n));
}

}  // namespace localstore
