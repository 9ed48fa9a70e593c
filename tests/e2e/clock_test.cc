// The real executable against a stand-in whose clock or time zone is not the
// machine's (the uploader's own clock is left alone): the gateway signature
// made with the service's time, every attempt signed afresh, refused storage
// tokens renewed, and tokens that look expired on arrival used until refused.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "e2e_harness.h"
#include "fault_rules.h"

namespace corvane::e2e {
namespace {

using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::SizeIs;

constexpr uint64_t kPart = 1048576;
const std::string kLookedUp = "9876";
const std::map<std::string, std::string> kLookupConfig = {
    {"projectid", "null"}, {"tenantid", "t-1"}, {"orgid", "org-7"}};
const std::string kCorrected = "clock: this machine's clock differs from the service's by ";
const std::string kRenewal = "storage token refused (HTTP 401); asking for a new one";
const std::string kLooksExpired = "clock: the storage token's expiry ";

std::vector<std::string> tenantStore(std::vector<std::string> more) {
  std::vector<std::string> arguments = {"--require-signature", "--org-id", "org-7",
                                        "--project-id", kLookedUp};
  arguments.insert(arguments.end(), more.begin(), more.end());
  return arguments;
}

// The machine's standard time (no daylight saving) in seconds east of UTC,
// as the uploader reads an expiry.
int64_t machineStandardOffset() {
  std::time_t now = std::time(nullptr);
  std::tm utc = *std::gmtime(&now);
  utc.tm_isdst = 0;
  return static_cast<int64_t>(now - std::mktime(&utc));
}

// "+HH:MM" for the machine's zone moved by `hours`.
std::string zoneFromMachine(int hours) {
  const int64_t east = machineStandardOffset() + hours * 3600;
  const int64_t size = std::llabs(east);
  char text[16];
  std::snprintf(text, sizeof text, "%c%02d:%02d", east < 0 ? '-' : '+',
                static_cast<int>(size / 3600), static_cast<int>(size % 3600 / 60));
  return text;
}

// The seconds of the one correction line, which must say "; signing with the
// service's time"; a huge number when there is not exactly one.
int64_t correctionSeconds(const RunResult& run) {
  std::vector<std::string> lines = logMessagesWith(run.logs, kCorrected);
  if (lines.size() != 1) return INT64_MAX;
  const std::string& line = lines[0];
  if (line.find(" s; signing with the service's time") == std::string::npos) return INT64_MAX;
  return std::strtoll(line.c_str() + line.find(kCorrected) + kCorrected.size(), nullptr, 10);
}

void expectArrived(const UploadRun& upload, const LocalStore& store, const std::string& content) {
  EXPECT_EQ(upload.run.exitStatus, 0) << upload.run.err;
  const std::string id = upload.fileItemId();
  ASSERT_FALSE(id.empty()) << upload.result << "\n" << upload.run.err;
  EXPECT_EQ(sha256Hex(store.storedBytes(id)), sha256Hex(content));
}

std::set<std::string> noncesOf(const rapidjson::Value& requests) {
  std::set<std::string> nonces;
  for (const auto& request : requests.GetArray()) {
    if (!headerOf(request, "x-ca-nonce").empty()) nonces.insert(headerOf(request, "x-ca-nonce"));
  }
  return nonces;
}

// The service 20 minutes ahead, 3 hours behind, a day ahead: the gateway
// token's answer tells the difference, so the lookup and every later signed
// request carry the service's time and none is refused.
TEST(ServiceClock, ATenantRunWithALookupSignsWithTheServicesTime) {
  for (int64_t offset : {int64_t{1200}, int64_t{-3 * 3600}, int64_t{86400}}) {
    SCOPED_TRACE(offset);
    LocalStore store(tenantStore({"--clock-offset", std::to_string(offset)}));
    TempDir dir;
    const std::string content = patternBytes(1000, 5);
    UploadRun upload = uploadContent(dir, store, content, kLookupConfig);
    expectArrived(upload, store, content);
    rapidjson::Document requests = store.requests();
    EXPECT_THAT(kindsOf(requests), ElementsAreArray({"gateway-token", "project-list",
                                                     "storage-token", "direct-upload"}));
    for (const auto& request : requests.GetArray()) EXPECT_EQ(request["status"].GetInt(), 200);
    EXPECT_NEAR(correctionSeconds(upload.run), -offset, 1) << upload.run.logs;
  }
}

// With the project id configured, the storage token request is the first
// signed one: refused as stale before any date was known, it is signed anew
// with the service's time and sent again at once, once.
TEST(ServiceClock, TheFirstSignedRequestRefusedForItsClockIsSignedAgainOnce) {
  for (int64_t offset : {int64_t{1200}, int64_t{-3 * 3600}, int64_t{86400}}) {
    SCOPED_TRACE(offset);
    LocalStore store(tenantStore({"--clock-offset", std::to_string(offset)}));
    TempDir dir;
    const std::string content = patternBytes(3 * kPart / 2, 6);
    UploadRun upload = uploadContent(dir, store, content,
                                     {{"tenantid", "t-1"}, {"orgid", "org-7"}, {"projectid", kLookedUp}});
    expectArrived(upload, store, content);
    rapidjson::Document requests = store.requests();
    ASSERT_THAT(kindsOf(requests),
                ElementsAreArray({"storage-token", "storage-token", "create-task", "part-url",
                                  "part-put", "part-url", "part-put", "merge"}));
    EXPECT_EQ(requests[0]["status"].GetInt(), 401);
    EXPECT_EQ(requests[1]["status"].GetInt(), 200);
    const int64_t first = std::stoll(headerOf(requests[0], "x-ca-timestamp"));
    const int64_t second = std::stoll(headerOf(requests[1], "x-ca-timestamp"));
    EXPECT_NEAR(second - first, offset * 1000, 5000);
    EXPECT_NE(headerOf(requests[0], "x-ca-nonce"), headerOf(requests[1], "x-ca-nonce"));
    EXPECT_NEAR(correctionSeconds(upload.run), -offset, 1) << upload.run.logs;
    EXPECT_THAT(logMessagesWith(upload.run.logs, "signing it again with the service's time"),
                SizeIs(1));
    expectNoSecrets(upload.run);
  }
}

// A gateway's 503 page answers the lookup and the storage token request once
// each: the retries carry nonces of their own, which the stand-in (refusing
// a nonce it has seen) accepts.
TEST(ServiceClock, RetriesAfterAGatewayPageCarryFreshNonces) {
  LocalStore store(tenantStore({}));
  const std::string page = "<html><body>503 Service Temporarily Unavailable</body></html>";
  store.post("/_control/faults",
             rulesJson({Rule("project-list", "status").nth(1).status(503).body(page).contentType(
                            "text/html"),
                        Rule("storage-token", "status").nth(1).status(503).body(page).contentType(
                            "text/html")}));
  TempDir dir;
  const std::string content = patternBytes(1000, 7);
  UploadRun upload = uploadContent(dir, store, content, kLookupConfig);
  expectArrived(upload, store, content);
  rapidjson::Document requests = store.requests();
  ASSERT_THAT(kindsOf(requests),
              ElementsAreArray({"gateway-token", "project-list", "project-list", "storage-token",
                                "storage-token", "direct-upload"}));
  EXPECT_EQ(requests[1]["status"].GetInt(), 503);
  EXPECT_EQ(requests[2]["status"].GetInt(), 200);
  EXPECT_EQ(requests[3]["status"].GetInt(), 503);
  EXPECT_EQ(requests[4]["status"].GetInt(), 200);
  EXPECT_EQ(noncesOf(requests).size(), 5u);
}

// The service writes its expiry 8 hours ahead of the machine's zone, so every
// token looks good for 8 hours more than it is, and tokens last 2 seconds
// while each part takes 2, four in flight: the refused tokens are renewed,
// each once for all the parts refused with it.
TEST(ServiceClock, TokensRefusedAfterTheirRealExpiryAreRenewed) {
  LocalStore store(tenantStore({"--token-ttl", "2", "--expiry-zone", zoneFromMachine(8)}));
  store.post("/_control/faults", rulesJson({Rule("part-put", "pass").delayMs(2100)}));
  TempDir dir;
  const std::string content = patternBytes(8 * kPart, 8);
  std::map<std::string, std::string> config = kLookupConfig;
  config["parallelparts"] = "#4";
  UploadRun upload = uploadContent(dir, store, content, config);
  expectArrived(upload, store, content);
  rapidjson::Document requests = store.requests();
  int refused = 0;
  for (const auto& request : requests.GetArray()) refused += request["status"].GetInt() == 401;
  const size_t renewals = logMessagesWith(upload.run.logs, kRenewal).size();
  // The parts after the first four find the first token expired, and the
  // merge the second.
  EXPECT_GE(renewals, 2u);
  EXPECT_LE(renewals, static_cast<size_t>(refused));
  EXPECT_EQ(store.count("storage-token"), 1 + static_cast<int>(renewals));
  EXPECT_EQ(store.count("part-url"), 8 + refused - 1);
  EXPECT_THAT(logMessagesWith(upload.run.logs, kLooksExpired), SizeIs(0));
}

// The service writes its expiry 8 hours behind the machine's zone, so every
// fresh token looks expired: it is used until refused, not asked for again
// before every request, also with parts side by side.
TEST(ServiceClock, ATokenThatLooksExpiredOnArrivalIsUsedUntilRefused) {
  LocalStore store(tenantStore({"--expiry-zone", zoneFromMachine(-8)}));
  TempDir dir;
  const std::string content = patternBytes(10 * kPart, 9);
  UploadRun upload = uploadContent(dir, store, content, {{"projectid", "null"}, {"tenantid", "t-1"},
                                                         {"orgid", "org-7"}, {"parallelparts", "#4"}});
  expectArrived(upload, store, content);
  EXPECT_EQ(store.count("part-url"), 10);
  EXPECT_LE(store.count("storage-token"), 2);
  if (!uploaderIsWindows()) {
    // Under Wine the uploader's zone is Wine's, which need not follow TZ.
    EXPECT_THAT(logMessagesWith(upload.run.logs, kLooksExpired), SizeIs(1));
  }
}

// A list of files shares one token: a file whose upload is refused with it
// once it has expired renews it, and every file arrives.
TEST(ServiceClock, AListRenewsTheTokenItsFilesShare) {
  // Each upload is judged 1.5 s after it arrives: the second of two on one
  // 2-second token finds it expired, its renewed one holds for it.
  LocalStore store({"--token-ttl", "2", "--expiry-zone", zoneFromMachine(8)});
  store.post("/_control/faults", rulesJson({Rule("direct-upload", "pass").delayMs(1500)}));
  TempDir dir;
  std::string list = "#[";
  for (int k = 1; k <= 3; ++k) {
    const std::string name = "f" + std::to_string(k) + ".txt";
    writeFile(dir.file(name), patternBytes(1000, static_cast<unsigned>(k)));
    std::string path = uploaderPath(dir.file(name));
    for (size_t at = path.find('\\'); at != std::string::npos; at = path.find('\\', at + 2)) {
      path.insert(at, 1, '\\');
    }
    list += std::string(k > 1 ? "," : "") + R"({"localfile":")" + path + R"(","targetname":")" +
            name + R"("})";
  }
  list += "]";
  RunResult run = runUploaderWithin(
      dir, {"-cfg", writeConfig(dir, store, "", {{"files", list}, {"localfile", "null"},
                                                  {"targetname", "null"}, {"parallelfiles", "#1"}})},
      60);
  EXPECT_THAT(readFile(dir.file("result.json")), HasSubstr(R"({"code":"success")")) << run.err;
  EXPECT_EQ(store.count("direct-upload"), 3 + static_cast<int>(logMessagesWith(run.logs, kRenewal).size()));
  EXPECT_GE(logMessagesWith(run.logs, kRenewal).size(), 1u);
  EXPECT_EQ(store.count("storage-token"), 1 + static_cast<int>(logMessagesWith(run.logs, kRenewal).size()));
}

}  // namespace
}  // namespace corvane::e2e
