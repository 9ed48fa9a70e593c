#include "transport/gateway_signing.h"

#include <gtest/gtest.h>

#include "support/fake_env.h"

namespace corvane {
namespace {

using testing::FakeEnv;

TEST(GatewaySigning, WorkedExampleStringToSignAndHeaderLines) {
  FakeEnv env;
  env.ticks = 17'000'000'001'235'678;  // 1700000000123 ms and a fraction
  GatewayCredentials credentials{"key1", "secret1", "p1", "t1"};
  QueryParameters parameters{{"name", "a.txt"}, {"parentId", "p1"}, {"length", "12"}};
  auto lines = signedGatewayHeaderLines(
      credentials, "http://h:80/mdox/data/v1/projects/p1/fileItems?name=a.txt&parentId=p1&length=12",
      "POST", parameters);

  const std::string nonce = "00000000-0000-4000-8000-000000000001";
  const std::string stringToSign =
      "POST\nx-ca-key:key1\nx-ca-nonce:" + nonce +
      "\nx-ca-timestamp:1700000000123\n"
      "/mdox/data/v1/projects/p1/fileItems?length=12&name=a.txt&parentId=p1";
  const std::string signature = base64Encode(hmacSign("secret1", stringToSign));
  std::vector<std::string> expected = {"x-ca-key:key1",
                                       "x-ca-nonce:" + nonce,
                                       "x-ca-signature:" + signature,
                                       "x-ca-signature-headers:x-ca-key,x-ca-nonce,x-ca-timestamp",
                                       "x-ca-timestamp:1700000000123",
                                       "x-project-id:p1",
                                       "x-tenant-id:t1"};
  EXPECT_EQ(lines, expected);
  EXPECT_EQ(signature.size(), 44u);  // 32 digest bytes in Base64
}

TEST(GatewaySigning, HmacSha256AndBase64MatchKnownValues) {
  // RFC 4231 test case 2.
  EXPECT_EQ(base64Encode(hmacSign("Jefe", "what do ya want for nothing?")),
            "W9zBRr9gdU5qBCQmCJV1x1oAPwidJzmDnexYuWTsOEM=");
  EXPECT_EQ(base64Encode(""), "");
  EXPECT_EQ(base64Encode("k:s"), "azpz");
  EXPECT_EQ(base64Encode("ab"), "YWI=");
  EXPECT_EQ(base64Encode(std::string(100, 'x')).find('\n'), std::string::npos);
}

TEST(GatewaySigning, UrlPathEdgeCases) {
  EXPECT_EQ(extractUrlPath("https://host:8443/a/b?x=1#f"), "/a/b");
  EXPECT_EQ(extractUrlPath("https://host/a#frag"), "/a");
  EXPECT_EQ(extractUrlPath("host/a/b"), "");       // no "//"
  EXPECT_EQ(extractUrlPath("https://host"), "");   // no path
  EXPECT_EQ(extractUrlPath("https://host?q=1"), "");
}

TEST(GatewaySigning, SignedPathSortsParametersAndKeepsValuesRaw) {
  EXPECT_EQ(buildSignedPath("/p", {}), "/p");
  EXPECT_EQ(buildSignedPath("/p?x=1", {}), "/p");
  EXPECT_EQ(buildSignedPath("/p", {{"b", "2"}, {"a", ""}, {"C", "a b&c"}}), "/p?C=a b&c&a&b=2");
  EXPECT_EQ(buildSignedPath("", {{"credential", "YQ=="}}), "?credential=YQ==");
}

TEST(GatewaySigning, HeaderBlockWalksOnlyCaHeadersAndRecordsTheirNames) {
  GatewayHeaderMap headers{{"x-ca-Key", "k"}, {"x-ca-nonce", ""}, {"x-other", "o"}, {"X-CA-up", "u"}};
  EXPECT_EQ(buildSignedHeaderBlock(headers), "x-ca-key:k\nx-ca-nonce:\n");
  EXPECT_EQ(headers["x-ca-signature-headers"], "x-ca-Key,x-ca-nonce");
  GatewayHeaderMap none{{"x-other", "o"}};
  EXPECT_EQ(buildSignedHeaderBlock(none), "");
  EXPECT_EQ(none.count("x-ca-signature-headers"), 0u);
}

TEST(GatewaySigning, TwoCallsInOneMillisecondDifferByNonce) {
  FakeEnv env;
  GatewayCredentials credentials{"k", "s", "p", "t"};
  auto first = signedGatewayHeaderLines(credentials, "https://h/x", "POST", {});
  auto second = signedGatewayHeaderLines(credentials, "https://h/x", "POST", {});
  EXPECT_NE(first[1], second[1]);  // nonce
  EXPECT_NE(first[2], second[2]);  // signature
  EXPECT_EQ(first[4], second[4]);  // same timestamp
}

TEST(GatewaySigning, MethodEntersAsSpelled) {
  FakeEnv env;
  GatewayCredentials credentials{"k", "s", "p", "t"};
  auto upper = signedGatewayHeaderLines(credentials, "https://h/x", "POST", {});
  env.uuidCount = 0;
  auto lower = signedGatewayHeaderLines(credentials, "https://h/x", "post", {});
  EXPECT_NE(upper[2], lower[2]);
}

}  // namespace
}  // namespace corvane
