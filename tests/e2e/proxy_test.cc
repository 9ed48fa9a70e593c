// The uploader behind a real proxy on loopback (Debian's squid): the
// configuration's key, the environment variables, no_proxy and "direct",
// credentials (Basic and Digest) and a wrong password, and HTTPS through a
// CONNECT tunnel with the certificate still checked against the real host.
// Every upload is checked at both ends: the bytes the stand-in stored, and
// the proxy's own access log, which names each request it carried and as
// whom.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "e2e_harness.h"
#include "fault_rules.h"
#include "squid_proxy.h"
#include "support/tls_test_server.h"
#include "tls_front.h"
#include "windows_trust.h"

namespace corvane::e2e {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
using testing::TestCertificate;
using testing::TlsServer;

// Three parts of 1 MiB and a half: a task, three part URLs and PUTs, a merge.
const std::string kContent = patternBytes(5 * 512 * 1024 + 77, 11);

class BehindAProxy : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SquidProxy::installed())
        << SquidProxy::kProgram << " is missing: scripts/install-deps installs squid";
  }

  // An upload of kContent with the configuration's `overrides` and
  // `environment` added to the uploader's.
  UploadRun upload(const std::map<std::string, std::string>& overrides,
                   const std::vector<std::string>& environment = {},
                   const std::string& stopWhenErrHas = "") {
    writeFile(dir.file("input.bin"), kContent);
    RunOptions options;
    options.environment = environment;
    options.stopWhenErrHas = stopWhenErrHas;
    UploadRun run;
    run.run = runUploaderWith(
        dir, {"-cfg", writeConfig(dir, store, dir.file("input.bin"), overrides)}, options);
    run.result = readFile(dir.file("result.json"));
    run.resultJson.Parse(run.result.c_str());
    return run;
  }

  // The upload arrived whole.
  void expectStored(const UploadRun& run) {
    ASSERT_EQ(run.run.exitStatus, 0) << run.run.err;
    ASSERT_FALSE(run.fileItemId().empty()) << run.result << run.run.err;
    EXPECT_EQ(store.storedBytes(run.fileItemId()), kContent);
  }

  // The stand-in's requests, each as the proxy logs it: "POST http://...".
  std::vector<std::string> standInRequests() {
    std::vector<std::string> seen;
    rapidjson::Document requests = store.requests();
    for (const auto& request : requests.GetArray()) {
      seen.push_back(stringAt(request, "method") + " " + store.baseUrl() +
                     stringAt(request, "path"));
    }
    return seen;
  }

  // Every request the stand-in received came through `proxy` as `user`.
  void expectAllThrough(const SquidProxy& proxy, const std::string& user) {
    std::vector<std::string> requests = standInRequests();
    ASSERT_FALSE(requests.empty());
    std::vector<std::string> carried =
        proxy.accessLinesWith(" " + user + " HIER_DIRECT/", requests.size());
    EXPECT_EQ(carried.size(), requests.size()) << proxy.accessLog();
    for (const std::string& request : requests) {
      const std::string method = request.substr(0, request.find(' '));
      const std::string path = request.substr(request.find(' ') + 1);
      const std::string logged = " " + method + " " + path.substr(0, path.find('?'));
      EXPECT_THAT(proxy.accessLog(), HasSubstr(logged)) << request;
    }
  }

  void expectOneRouteLine(const RunResult& run, const std::string& route) {
    EXPECT_THAT(logMessagesWith(run.err, "proxy for "),
                ElementsAre("proxy for 127.0.0.1: " + route));
  }

  void expectNoProxySecret(const RunResult& run) {
    expectNoSecrets(run);
    EXPECT_THAT(run.err, Not(HasSubstr(SquidProxy::kPassword)));
    EXPECT_THAT(run.logs, Not(HasSubstr(SquidProxy::kPassword)));
    EXPECT_THAT(run.out, Not(HasSubstr(SquidProxy::kPassword)));
  }

  LocalStore store;
  TempDir dir;
};

