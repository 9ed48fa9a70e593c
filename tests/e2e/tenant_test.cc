#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <set>
#include <string>

#include "e2e_harness.h"

namespace corvane::e2e {
namespace {

using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

constexpr uint64_t kPart = 1048576;
// The project the stand-in's lookup answers, distinct from the configuration
// default (4242) so that a URL or body still carrying that one shows up.
const std::string kLookedUp = "9876";
const std::map<std::string, std::string> kTenantConfig = {
    {"projectid", "null"}, {"tenantid", "t-1"}, {"orgid", "org-7"}};

std::map<std::string, std::string> tenantConfig(std::map<std::string, std::string> more = {}) {
  more.insert(kTenantConfig.begin(), kTenantConfig.end());
  return more;
}

// The form body with key and secret percent-encoded, so that the secret's
// "&", "=", "+" and "/" reach the gateway as they are.
const std::string kGatewayForm =
    "grant_type=client_credentials&client_id=app-key-1&client_secret=s3cr%26t%3D%2B%2Fkey";

class Tenant : public ::testing::Test {
 protected:
  // Signed requests carry the key, the fixed list of signed names, a nonce
  // never used before in the run and the tenant; the project header is the
  // looked-up id once there is one. The stand-in refused any signature that
  // did not verify, so a 200 proves the signature itself.
  void expectSigned(const rapidjson::Value& request, const std::string& projectHeader) {
    SCOPED_TRACE(stringAt(request, "kind"));
    EXPECT_EQ(request["status"].GetInt(), 200) << stringAt(request, "path");
    EXPECT_EQ(headerOf(request, "x-ca-key"), LocalStore::kAppKey);
    EXPECT_EQ(headerOf(request, "x-ca-signature-headers"), "x-ca-key,x-ca-nonce,x-ca-timestamp");
    EXPECT_FALSE(headerOf(request, "x-ca-signature").empty());
    EXPECT_EQ(headerOf(request, "x-ca-timestamp").size(), 13u);
    const std::string nonce = headerOf(request, "x-ca-nonce");
    EXPECT_EQ(nonce.size(), 36u);
    EXPECT_TRUE(nonces.insert(nonce).second) << "nonce used twice: " << nonce;
    EXPECT_EQ(headerOf(request, "x-tenant-id"), "t-1");
    EXPECT_EQ(headerOf(request, "x-project-id"), projectHeader);
  }

  // The gateway token request: the encoded form, nothing signed, no authorization.
  void expectGatewayToken(const rapidjson::Value& request) {
    EXPECT_EQ(stringAt(request, "kind"), "gateway-token");
    EXPECT_EQ(request["status"].GetInt(), 200);
    EXPECT_EQ(stringAt(request, "body"), kGatewayForm);
    EXPECT_FALSE(hasHeaderWithPrefix(request, "x-ca-"));
    EXPECT_FALSE(hasHeaderWithPrefix(request, "x-project-id"));
    EXPECT_EQ(headerOf(request, "authorization"), "");
  }

  // The lookup: the organisation in the path, the gateway token as bearer,
  // signed, and no project header yet (there is no project id to send).
  void expectProjectLookup(const rapidjson::Value& request) {
    EXPECT_EQ(stringAt(request, "kind"), "project-list");
    EXPECT_EQ(stringAt(request, "path"), "/api/org-permission/v4/orgs/org-7/projects");
    EXPECT_EQ(stringAt(request, "query"), "includeExtendData=false");
    EXPECT_THAT(headerOf(request, "authorization"), StartsWith("bearer gw-"));
    expectSigned(request, "");
  }

  // The storage token: the Basic credential, repeated in the query for a tenant.
  void expectStorageToken(const rapidjson::Value& request) {
    EXPECT_EQ(stringAt(request, "kind"), "storage-token");
    EXPECT_EQ(headerOf(request, "authorization"), "Basic " + credential);
    EXPECT_THAT(stringAt(request, "query"), StartsWith("credential="));
    expectSigned(request, kLookedUp);
  }

  // Beyond the harness's check: the credential parameter and the form's
  // secret field never show up either.
  void expectNoCredentials(const RunResult& run) {
    expectNoSecrets(run);
    for (const char* forbidden : {"credential=", "client_secret"}) {
      EXPECT_THAT(run.err, Not(HasSubstr(forbidden)));
      EXPECT_THAT(run.logs, Not(HasSubstr(forbidden)));
    }
  }

