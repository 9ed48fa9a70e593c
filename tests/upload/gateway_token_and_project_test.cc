#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "support/fake_env.h"
#include "support/scripted_transfers.h"
#include "text/local_codepage.h"
#include "upload/corvane_multi_upload.h"
#include "upload/upload_test_util.h"

namespace corvane {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::StartsWith;
using testing::FakeEnv;
using testing::ScriptedRun;
using testing::ScriptedTransfers;
using testing::SeenOptions;
using testing::respondNotingOptions;

constexpr char kDefaultProjectUrl[] =
    "/api/org-permission/v4/orgs/{org-id}/projects?includeExtendData=false";

class AccountRequests : public ::testing::Test {
 protected:
  void SetUp() override {
    setLocalCodepage(LocalCodepage::kGbk);
    uploader.accounturl = "https://acct.test";
    uploader.gatewaytokenurl = "/api/uaa/oauth/token";
    uploader.projecturl = kDefaultProjectUrl;
    uploader.appkey = "key";
    uploader.appsecret = "secret";
    uploader.orgid = "o-9";
  }

  std::string gatewayToken() {
    ::testing::internal::CaptureStdout();
    std::string token = uploader.getGatewayToken();
    printed = ::testing::internal::GetCapturedStdout();
    return token;
  }

  std::string projectId() {
    ::testing::internal::CaptureStdout();
    std::string id = uploader.getProjectId();
    printed = ::testing::internal::GetCapturedStdout();
    return id;
  }