TEST_F(BehindAProxy, TheConfiguredProxyCarriesEveryRequestAndTheBytesArrive) {
  SquidProxy proxy;
  ASSERT_TRUE(proxy.running()) << proxy.cacheLog();
  UploadRun run = upload({{"proxy", proxy.urlWithCredentials()}});
  expectStored(run);
  expectAllThrough(proxy, SquidProxy::kUser);
  expectOneRouteLine(run.run, proxy.url() + " (configuration)");
  expectNoProxySecret(run.run);
  // Nothing was sent as anyone else: the credentials went with every request.
  EXPECT_THAT(proxy.accessLinesWith("TCP_MISS/200 ", 1), Not(IsEmpty()));
  for (const std::string& line : proxy.accessLinesWith("TCP_MISS/")) {
    EXPECT_THAT(line, HasSubstr(" alice ")) << line;
  }
}

TEST_F(BehindAProxy, TheEnvironmentsProxyIsUsedAsLibcurlUsesIt) {
  SquidProxy proxy;
  ASSERT_TRUE(proxy.running()) << proxy.cacheLog();
  UploadRun run = upload({}, {"http_proxy=" + proxy.urlWithCredentials()});
  expectStored(run);
  expectAllThrough(proxy, SquidProxy::kUser);
  expectOneRouteLine(run.run, proxy.url() + " (environment)");
  expectNoProxySecret(run.run);
}

TEST_F(BehindAProxy, AllProxyServesWhenTheSchemeHasNoVariableOfItsOwn) {
  SquidProxy proxy;
  ASSERT_TRUE(proxy.running()) << proxy.cacheLog();
  UploadRun run =
      upload({}, {"https_proxy=http://127.0.0.1:9", "ALL_PROXY=" + proxy.urlWithCredentials()});
  expectStored(run);
  expectAllThrough(proxy, SquidProxy::kUser);
  expectOneRouteLine(run.run, proxy.url() + " (environment)");
}

TEST_F(BehindAProxy, UpperCaseHttpProxyIsNotRead) {
  SKIP_FOR_WINDOWS_UPLOADER(
      "Windows matches environment variable names regardless of case: HTTP_PROXY is http_proxy");
  SquidProxy proxy;
  ASSERT_TRUE(proxy.running()) << proxy.cacheLog();
  UploadRun run = upload({}, {"HTTP_PROXY=" + proxy.urlWithCredentials()});
  expectStored(run);
  expectOneRouteLine(run.run, "direct (none configured)");
  EXPECT_EQ(proxy.accessLog(), "");
}

TEST_F(BehindAProxy, NoProxySendsTheStandInDirect) {
  SquidProxy proxy;
  ASSERT_TRUE(proxy.running()) << proxy.cacheLog();
  UploadRun run =
      upload({}, {"http_proxy=" + proxy.urlWithCredentials(), "no_proxy=localhost,127.0.0.0/8"});
  expectStored(run);
  expectOneRouteLine(run.run, "direct (no_proxy)");
  EXPECT_EQ(proxy.accessLog(), "");
}

TEST_F(BehindAProxy, DirectInTheConfigurationIgnoresTheEnvironment) {
  SquidProxy proxy;
  ASSERT_TRUE(proxy.running()) << proxy.cacheLog();
  UploadRun run = upload({{"proxy", "direct"}},
                         {"http_proxy=" + proxy.urlWithCredentials(), "ALL_PROXY=" + proxy.url()});
  expectStored(run);
  expectOneRouteLine(run.run, "direct (configuration)");
  EXPECT_EQ(proxy.accessLog(), "");
}

TEST_F(BehindAProxy, TheConfiguredProxyWinsOverTheEnvironmentsNoProxy) {
  SquidProxy proxy;
  ASSERT_TRUE(proxy.running()) << proxy.cacheLog();
  UploadRun run = upload({{"proxy", proxy.urlWithCredentials()}}, {"no_proxy=127.0.0.1"});
  expectStored(run);
  expectAllThrough(proxy, SquidProxy::kUser);
}

