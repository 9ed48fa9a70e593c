#include "transport/gateway_signing.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include "platform/env.h"

namespace corvane {
namespace {

constexpr char kSignedPrefix[] = "x-ca-";

std::string lowerAscii(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

}  // namespace

std::string gatewayTimestamp(int64_t correctionMilliseconds) {
  return std::to_string(Env::current().nowTicks() / 10000 + correctionMilliseconds);
}

std::string makeGatewayNonce() { return Env::current().newUuid(); }

std::string buildSignedHeaderBlock(GatewayHeaderMap& headers) {
  const GatewayHeaderMap walked = headers;
  std::string block;
  std::string names;
  for (const auto& [name, value] : walked) {
    if (name.rfind(kSignedPrefix, 0) != 0) continue;
    block += lowerAscii(name) + ":" + value + "\n";
    if (!names.empty()) names += ",";
    names += name;
  }
  if (!names.empty()) headers["x-ca-signature-headers"] = names;
  return block;
}

std::string extractUrlPath(const std::string& url) {
  size_t slashes = url.find("//");
  if (slashes == std::string::npos) return {};
  size_t start = url.find('/', slashes + 2);
  if (start == std::string::npos) return {};
  size_t end = url.find_first_of("?#", start);
  return url.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

std::string buildSignedPath(const std::string& path, const QueryParameters& parameters) {
  std::string base = path.substr(0, path.find('?'));
  if (parameters.empty()) return base;
  std::string query;
  for (const auto& [name, value] : parameters) {
    query += "&" + name;
    if (!value.empty()) query += "=" + value;
  }
  return base + "?" + query.substr(1);
}

std::string hmacSign(const std::string& key, const std::string& data) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  const unsigned char* done =
      HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
           reinterpret_cast<const unsigned char*>(data.data()), data.size(), digest, &length);
  if (!done) return {};
  return std::string(reinterpret_cast<const char*>(digest), length);
}

std::string base64Encode(const std::string& bytes) {
  std::string encoded(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(encoded.data()),
                               reinterpret_cast<const unsigned char*>(bytes.data()),
                               static_cast<int>(bytes.size()));
  encoded.resize(static_cast<size_t>(length));
  return encoded;
}

std::vector<std::string> signedGatewayHeaderLines(const GatewayCredentials& credentials,
                                                  const std::string& url, const std::string& method,
                                                  const QueryParameters& parameters,
                                                  int64_t correctionMilliseconds) {
  GatewayHeaderMap headers;
  headers["x-ca-key"] = credentials.appkey;
  headers["x-ca-timestamp"] = gatewayTimestamp(correctionMilliseconds);
  headers["x-ca-nonce"] = makeGatewayNonce();
  std::string headerBlock = buildSignedHeaderBlock(headers);
  std::string pathLine = buildSignedPath(extractUrlPath(url), parameters);
  std::string stringToSign = method + "\n" + headerBlock + pathLine;
  headers["x-ca-signature"] = base64Encode(hmacSign(credentials.appsecret, stringToSign));
  headers["x-project-id"] = credentials.projectid;
  headers["x-tenant-id"] = credentials.tenantid;

  std::vector<std::string> lines;
  for (const auto& [name, value] : headers) lines.push_back(name + ":" + value);
  return lines;
}

}  // namespace corvane