  FakeEnv env;
  ScriptedRun scripted;
  ScriptedTransfers& network = scripted.network;
  CorvaneMultiUpload uploader{scripted.context};
  std::string printed;
};

// ---- Gateway token ---------------------------------------------------------

TEST_F(AccountRequests, GatewayTokenIsAClientCredentialsFormPost) {
  network.thenRespond(R"({"access_token":"gw-1","token_type":"bearer"})");
  EXPECT_EQ(gatewayToken(), "gw-1");
  ASSERT_EQ(network.attempts().size(), 1u);
  const auto& sent = network.attempts()[0];
  EXPECT_EQ(sent.method, "POST");
  EXPECT_EQ(sent.url, "https://acct.test/api/uaa/oauth/token");
  EXPECT_EQ(sent.postFields, "grant_type=client_credentials&client_id=key&client_secret=secret");
  EXPECT_FALSE(sent.hadHeaderList);
  EXPECT_TRUE(sent.headerLines.empty());
}

TEST_F(AccountRequests, GatewayTokenFormEncodesKeyAndSecret) {
  uploader.appkey = "k&y=1";
  uploader.appsecret = "s&c=r+t /%";
  network.thenRespond(R"({"access_token":"gw-1"})");
  gatewayToken();
  ASSERT_EQ(network.attempts().size(), 1u);
  EXPECT_EQ(network.attempts()[0].postFields,
            "grant_type=client_credentials&client_id=k%26y%3D1&client_secret=s%26c%3Dr%2Bt%20%2F%25");
}

TEST_F(AccountRequests, GatewayTokenIsNeverSignedEvenForATenant) {
  uploader.tenantid = "t1";
  uploader.projectid = "p1";
  network.thenRespond(R"({"access_token":"gw-1"})");
  EXPECT_EQ(gatewayToken(), "gw-1");
  ASSERT_EQ(network.attempts().size(), 1u);
  EXPECT_FALSE(network.attempts()[0].hadHeaderList);
}

TEST_F(AccountRequests, GatewayTokenIsRequestedAfreshEachTime) {
  network.thenRespond(R"({"access_token":"gw-1"})");
  network.thenRespond(R"({"access_token":"gw-2"})");
  EXPECT_EQ(gatewayToken(), "gw-1");
  EXPECT_EQ(gatewayToken(), "gw-2");
  EXPECT_EQ(network.attempts().size(), 2u);
  EXPECT_EQ(uploader.accessToken, "");
}

TEST_F(AccountRequests, GatewayTokenResponseIsDumpedUnderItsLabels) {
  network.thenRespond(R"({"access_token":"gw-1"})", "HTTP/1.1 200 OK\r\n\r\n");
  gatewayToken();
  EXPECT_EQ(printed,
            "getGatewayToken CURLOPT_WRITEFUNCTION out:\n{\"access_token\":\"<redacted>\"}\n"
            "getGatewayToken CURLOPT_HEADERFUNCTION out:\nHTTP/1.1 200 OK\r\n\r\n\n");
}

TEST_F(AccountRequests, ErrorStatusWithStringTokenStillYieldsIt) {
  network.thenRespond(R"({"access_token":"gw-err","error":"ignored"})",
                      "HTTP/1.1 401 Unauthorized\r\n\r\n");
  EXPECT_EQ(gatewayToken(), "gw-err");
}

TEST_F(AccountRequests, EmptyGatewayTokenPathLeavesTheAccountUrl) {
  uploader.gatewaytokenurl = "";
  network.thenRespond(R"({"access_token":"gw-1"})");
  gatewayToken();
  ASSERT_EQ(network.attempts().size(), 1u);
  EXPECT_EQ(network.attempts()[0].url, "https://acct.test");
}

class GatewayTokenShape : public AccountRequests,
                          public ::testing::WithParamInterface<const char*> {};

TEST_P(GatewayTokenShape, GivesEmptyAndRecordsNothing) {
  uploader.errorMessage = "earlier";
  network.thenRespond(GetParam());
  EXPECT_EQ(gatewayToken(), "");
  EXPECT_EQ(uploader.errorMessage, "earlier");
  EXPECT_THAT(printed, StartsWith("getGatewayToken CURLOPT_WRITEFUNCTION out:\n"));
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, GatewayTokenShape,
    ::testing::Values(R"([{"access_token":"gw-1"}])", R"({"access_token":12345})",
                      R"({"access_token":null})", R"({"token":"gw-1"})", "<html>oops</html>",
                      R"({"code":401,"message":"denied"})"));

TEST_F(AccountRequests, AGatewayTokenIsTakenWhateverElseTheCodePageLacks) {
  setLocalCodepage(LocalCodepage::kGbk);
  network.thenRespond("{\"access_token\":\"gw-1\",\"name\":\"\xF0\x9F\x98\x80\"}");
  EXPECT_EQ(gatewayToken(), "gw-1");
  setLocalCodepage(platformCodepage());
}

TEST_F(AccountRequests, GatewayTokenTransferFailureGivesEmptyAndPrintsNothing) {
  EXPECT_EQ(gatewayToken(), "");
  EXPECT_EQ(network.attempts().size(), 33u);
  EXPECT_EQ(printed, "");
  EXPECT_EQ(env.sleeps.size(), 31u);
}

// ---- Project lookup ---------------------------------------------------------

TEST_F(AccountRequests, ConfiguredProjectIsReturnedWithoutRequest) {
  uploader.projectid = "0";
  EXPECT_EQ(projectId(), "0");
  EXPECT_TRUE(network.attempts().empty());
  EXPECT_EQ(printed, "");
}

class ProjectPrerequisite : public AccountRequests,
                            public ::testing::WithParamInterface<std::string CorvaneMultiUpload::*> {};

TEST_P(ProjectPrerequisite, MissingSettingSendsNothing) {
  uploader.*GetParam() = "";
  EXPECT_EQ(projectId(), "");
  EXPECT_TRUE(network.attempts().empty());
  EXPECT_EQ(uploader.errorMessage, "");
}

INSTANTIATE_TEST_SUITE_P(EachSetting, ProjectPrerequisite,
                         ::testing::Values(&CorvaneMultiUpload::orgid,
                                           &CorvaneMultiUpload::accounturl,
                                           &CorvaneMultiUpload::gatewaytokenurl,
                                           &CorvaneMultiUpload::projecturl));

TEST_F(AccountRequests, LookupGetsTheGatewayTokenThenTheProjectList) {
  network.thenRespond(R"({"access_token":"gw-1"})");
  network.thenRespond(R"({"project":{"id":123,"name":"p"}})");
  EXPECT_EQ(projectId(), "123");
  ASSERT_EQ(network.attempts().size(), 2u);
  EXPECT_EQ(network.attempts()[0].url, "https://acct.test/api/uaa/oauth/token");
  const auto& lookup = network.attempts()[1];
  EXPECT_EQ(lookup.method, "GET");
  EXPECT_EQ(lookup.url,
            "https://acct.test/api/org-permission/v4/orgs/o-9/projects?includeExtendData=false");
  EXPECT_THAT(lookup.headerLines,
              ElementsAre("Authorization:bearer gw-1", "Content-Type: application/json"));
  EXPECT_EQ(lookup.postFields, "");
  EXPECT_EQ(uploader.projectid, "");  // the caller stores the result
}

// The storage-token request shows end to end what the 20 seconds do.
TEST_F(AccountRequests, LookupHasATwentySecondLimitAndDefaultsToHttps) {
  std::vector<SeenOptions> seen;
  network.thenRespond(R"({"access_token":"gw-1"})");
  network.then(respondNotingOptions(network, seen, R"({"project":{"id":1}})"));
  EXPECT_EQ(projectId(), "1");
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].timeoutSeconds, 20);
  EXPECT_TRUE(seen[0].defaultHttps);
  EXPECT_TRUE(seen[0].capturesBody);
  EXPECT_TRUE(seen[0].capturesHeaders);
}

