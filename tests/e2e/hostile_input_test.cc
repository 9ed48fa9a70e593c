// Input from services and configurations built to break the uploader: none
// may crash it, report a stored file as failed, add to what it sends or
// forge or leak anything in its log.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "e2e_harness.h"

namespace corvane::e2e {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

constexpr size_t kMiB = 1048576;
// A name whose second character ends in the byte of "\" in GBK (D5 5C).
const std::string kBackslashName = "\xE5\xBF\xA0\xE8\xAA\xA0.txt";  // 忠誠.txt
const std::string kBackslashNameGbk = "\xD6\xD2\xD5\x5C.txt";

void installFaults(const LocalStore& store, const std::string& json) {
  ASSERT_THAT(store.post("/_control/faults", json), HasSubstr(R"("ok":true)")) << json;
}

std::string deepJson(size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); }

TEST(HostileInput, ADeeplyNestedAnswerFailsItsStepWithoutACrash) {
  TempDir dir;
  LocalStore store;
  installFaults(store, R"([{"kind":"direct-upload","action":"body","body":")" +
                           deepJson(200000) + R"("}])");
  UploadRun run = uploadContent(dir, store, "content");
  EXPECT_EQ(run.run.exitStatus, 0) << run.run.err;
  EXPECT_EQ(run.result,
            R"({"code":"failed","message":"uploadOnePartData failed!","data":{"fileitemid":"","fileitemname":""}})");
}

TEST(HostileInput, ADeeplyNestedConfigurationIsRefusedWithoutACrash) {
  TempDir dir;
  writeFile(dir.file("config.json"), "{\"rooturl\":" + deepJson(200000) + "}");
  RunResult run = runUploader(dir, {"-cfg", dir.file("config.json")});
  EXPECT_EQ(run.exitStatus, 255);  // read whole, and judged like any other value
  EXPECT_THAT(run.err, HasSubstr("] root url is empty!"));
}

TEST(HostileInput, ANameEndingInABackslashByteInGbkIsReportedStored) {
  LocalStore store;
  for (size_t size : {size_t{100}, 2 * kMiB + 1}) {  // direct, then merge
    SCOPED_TRACE(size);
    TempDir dir;
    std::string content = patternBytes(size, 3);
    UploadRun run =
        uploadContent(dir, store, content, {{"targetname", kBackslashName}, {"codepage", "GBK"}});
    ASSERT_EQ(run.run.exitStatus, 0);
    std::string id = run.fileItemId();
    ASSERT_FALSE(id.empty()) << run.result << run.run.err;
    EXPECT_EQ(sha256Hex(store.storedBytes(id)), sha256Hex(content));
    // The name comes back in GBK, its 0x5C escaped as JSON wants.
    EXPECT_THAT(run.result, HasSubstr("\"fileitemname\":\"\xD6\xD2\xD5\\\\.txt\""));
    EXPECT_THAT(run.run.err, HasSubstr("fileItemName:" + kBackslashNameGbk));
  }
}

TEST(HostileInput, ATokenWithALineBreakNeverReachesAHeader) {
  TempDir dir;
  LocalStore store;
  installFaults(store, R"([{"kind":"storage-token","action":"pass","set":)"
                       R"({"data.token":"st-1\r\nX-Injected: 1"}}])");
  UploadRun run = uploadContent(dir, store, "content");
  EXPECT_EQ(run.run.exitStatus, 0);
  EXPECT_THAT(run.result, HasSubstr("uploadOnePartData failed!"));
  rapidjson::Document requests = store.requests();
  ASSERT_TRUE(requests.IsArray());
  for (const auto& request : requests.GetArray()) {
    EXPECT_FALSE(hasHeaderWithPrefix(request, "x-injected")) << stringAt(request, "kind");
    EXPECT_EQ(headerOf(request, "authorization").find("st-1"), std::string::npos);
  }
}

TEST(HostileInput, AHeaderValueWithALineBreakFailsLoading) {
  for (const char* key : {"appkey", "projectid", "tenantid"}) {
    SCOPED_TRACE(key);
    TempDir dir;
    LocalStore store;
    std::map<std::string, std::string> overrides = {{key, "v\r\nX-Injected: 1"}};
    if (std::string(key) == "tenantid") overrides["orgid"] = "org-7";
    writeFile(dir.file("input.bin"), "content");
    RunResult run =
        runUploader(dir, {"-cfg", writeConfig(dir, store, dir.file("input.bin"), overrides)});
    EXPECT_EQ(run.exitStatus, 255);
    EXPECT_THAT(run.err, HasSubstr(std::string("] ") + key + " is invalid!"));
    EXPECT_EQ(store.get("/_control/stats").find(":1"), std::string::npos) << "nothing is sent";
  }
}

TEST(HostileInput, ALineBreakInAServiceMessageCannotForgeALogLine) {
  TempDir dir;
  LocalStore store;
  installFaults(store, R"([{"kind":"direct-upload","action":"body","status":403,)"
                       R"("body":"{\"code\":403,\"message\":\"denied\\nE1208 forged line\"}"}])");
  UploadRun run = uploadContent(dir, store, "content");
  EXPECT_THAT(run.run.err, HasSubstr("refused by the service (code 403): denied\\nE1208 forged line"));
  // Every line, so that a forged one would be seen too.
  for (const std::string& line : linesOf(run.run.err)) {
    EXPECT_NE(line.rfind("E1208 forged", 0), 0u) << line;
  }
}

TEST(HostileInput, AnOutputNameAtTheLengthLimitIsWritten) {
  TempDir dir;
  LocalStore store;
  const std::string output = dir.file(std::string(250, 'r') + ".json");
  UploadRun run = uploadContent(dir, store, "content", {{"output", output}});
  EXPECT_EQ(run.run.exitStatus, 0);
  EXPECT_THAT(readFile(output), HasSubstr(R"("code":"success")")) << run.run.err;
}

}  // namespace
}  // namespace corvane::e2e