  TempDir dir;
  LocalStore store{{"--require-signature", "--org-id", "org-7", "--project-id", kLookedUp}};
  const std::string credential =
      base64Of(std::string(LocalStore::kAppKey) + ":" + LocalStore::kAppSecret);
  std::set<std::string> nonces;
};

TEST_F(Tenant, LooksTheProjectUpThenUploadsDirectlyWithEveryRequestVerified) {
  // Blanks, "&", "=" and "+" in the name travel percent-encoded in the URL and
  // are signed as they stand.
  const std::string name = "a b&c=d+e.txt";
  const std::string content = patternBytes(1000, 3);
  UploadRun upload = uploadContent(dir, store, content, tenantConfig({{"targetname", name}}));
  EXPECT_EQ(upload.run.exitStatus, 0) << upload.run.err;
  const std::string id = upload.fileItemId();
  ASSERT_FALSE(id.empty()) << upload.result << "\n" << upload.run.err;
  EXPECT_EQ(upload.result, R"({"code":"success","message":"","data":{"fileitemid":")" + id +
                               R"(","fileitemname":")" + name + R"("}})");
  EXPECT_EQ(sha256Hex(store.storedBytes(id)), sha256Hex(content));

  rapidjson::Document requests = store.requests();
  ASSERT_THAT(kindsOf(requests), ElementsAreArray({"gateway-token", "project-list",
                                                   "storage-token", "direct-upload"}));
  expectGatewayToken(requests[0]);
  expectProjectLookup(requests[1]);
  expectStorageToken(requests[2]);
  EXPECT_EQ(stringAt(requests[3], "path"), "/mdox/data/v1/projects/" + kLookedUp + "/fileItems");
  EXPECT_THAT(stringAt(requests[3], "query"), HasSubstr("parentId=" + kLookedUp));
  EXPECT_EQ(requests[3]["bodyBytes"].GetUint64(), content.size());
  EXPECT_THAT(headerOf(requests[3], "authorization"), StartsWith("Bearer st-"));
  expectSigned(requests[3], kLookedUp);

  rapidjson::Document items;
  items.Parse(store.get("/_control/items").c_str());
  ASSERT_TRUE(items.IsArray() && items.Size() == 1) << store.get("/_control/items");
  EXPECT_EQ(stringAt(items[0], "name"), name);
  EXPECT_EQ(stringAt(items[0], "parentId"), kLookedUp);
  expectNoCredentials(upload.run);
}

TEST_F(Tenant, AMultipartUploadUsesTheLookedUpProjectAndSignsAllButThePuts) {
  const uint64_t size = kPart * 5 / 2;
  const std::string content = patternBytes(size, 4);
  UploadRun upload = uploadContent(dir, store, content, kTenantConfig);
  EXPECT_EQ(upload.run.exitStatus, 0) << upload.run.err;
  const std::string id = upload.fileItemId();
  ASSERT_FALSE(id.empty()) << upload.result << "\n" << upload.run.err;
  EXPECT_EQ(sha256Hex(store.storedBytes(id)), sha256Hex(content));

  rapidjson::Document requests = store.requests();
  ASSERT_THAT(kindsOf(requests),
              ElementsAreArray({"gateway-token", "project-list", "storage-token", "create-task",
                                "part-url", "part-put", "part-url", "part-put", "part-url",
                                "part-put", "merge"}));
  expectGatewayToken(requests[0]);
  expectProjectLookup(requests[1]);
  expectStorageToken(requests[2]);

  const std::string tasks = "/mdox/v1/data/projects/" + kLookedUp + "/file-items/multi-part-files";
  const auto& create = requests[3];
  EXPECT_EQ(stringAt(create, "path"), tasks);
  EXPECT_EQ(stringAt(create, "body"),
            R"({"name":"sample.bin","parentId":")" + kLookedUp +
                R"(","parentPath":"/test/","length":)" + std::to_string(size) + "}");
  expectSigned(create, kLookedUp);
  for (rapidjson::SizeType part = 1; part <= 3; ++part) {
    SCOPED_TRACE(part);
    const auto& url = requests[2 + 2 * part];
    const auto& put = requests[3 + 2 * part];
    EXPECT_EQ(stringAt(url, "path"), tasks + "/signed-url");
    EXPECT_THAT(stringAt(url, "body"), HasSubstr(R"(,"partNum":)" + std::to_string(part) + "}"));
    expectSigned(url, kLookedUp);
    EXPECT_EQ(put["status"].GetInt(), 200);
    EXPECT_EQ(put["bodyBytes"].GetUint64(), part < 3 ? kPart : kPart / 2);
    EXPECT_FALSE(hasHeaderWithPrefix(put, "x-ca-"));
    EXPECT_FALSE(hasHeaderWithPrefix(put, "x-project-id"));
    EXPECT_FALSE(hasHeaderWithPrefix(put, "x-tenant-id"));
    EXPECT_EQ(headerOf(put, "authorization"), "");
  }
  const auto& merge = requests[10];
  EXPECT_EQ(stringAt(merge, "path"), tasks + "/merge");
  EXPECT_THAT(stringAt(merge, "body"), HasSubstr(R"(","parentId":")" + kLookedUp + R"("})"));
  expectSigned(merge, kLookedUp);
  EXPECT_EQ(store.count("abort"), 0);
  expectNoCredentials(upload.run);
}

TEST_F(Tenant, AWrongSecretIsRefusedByTheGatewaySoLoadingFails) {
  UploadRun upload = uploadContent(dir, store, "hello", tenantConfig({{"appsecret", "wrong"}}));
  EXPECT_EQ(upload.run.exitStatus, 255);
  EXPECT_FALSE(std::filesystem::exists(dir.file("result.json")));
  rapidjson::Document requests = store.requests();
  ASSERT_THAT(kindsOf(requests), ElementsAreArray({"gateway-token", "project-list"}));
  EXPECT_EQ(requests[0]["status"].GetInt(), 401);
  // No token to present, and a signature under the wrong secret: refused.
  EXPECT_EQ(headerOf(requests[1], "authorization"), "bearer");
  EXPECT_EQ(requests[1]["status"].GetInt(), 401);
  EXPECT_EQ(store.get("/_control/items"), "[]");
  EXPECT_THAT(upload.run.logs, Not(HasSubstr("load config success")));
}

}  // namespace
}  // namespace corvane::e2e