TEST_F(BehindAProxy, AWrongPasswordFailsWithProxyAuthenticationRequired) {
  SquidProxy proxy;
  ASSERT_TRUE(proxy.running()) << proxy.cacheLog();
  const std::string wrong = "not-the-Pa55word";
  UploadRun run =
      upload({{"proxy", proxy.urlWith(SquidProxy::kUser, wrong)}}, {}, " attempt 1 failed: ");
  EXPECT_TRUE(run.run.stopped) << run.run.err;
  EXPECT_THAT(
      logMessagesWith(run.run.err, " attempt 1 failed: "),
      ElementsAre(store.baseUrl() +
                  "/oauth2/token attempt 1 failed: proxy authentication required (curl error 22)"));
  // The proxy refused the credentials; nothing reached the stand-in.
  EXPECT_THAT(proxy.accessLinesWith("TCP_DENIED/407 "), Not(IsEmpty()));
  EXPECT_THAT(standInRequests(), IsEmpty());
  expectNoProxySecret(run.run);
  EXPECT_THAT(run.run.err, Not(HasSubstr(wrong)));
  EXPECT_THAT(run.run.logs, Not(HasSubstr(wrong)));
}

// A page with 401 instead of the token service's answer (as a proxy that
// refuses a password with 401 gives one): its cause names the status and
// the proxy it came through, never "the answer held no token".
TEST_F(BehindAProxy, APageInsteadOfTheTokenNamesItsStatusAndTheProxy) {
  SquidProxy proxy;
  ASSERT_TRUE(proxy.running()) << proxy.cacheLog();
  store.post("/_control/faults",
             rulesJson({Rule("storage-token", "status")
                            .nth(1)
                            .status(401)
                            .body("<html><body>401 Unauthorized</body></html>")
                            .contentType("text/html")}));
  UploadRun run = upload({{"proxy", proxy.urlWithCredentials()}});
  EXPECT_THAT(run.result, HasSubstr(R"("code":"failed")"));
  const std::string cause = "HTTP 401 from the service, not JSON via proxy " + proxy.hostPort();
  EXPECT_THAT(run.run.err, HasSubstr("no storage token: " + cause + "\n"));
  EXPECT_THAT(run.run.err, HasSubstr("/oauth2/token answer: " + cause + "\n"));
  EXPECT_THAT(run.run.err, Not(HasSubstr("held no token")));
  expectNoProxySecret(run.run);
}

TEST_F(BehindAProxy, NoCredentialsForAProxyThatAsksFailsTheSameWay) {
  SKIP_FOR_WINDOWS_UPLOADER(
      "the Windows build answers with the logged-on user's NTLM or Negotiate credentials, which "
      "this Basic-only proxy does not take either: the cause is the same, the exchange is not");
  SquidProxy proxy;
  ASSERT_TRUE(proxy.running()) << proxy.cacheLog();
  UploadRun run = upload({{"proxy", proxy.url()}}, {}, " attempt 1 failed: ");
  EXPECT_THAT(logMessagesWith(run.run.err, " attempt 1 failed: "),
              ElementsAre(HasSubstr(" attempt 1 failed: proxy authentication required")));
  EXPECT_THAT(standInRequests(), IsEmpty());
}

TEST_F(BehindAProxy, DigestCredentialsAreAnsweredToAProxyThatAsksForThem) {
  SKIP_FOR_WINDOWS_UPLOADER(
      "the Windows build's libcurl answers Digest through the system's security support (SSPI), "
      "and Wine has no Digest security package: every answer is refused there");
  SquidProxy proxy(ProxyAuth::kDigest);
  ASSERT_TRUE(proxy.running()) << proxy.cacheLog();
  UploadRun run = upload({{"proxy", proxy.urlWithCredentials()}});
  expectStored(run);
  expectAllThrough(proxy, SquidProxy::kUser);
  expectNoProxySecret(run.run);
}

