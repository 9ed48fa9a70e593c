// A multipart upload that failed or was killed continues in the next run of
// the same configuration: the journal names the task and the parts that
// arrived, and the next run sends only the others, never wrong bytes.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>

#include "e2e_harness.h"
#include "fault_rules.h"

namespace corvane::e2e {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

constexpr size_t kMiB = 1048576;
constexpr size_t kParts = 10;

// The part numbers of the PUTs that arrived (status 200) in `requests`.
std::set<int> partsPut(const rapidjson::Document& requests) {
  std::set<int> parts;
  for (const auto& request : requests.GetArray()) {
    if (stringAt(request, "kind") != "part-put" || request["status"].GetInt() != 200) continue;
    const std::string path = stringAt(request, "path");
    parts.insert(std::stoi(path.substr(path.rfind('/') + 1)));
  }
  return parts;
}

int countOf(const rapidjson::Document& requests, const std::string& kind) {
  int count = 0;
  for (const auto& request : requests.GetArray()) count += stringAt(request, "kind") == kind;
  return count;
}

class Resume : public ::testing::Test {
 protected:
  Resume() : content(patternBytes(kParts * kMiB - 123, 41)) {
    writeFile(dir.file("input.bin"), content);
  }

  std::string config(std::map<std::string, std::string> overrides = {}) {
    overrides.emplace("resumefile", dir.file("upload.journal"));
    overrides.emplace("partsize", "#1");
    return writeConfig(dir, store, dir.file("input.bin"), overrides);
  }
  // One run of the uploader with `rules` installed; the stand-in's request
  // log is emptied first, so `requests` shows this run alone.
  RunResult run(const std::vector<Rule>& rules, RunOptions options = {},
                std::map<std::string, std::string> overrides = {}) {
    store.post("/_control/faults", rulesJson(rules));
    store.remove("/_control/requests");
    if (options.limitSeconds == 60) options.limitSeconds = 90;
    RunResult result = runUploaderWith(dir, {"-cfg", config(overrides)}, options);
    requests.Parse(store.get("/_control/requests").c_str());
    store.post("/_control/faults", "[]");
    return result;
  }
  std::string result() const { return readFile(dir.file("result.json")); }
  std::string journal() const { return readFile(dir.file("upload.journal")); }
  void expectStoredWhole() {
    rapidjson::Document parsed;
    parsed.Parse(result().c_str());
    ASSERT_EQ(stringAt(parsed, "code"), "success") << result();
    EXPECT_EQ(sha256Hex(store.storedBytes(stringAt(parsed["data"], "fileitemid"))),
              sha256Hex(content));
  }

