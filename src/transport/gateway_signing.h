#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace corvane {

// Name to value, ordered by byte-wise comparison of the names.
using QueryParameters = std::map<std::string, std::string>;
using GatewayHeaderMap = std::map<std::string, std::string>;

// What a signed gateway request needs from the settings.
struct GatewayCredentials {
  std::string appkey;
  std::string appsecret;
  std::string projectid;
  std::string tenantid;
};

// The seven signed header lines ("name:value", ordered by name) for a request
// with `method` to `url` carrying `parameters` in its query, timestamped with
// the system clock moved by `correctionMilliseconds` (the service's time).
std::vector<std::string> signedGatewayHeaderLines(const GatewayCredentials& credentials,
                                                  const std::string& url, const std::string& method,
                                                  const QueryParameters& parameters,
                                                  int64_t correctionMilliseconds = 0);

// The system clock, moved by `correctionMilliseconds`, in whole milliseconds
// since 1970, in decimal.
std::string gatewayTimestamp(int64_t correctionMilliseconds = 0);
// A fresh UUID as 36 characters.
std::string makeGatewayNonce();
// The "x-ca-" lines of the string-to-sign; records their names in the map's
// "x-ca-signature-headers".
std::string buildSignedHeaderBlock(GatewayHeaderMap& headers);
// The path of a URL, without query or fragment; empty when it has none.
std::string extractUrlPath(const std::string& url);
// The path line of the string-to-sign: the path with the sorted parameters.
std::string buildSignedPath(const std::string& path, const QueryParameters& parameters);
// Raw HMAC-SHA256 digest of `data` under `key`.
std::string hmacSign(const std::string& key, const std::string& data);
// Standard Base64 with "=" padding, on one line.
std::string base64Encode(const std::string& bytes);

}  // namespace corvane