TEST_F(BehindAProxy, HttpsGoesThroughATunnelAndTheCertificateIsStillCheckedAgainstTheRealHost) {
  SquidProxy proxy;
  ASSERT_TRUE(proxy.running()) << proxy.cacheLog();
  TestCertificate identity("IP:127.0.0.1");
  ASSERT_TRUE(identity.signedOk);
  TlsServer server(identity);
  ASSERT_TRUE(server.running());
  writeFile(dir.file("input.bin"), kContent);
  RunOptions options;
  options.stopWhenErrHas = " attempt 1 failed: ";
  const std::string base = server.url("");
  std::map<std::string, std::string> keys = {{"proxy", proxy.urlWithCredentials()}};
  RunResult run = runUploaderWith(
      dir, {"-cfg", writeConfigFor(dir, base, dir.file("input.bin"), keys)}, options);
  // The proxy made the tunnel to the server, as the user; the client saw
  // the self-signed certificate at its end and refused it.
  EXPECT_THAT(logMessagesWith(run.err, " attempt 1 failed: "),
              ElementsAre(server.url("/oauth2/token") +
                          " attempt 1 failed: SSL certificate problem: self-signed certificate "
                          "(curl error 60)"));
  const std::string tunnel = "CONNECT 127.0.0.1:" + base.substr(base.rfind(':') + 1) + " alice ";
  EXPECT_THAT(proxy.accessLinesWith(tunnel), Not(IsEmpty())) << proxy.accessLog();
  EXPECT_GE(server.handshakesAtLeast(1), 1);
  EXPECT_EQ(server.requests(), 0);
  expectNoProxySecret(run);
}

TEST_F(BehindAProxy, HttpsToTheStandInGoesThroughATunnelToATrustedFront) {
  if (!uploaderIsWindows()) {
    GTEST_SKIP() << "the Linux build trusts only the system's store, which the tests leave "
                    "alone (proxy_driver_test.cc tunnels to a trusted server in-process)";
  }
  SquidProxy proxy;
  ASSERT_TRUE(proxy.running()) << proxy.cacheLog();
  TestCertificate authority("DNS:authority.invalid");
  TestCertificate identity("IP:127.0.0.1", &authority);
  ASSERT_TRUE(identity.signedOk);
  TrustedByWindows trust(dir, authority);
  ASSERT_TRUE(trust.added());
  TlsFront front(identity, store.port());
  ASSERT_TRUE(front.running());
  writeFile(dir.file("input.bin"), kContent);
  UploadRun run;
  run.run = runUploaderWithin(dir,
                              {"-cfg", writeConfigFor(dir, front.baseUrl(), dir.file("input.bin"),
                                                      {{"proxy", proxy.urlWithCredentials()}})},
                              120);
  run.result = readFile(dir.file("result.json"));
  run.resultJson.Parse(run.result.c_str());
  expectStored(run);
  EXPECT_GE(front.handshakes(), 1);
  // The service's own requests in the tunnel, the signed part URLs (plain
  // http on the stand-in's port) forwarded: all through the proxy.
  EXPECT_THAT(
      proxy.accessLinesWith("CONNECT 127.0.0.1:" + std::to_string(front.port()) + " alice "),
      Not(IsEmpty()))
      << proxy.accessLog();
  EXPECT_EQ(proxy.accessLinesWith(" PUT " + store.baseUrl() + "/", 3).size(), 3u)
      << proxy.accessLog();
  expectNoProxySecret(run.run);
}

// An environment proxy value that the uploader's own parser refuses (a blank
// in the password) never reaches libcurl, whose error text would quote it:
// it is skipped with a WARNING showing scheme, host and port only, and the
// requests go direct. The password shows nowhere: not on standard error, in
// the log or in the progress file's "cause".
TEST(EnvironmentProxy, AValueThatCannotBeReadIsSkippedAndItsPasswordShowsNowhere) {
  LocalStore store;
  TempDir dir;
  const std::string content = patternBytes(64 * 1024, 3);
  writeFile(dir.file("input.bin"), content);
  RunOptions options;
  options.environment = {"http_proxy=http://alice:Sup3r Secret@127.0.0.1:3128"};
  RunResult run = runUploaderWith(
      dir,
      {"-cfg", writeConfig(dir, store, dir.file("input.bin"),
                           {{"progressfile", dir.file("progress.json")}})},
      options);
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_THAT(readFile(dir.file("result.json")), HasSubstr(R"("code":"success")")) << run.err;
  EXPECT_THAT(logMessagesWith(run.err, "in environment variable"),
              ElementsAre("proxy http://127.0.0.1:3128 in environment variable http_proxy is no "
                          "proxy URL that can be used; it is skipped"));
  for (const std::string& text :
       {run.err, run.logs, run.out, readFile(dir.file("progress.json"))}) {
    EXPECT_THAT(text, Not(HasSubstr("Sup3r")));
    EXPECT_THAT(text, Not(HasSubstr("alice")));
  }
}

}  // namespace
}  // namespace corvane::e2e