  TempDir dir;
  LocalStore store;
  const std::string content;
  rapidjson::Document requests;
};

TEST_F(Resume, AFailedRunKeepsTheJournalAndTheNextSendsOnlyWhatIsMissing) {
  RunResult first = run({Rule("part-url", "status").nth(7).status(500)});
  EXPECT_THAT(result(), HasSubstr("\"uploadPartData failed!\""));
  const std::set<int> arrived = partsPut(requests);
  EXPECT_EQ(arrived.count(7), 0u);
  EXPECT_EQ(countOf(requests, "merge"), 0);
  // The journal holds the names and the parts, never a token or a URL.
  const std::string kept = journal();
  EXPECT_THAT(kept, HasSubstr("\"targetname\":\"sample.bin\""));
  EXPECT_THAT(kept, Not(HasSubstr("signature")));
  EXPECT_THAT(kept, Not(HasSubstr("st-")));
  EXPECT_THAT(kept, Not(HasSubstr(LocalStore::kAppSecret)));

  RunResult second = run({});
  expectStoredWhole();
  EXPECT_THAT(second.err, HasSubstr(": " + std::to_string(arrived.size()) + " of 10 parts already "
                                    "stored"));
  EXPECT_EQ(countOf(requests, "create-task"), 0);
  EXPECT_EQ(countOf(requests, "merge"), 1);
  std::set<int> missing;
  for (int part = 1; part <= 10; ++part) {
    if (!arrived.count(part)) missing.insert(part);
  }
  EXPECT_EQ(partsPut(requests), missing);
  // One mark per part that got its URL in this run.
  EXPECT_THAT(second.out, HasSubstr(std::string(missing.size(), '.') + "\n"));
  // Done: the journal is gone.
  EXPECT_FALSE(fileExists(dir.file("upload.journal")));
}

class KilledRun : public Resume, public ::testing::WithParamInterface<int> {};

// Killed while part 5 was in flight (its answer held back): the next run
// sends again no part that the journal lists.
TEST_P(KilledRun, TheNextRunSendsNoPartTheJournalLists) {
  RunOptions options;
  options.stopWhenErrHas = "part 4/10 sent";
  const std::string parallel = "#" + std::to_string(GetParam());
  RunResult first = run({Rule("part-put", "stall-answer").nth(5).seconds(30)}, options,
                        {{"parallelparts", parallel}});
  ASSERT_TRUE(first.stopped) << first.err;
  EXPECT_EQ(result(), "");  // no result: the run did not finish
  // Every part the journal lists, read back from its lines.
  std::set<int> listed;
  for (const std::string& line : linesOf(journal())) {
    size_t at = line.find("{\"part\":");
    if (at == 0) listed.insert(std::stoi(line.substr(8)));
  }
  EXPECT_GE(listed.size(), 1u);

  RunResult second = run({}, {}, {{"parallelparts", parallel}});
  expectStoredWhole();
  for (int part : partsPut(requests)) EXPECT_EQ(listed.count(part), 0u) << "part " << part;
  EXPECT_EQ(countOf(requests, "create-task"), 0);
}

INSTANTIATE_TEST_SUITE_P(OneAndFourInFlight, KilledRun, ::testing::Values(1, 4));

// The journal names the file as it was: touched, or rewritten in place with
// its old modification time put back, it is another file and a new task
// carries every part.
TEST_F(Resume, AFileTouchedSinceStartsANewTask) {
  run({Rule("part-url", "status").nth(3).status(500)});
  ASSERT_FALSE(journal().empty());
  ::system(("touch -d '2020-01-01 00:00:00' " + dir.file("input.bin")).c_str());
  RunResult second = run({});
  expectStoredWhole();
  EXPECT_THAT(second.err, HasSubstr("(the file's modification time differs); starting a new upload"));
  EXPECT_EQ(countOf(requests, "create-task"), 1);
  EXPECT_EQ(partsPut(requests).size(), kParts);
}

TEST_F(Resume, AFileRewrittenWithItsOldTimeIsCaughtByTheHashes) {
  run({Rule("part-url", "status").nth(3).status(500)});
  // Rewritten in place between the runs, its modification time put back.
  std::string rewritten = content;
  for (char& c : rewritten) c = static_cast<char>(~c);
  const auto before = std::filesystem::last_write_time(dir.file("input.bin"));
  {
    std::fstream file(dir.file("input.bin"), std::ios::in | std::ios::out | std::ios::binary);
    file.write(rewritten.data(), static_cast<std::streamsize>(rewritten.size()));
  }
  std::filesystem::last_write_time(dir.file("input.bin"), before);
  RunResult second = run({});
  EXPECT_THAT(second.err, HasSubstr("the local file differs from the journal; starting a new upload"));
  EXPECT_EQ(countOf(requests, "create-task"), 1);
  rapidjson::Document parsed;
  parsed.Parse(result().c_str());
  ASSERT_EQ(stringAt(parsed, "code"), "success") << second.err;
  EXPECT_EQ(sha256Hex(store.storedBytes(stringAt(parsed["data"], "fileitemid"))),
            sha256Hex(rewritten));
}

TEST_F(Resume, ATornLastLineIsIgnored) {
  run({Rule("part-url", "status").nth(3).status(500)});
  std::string kept = journal();
  ASSERT_GE(kept.size(), 20u);
  // A crash in the middle of the last line's write.
  writeFile(dir.file("upload.journal"), kept.substr(0, kept.size() - 20));
  RunResult second = run({});
  expectStoredWhole();
  EXPECT_EQ(countOf(requests, "create-task"), 0);
  EXPECT_THAT(second.err, HasSubstr("parts already stored"));
}

TEST_F(Resume, AJournalOfAnotherTargetNameStartsANewTask) {
  run({Rule("part-url", "status").nth(3).status(500)});
  RunResult second = run({}, {}, {{"targetname", "other.bin"}});
  EXPECT_THAT(second.err, HasSubstr("(targetname differs); starting a new upload"));
  EXPECT_EQ(countOf(requests, "create-task"), 1);
  EXPECT_EQ(partsPut(requests).size(), kParts);
}

// The service forgot the task between the runs: its first part URL is
// refused, the journal is dropped and the same run starts a new task once.
TEST_F(Resume, ATaskTheServiceForgotIsStartedAgainInTheSameRun) {
  run({Rule("part-url", "status").nth(3).status(500)});
  const std::string kept = journal();
  const size_t at = kept.find("\"task\":\"");
  ASSERT_NE(at, std::string::npos);
  const std::string task = kept.substr(at + 8, kept.find('"', at + 8) - at - 8);
  ASSERT_EQ(store.remove("/_control/tasks/" + task), R"({"ok":true})");
  RunResult second = run({}, {}, {{"progressfile", dir.file("p.json")}});
  expectStoredWhole();
  EXPECT_THAT(second.err, HasSubstr("task " + task + " is no longer known to the service; "
                                    "starting a new upload"));
  EXPECT_EQ(countOf(requests, "create-task"), 1);
  EXPECT_EQ(partsPut(requests).size(), kParts);
  // The refusal that led to the new task is not the run's outcome.
  EXPECT_THAT(result(), HasSubstr(R"("code":"success","message":"",)")) << result();
  // The counts began again with the new task: the parts the forgotten one
  // held are not counted twice.
  rapidjson::Document progress;
  progress.Parse(readFile(dir.file("p.json")).c_str());
  EXPECT_EQ(stringAt(progress, "phase"), "success");
  EXPECT_EQ(progress["parts"].GetUint64(), kParts);
  EXPECT_EQ(progress["partcount"].GetUint64(), kParts);
}

// One journal, two runs at once: the second refuses to start.
TEST_F(Resume, ASecondRunOnTheSameJournalIsRefused) {
  store.post("/_control/faults", rulesJson({Rule("storage-token", "stall-answer").nth(1).seconds(4)}));
  TempDir other;
  RunResult held;
  std::thread first([&] { held = runUploaderWithin(dir, {"-cfg", config()}, 60); });
  // Wait until the first run holds the journal.
  for (int i = 0; i < 200 && !fileExists(dir.file("upload.journal")); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  RunResult second = runUploaderWithin(other, {"-cfg", config({{"output", other.file("result.json")}})}, 30);
  first.join();
  EXPECT_EQ(second.exitStatus, 255);
  EXPECT_THAT(second.err, HasSubstr("resumefile is in use!"));
  EXPECT_EQ(held.exitStatus, 0);
}

TEST_F(Resume, AJournalThatCannotBeCreatedFailsTheLoad) {
  RunResult result = runUploaderWithin(
      dir, {"-cfg", config({{"resumefile", dir.file("missing/dir/upload.journal")}})}, 30);
  EXPECT_EQ(result.exitStatus, 255);
  EXPECT_THAT(result.err, HasSubstr("resumefile can not write!"));
  EXPECT_EQ(store.count("storage-token"), 0);
}

}  // namespace
}  // namespace corvane::e2e