TEST_F(AccountRequests, LookupResponseIsDumpedUnderItsLabels) {
  network.thenRespond(R"({"access_token":"gw-1"})");
  network.thenRespond(R"({"project":{"id":123}})", "HTTP/1.1 200 OK\r\n\r\n");
  projectId();
  EXPECT_THAT(printed, HasSubstr("getProjectId CURLOPT_WRITEFUNCTION out:\n"
                                 "{\"project\":{\"id\":123}}\n"
                                 "getProjectId CURLOPT_HEADERFUNCTION out:\n"
                                 "HTTP/1.1 200 OK\r\n\r\n\n"));
}

TEST_F(AccountRequests, EmptyGatewayTokenStillSendsTheBearerPrefix) {
  network.thenRespond(R"({"error":"invalid_client"})");
  network.thenRespond(R"({"project":{"id":5}})");
  EXPECT_EQ(projectId(), "5");
  ASSERT_EQ(network.attempts().size(), 2u);
  ASSERT_FALSE(network.attempts()[1].headerLines.empty());
  EXPECT_EQ(network.attempts()[1].headerLines[0], "Authorization:bearer ");
}

TEST_F(AccountRequests, TenantLookupIsSigned) {
  uploader.tenantid = "t1";
  network.thenRespond(R"({"access_token":"gw-1"})");
  network.thenRespond(R"({"project":{"id":5}})");
  EXPECT_EQ(projectId(), "5");
  ASSERT_EQ(network.attempts().size(), 2u);
  const auto& headers = network.attempts()[1].headerLines;
  ASSERT_EQ(headers.size(), 9u);
  EXPECT_EQ(headers[0], "Authorization:bearer gw-1");
  EXPECT_EQ(headers[1], "Content-Type: application/json");
  EXPECT_EQ(headers[2], "x-ca-key:key");
  EXPECT_THAT(headers[3], StartsWith("x-ca-nonce:"));
  EXPECT_THAT(headers[4], StartsWith("x-ca-signature:"));
  EXPECT_EQ(headers[5], "x-ca-signature-headers:x-ca-key,x-ca-nonce,x-ca-timestamp");
  EXPECT_THAT(headers[6], StartsWith("x-ca-timestamp:"));
  EXPECT_EQ(headers[7], "x-project-id:");
  EXPECT_EQ(headers[8], "x-tenant-id:t1");
}

TEST_F(AccountRequests, OrgidHoldingThePlaceholderIsInsertedOnce) {
  uploader.orgid = "{org-id}";
  network.thenRespond(R"({"access_token":"gw-1"})");
  network.thenRespond(R"({"project":{"id":5}})");
  EXPECT_EQ(projectId(), "5");
  ASSERT_EQ(network.attempts().size(), 2u);
  EXPECT_EQ(network.attempts()[1].url,
            "https://acct.test/api/org-permission/v4/orgs/{org-id}/projects?includeExtendData=false");
}

TEST_F(AccountRequests, PlaceholderTwiceInProjectUrlIsFilledTwice) {
  uploader.projecturl = "/orgs/{org-id}/x/{org-id}";
  network.thenRespond(R"({"access_token":"gw-1"})");
  network.thenRespond(R"({"project":{"id":5}})");
  projectId();
  ASSERT_EQ(network.attempts().size(), 2u);
  EXPECT_EQ(network.attempts()[1].url, "https://acct.test/orgs/o-9/x/o-9");
}

TEST_F(AccountRequests, ProjectUrlWithoutPlaceholderIsUsedUnchanged) {
  uploader.projecturl = "/projects/all";
  network.thenRespond(R"({"access_token":"gw-1"})");
  network.thenRespond(R"({"project":{"id":5}})");
  EXPECT_EQ(projectId(), "5");
  ASSERT_EQ(network.attempts().size(), 2u);
  EXPECT_EQ(network.attempts()[1].url, "https://acct.test/projects/all");
}

TEST_F(AccountRequests, LookupTransferFailureGivesEmpty) {
  network.thenRespond(R"({"access_token":"gw-1"})");
  EXPECT_EQ(projectId(), "");
  EXPECT_EQ(network.attempts().size(), 34u);
  EXPECT_EQ(printed.find("getProjectId"), std::string::npos);
}

struct IdCase {
  const char* body;
  const char* expected;
};
void PrintTo(const IdCase& c, std::ostream* os) { *os << c.body; }

class ProjectIdJudging : public AccountRequests, public ::testing::WithParamInterface<IdCase> {};

TEST_P(ProjectIdJudging, IdMustBeAnUnsignedInteger) {
  network.thenRespond(R"({"access_token":"gw-1"})");
  network.thenRespond(GetParam().body);
  EXPECT_EQ(projectId(), GetParam().expected);
  EXPECT_EQ(uploader.errorMessage, "");
}

INSTANTIATE_TEST_SUITE_P(
    Forms, ProjectIdJudging,
    ::testing::Values(IdCase{R"({"project":{"id":123}})", "123"},
                      IdCase{R"({"project":{"id":"123"}})", ""},
                      IdCase{R"({"project":{"id":-1}})", ""},
                      IdCase{R"({"project":{"id":12.0}})", ""},
                      IdCase{R"({"project":{"id":0}})", "0"},
                      IdCase{R"({"project":{"id":4294967296}})", "4294967296"},
                      IdCase{R"({"project":{"id":18446744073709551615}})", "18446744073709551615"},
                      IdCase{R"({"project":{"id":18446744073709551616}})", ""},
                      IdCase{R"({"project":{"id":1e3}})", ""},
                      IdCase{R"({"project":{"name":"x"}})", ""},
                      IdCase{R"({"project":[{"id":1}]})", ""},
                      IdCase{R"({"project":"1"})", ""},
                      IdCase{R"({"id":1})", ""},
                      IdCase{R"([{"project":{"id":1}}])", ""},
                      IdCase{"{\"project\":{\"id\":7,\"name\":\"\xF0\x9F\x98\x80\"}}", "7"},
                      IdCase{"<html></html>", ""}));

}  // namespace
}  // namespace corvane
