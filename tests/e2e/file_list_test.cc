// A list of files in one run against the stand-in: one result per entry, in
// the order of the list, every stored item byte for byte, a refused merge
// failing its file alone, the order kept with one file at a time, a stop,
// and every invalid form of the list refused before anything is sent.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <map>
#include <string>
#include <vector>

#include "e2e_harness.h"
#include "fault_rules.h"

namespace corvane::e2e {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

constexpr size_t kMiB = 1048576;

// One listed file: its local path (UTF-8, as the test wrote it), its target
// name and the bytes it holds (nothing when the file is not written).
struct Listed {
  std::string path;
  std::string name;
  std::string content;
  bool written = true;
};

// Writes every listed file (unless `write` is false) and returns the value
// of `files` as raw JSON for writeConfig ("#[...]").
std::string writeList(const std::vector<Listed>& files, bool write = true) {
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  writer.StartArray();
  for (const Listed& file : files) {
    if (file.written && write) writeFile(file.path, file.content);
    writer.StartObject();
    writer.Key("localfile");
    writer.String(uploaderPath(file.path).c_str());
    writer.Key("targetname");
    writer.String(file.name.c_str());
    writer.EndObject();
  }
  writer.EndArray();
  return std::string("#") + buffer.GetString();
}

// A configuration of `files` with `overrides`, without a top-level file;
// the files are written unless `write` is false.
std::string listConfig(const TempDir& dir, const LocalStore& store,
                       const std::vector<Listed>& files,
                       std::map<std::string, std::string> overrides = {}, bool write = true) {
  overrides.emplace("files", writeList(files, write));
  overrides.emplace("localfile", "null");
  overrides.emplace("targetname", "null");
  return writeConfig(dir, store, "", overrides);
}

// `count` files of 20 KiB named "f<k>.txt", k from 1.
std::vector<Listed> smallFiles(const TempDir& dir, int count) {
  std::vector<Listed> files;
  for (int k = 1; k <= count; ++k) {
    std::string name = "f" + std::to_string(k) + ".txt";
    files.push_back({dir.file(name), name, patternBytes(20 * 1024, static_cast<unsigned>(k))});
  }
  return files;
}

rapidjson::Document parsed(const std::string& text) {
  rapidjson::Document document;
  document.Parse(text.c_str());
  EXPECT_TRUE(document.IsObject()) << text;
  return document;
}

// Every entry of the result that succeeded names an item holding its bytes.
void expectStored(const LocalStore& store, const std::vector<Listed>& files,
                  const rapidjson::Value& results) {
  ASSERT_EQ(results.Size(), files.size());
  for (rapidjson::SizeType i = 0; i < results.Size(); ++i) {
    if (stringAt(results[i], "code") != "success") continue;
    EXPECT_EQ(store.storedBytes(stringAt(results[i], "fileitemid")), files[i].content)
        << "entry " << i + 1;
    EXPECT_EQ(stringAt(results[i], "fileitemname"), inDefaultCodepage(files[i].name));
  }
}

TEST(FileList, FiftyFilesOneMissingEachWithItsResultInTheOrderOfTheList) {
  TempDir dir;
  LocalStore store;
  std::vector<Listed> files;
  for (int k = 1; k <= 50; ++k) {
    Listed file{dir.file("本地 文件 " + std::to_string(k) + ".bin"),
                "报告 第" + std::to_string(k) + "号.txt",
                patternBytes(20 * 1024, static_cast<unsigned>(k))};
    if (k == 7) file.content.clear();
    if (k == 20 || k == 40) file.content = patternBytes(kMiB + kMiB / 2, static_cast<unsigned>(k));
    if (k == 13) file.written = false;
    files.push_back(file);
  }
  RunResult run = runUploaderWithin(dir, {"-cfg", listConfig(dir, store, files)}, 120);
  ASSERT_EQ(run.exitStatus, 0) << run.err;

  rapidjson::Document result = parsed(readFile(dir.file("result.json")));
  EXPECT_EQ(stringAt(result, "code"), "failed");
  EXPECT_EQ(stringAt(result, "message"), "1 of 50 files failed!");
  const rapidjson::Value& entries = result["data"]["files"];
  ASSERT_EQ(entries.Size(), 50u);
  for (rapidjson::SizeType i = 0; i < entries.Size(); ++i) {
    std::vector<std::string> members;
    for (const auto& member : entries[i].GetObject()) members.push_back(member.name.GetString());
    EXPECT_EQ(members, (std::vector<std::string>{"localfile", "targetname", "code", "message",
                                                 "fileitemid", "fileitemname"}));
    EXPECT_EQ(stringAt(entries[i], "localfile"), inDefaultCodepage(uploaderPath(files[i].path)));
    EXPECT_EQ(stringAt(entries[i], "targetname"), inDefaultCodepage(files[i].name));
    if (i == 12) continue;
    EXPECT_EQ(stringAt(entries[i], "code"), "success") << "entry " << i + 1;
    EXPECT_EQ(stringAt(entries[i], "message"), "");
  }
  EXPECT_EQ(stringAt(entries[12], "code"), "failed");
  EXPECT_EQ(stringAt(entries[12], "message"), "local file can not access!");
  EXPECT_EQ(stringAt(entries[12], "fileitemid"), "");
  expectStored(store, files, entries);
  // One item per file that arrived, one token for all of them.
  EXPECT_EQ(parsed("{\"items\":" + store.get("/_control/items") + "}")["items"].Size(), 49u);
  EXPECT_EQ(store.count("merge"), 2);
  EXPECT_EQ(store.count("storage-token"), 1);

  EXPECT_EQ(logMessagesWith(run.logs, "file ").size() >= 50u, true);
  EXPECT_THAT(run.logs, HasSubstr("file 1/50 " + files[0].name + ": success\n"));
  EXPECT_THAT(run.logs,
              HasSubstr("file 13/50 " + files[12].name +
                        ": failed (local file can not access!)\n"));
  EXPECT_THAT(run.logs, HasSubstr("files: 49 succeeded, 1 failed, in "));
  // Each file's own lines carry its target name.
  EXPECT_THAT(run.logs, HasSubstr(files[19].name + ": upload file size: 1572864 ; part size: "));
  EXPECT_THAT(run.logs, HasSubstr(files[6].name + ": upload file size: 0\n"));
  expectNoSecrets(run);
}

TEST(FileList, ARefusedMergeFailsItsFileAloneAndTheFilesAfterItStillGo) {
  TempDir dir;
  LocalStore store;
  std::vector<Listed> files = smallFiles(dir, 5);
  files[0].content = patternBytes(2 * kMiB + 5, 3);
  ASSERT_THAT(store.post("/_control/faults",
                         rulesJson({Rule("merge", "status")
                                        .nth(1)
                                        .status(400)
                                        .body(R"({"code":400,"message":"merge refused"})")})),
              HasSubstr("\"ok\":true"));
  RunResult run = runUploaderWithin(
      dir, {"-cfg", listConfig(dir, store, files, {{"parallelfiles", "#1"}})}, 60);
  ASSERT_EQ(run.exitStatus, 0) << run.err;

  rapidjson::Document result = parsed(readFile(dir.file("result.json")));
  EXPECT_EQ(stringAt(result, "code"), "failed");
  EXPECT_EQ(stringAt(result, "message"), "1 of 5 files failed!");
  const rapidjson::Value& entries = result["data"]["files"];
  ASSERT_EQ(entries.Size(), 5u);
  EXPECT_EQ(stringAt(entries[0], "message"), "mergeUploadTask failed!");
  for (rapidjson::SizeType i = 1; i < 5; ++i) EXPECT_EQ(stringAt(entries[i], "code"), "success");
  expectStored(store, files, entries);
  EXPECT_THAT(run.logs, HasSubstr("file 1/5 f1.txt: failed (mergeUploadTask failed!)"));
}

TEST(FileList, OneFileAtATimeKeepsTheOrderOfTheList) {
  TempDir dir;
  LocalStore store;
  std::vector<Listed> files = smallFiles(dir, 6);
  RunResult run = runUploaderWithin(
      dir, {"-cfg", listConfig(dir, store, files, {{"parallelfiles", "#1"}})}, 60);
  ASSERT_EQ(run.exitStatus, 0) << run.err;
  EXPECT_EQ(readFile(dir.file("result.json")).find("\"code\":\"success\",\"message\":\"\""), 1u);

  std::vector<std::string> order;
  rapidjson::Document requests = store.requests();
  for (const auto& request : requests.GetArray()) {
    if (stringAt(request, "kind") != "direct-upload") continue;
    std::string query = stringAt(request, "query");
    size_t from = query.find("name=") + 5;
    order.push_back(query.substr(from, query.find('&', from) - from));
  }
  EXPECT_EQ(order, (std::vector<std::string>{"f1.txt", "f2.txt", "f3.txt", "f4.txt", "f5.txt",
                                             "f6.txt"}));
}

// A stop while the third file is on its way: the two before it keep their
// success, every other file is cancelled, nothing more is sent.
TEST(FileList, AStopKeepsTheFinishedFilesAndCancelsTheOthers) {
  TempDir dir;
  LocalStore store;
  std::vector<Listed> files = smallFiles(dir, 8);
  // The third file is held at its task (a direct upload whose body went out
  // would be let finish: the service may be storing it).
  files[2].content = patternBytes(3 * kMiB, 67);
  store.post("/_control/faults",
             rulesJson({Rule("create-task", "stall-answer").nth(1).seconds(60)}));
  RunOptions options;
  options.stopWhenErrHas = "file 2/8 f2.txt: success";
  options.stopSignal = uploaderIsWindows() ? SIGINT : SIGTERM;
  options.limitSeconds = 30;
  RunResult run = runUploaderWith(
      dir, {"-cfg", listConfig(dir, store, files, {{"parallelfiles", "#1"}})}, options);
  ASSERT_TRUE(run.stopped);
  EXPECT_EQ(run.exitStatus, 0);

  rapidjson::Document result = parsed(readFile(dir.file("result.json")));
  EXPECT_EQ(stringAt(result, "code"), "failed");
  EXPECT_EQ(stringAt(result, "message"), "upload cancelled!");
  const rapidjson::Value& entries = result["data"]["files"];
  ASSERT_EQ(entries.Size(), 8u);
  EXPECT_EQ(stringAt(entries[0], "code"), "success");
  EXPECT_EQ(stringAt(entries[1], "code"), "success");
  for (rapidjson::SizeType i = 2; i < 8; ++i) {
    EXPECT_EQ(stringAt(entries[i], "message"), "upload cancelled!") << "entry " << i + 1;
  }
  expectStored(store, files, entries);
  EXPECT_EQ(store.count("direct-upload"), 2);
  EXPECT_THAT(run.logs, HasSubstr("files: 2 succeeded, 6 failed, in "));
}

// Killed while the sixth file's second part is held: the rerun reports the
// five files before it from the journal without sending them, continues the
// sixth, sends the rest, and uploads again only the file changed meanwhile.
TEST(FileList, AKilledRunIsCompletedByTheRerunWithoutStoringAFileTwice) {
  TempDir dir;
  LocalStore store;
  std::vector<Listed> files = smallFiles(dir, 8);
  files[5].content = patternBytes(3 * kMiB, 66);
  const std::map<std::string, std::string> overrides = {
      {"parallelfiles", "#1"},
      {"resumefile", uploaderPath(dir.file("list.journal"))},
      {"progressfile", uploaderPath(dir.file("progress.json"))}};
  store.post("/_control/faults", rulesJson({Rule("part-put", "stall-answer").nth(2).seconds(60)}));
  RunOptions options;
  options.stopWhenErrHas = "f6.txt: part 1/3 sent";
  RunResult first = runUploaderWith(dir, {"-cfg", listConfig(dir, store, files, overrides)},
                                    options);
  ASSERT_TRUE(first.stopped) << first.err;
  EXPECT_FALSE(fileExists(dir.file("result.json")));
  store.post("/_control/faults", "[]");
  store.remove("/_control/requests");

  // The second file changes (same size, new bytes) before the rerun.
  files[1].content = patternBytes(20 * 1024, 99);
  writeFile(files[1].path, files[1].content);
  RunResult second = runUploaderWithin(
      dir, {"-cfg", listConfig(dir, store, files, overrides, false)}, 60);
  ASSERT_EQ(second.exitStatus, 0) << second.err;
  rapidjson::Document result = parsed(readFile(dir.file("result.json")));
  EXPECT_EQ(stringAt(result, "code"), "success") << readFile(dir.file("result.json"));
  expectStored(store, files, result["data"]["files"]);
  for (int k : {1, 3, 4, 5}) {
    EXPECT_THAT(second.logs, HasSubstr("already uploaded in an earlier run: f" +
                                       std::to_string(k) + ".txt\n"));
  }
  EXPECT_THAT(second.logs, Not(HasSubstr("already uploaded in an earlier run: f2.txt")));
  EXPECT_THAT(second.logs, HasSubstr("1 of 3 parts already stored"));
  // No file stored twice: one item per entry, and one more for the file
  // that changed.
  std::map<std::string, int> items;
  rapidjson::Document stored = parsed("{\"items\":" + store.get("/_control/items") + "}");
  for (const auto& item : stored["items"].GetArray()) ++items[stringAt(item, "name")];
  for (int k = 1; k <= 8; ++k) {
    EXPECT_EQ(items["f" + std::to_string(k) + ".txt"], k == 2 ? 2 : 1) << "f" << k << ".txt";
  }
  EXPECT_EQ(store.count("direct-upload"), 3);  // the second, seventh and eighth
  EXPECT_EQ(store.count("create-task"), 0);
  EXPECT_FALSE(fileExists(dir.file("list.journal")));

  rapidjson::Document progress = parsed(readFile(dir.file("progress.json")));
  EXPECT_EQ(stringAt(progress, "phase"), "success");
  EXPECT_EQ(progress["files"].GetUint64(), 8u);
  EXPECT_EQ(progress["filecount"].GetUint64(), 8u);
  EXPECT_EQ(progress["bytes"].GetUint64(), 7 * 20 * 1024 + 3 * kMiB);
  EXPECT_EQ(progress["total"].GetUint64(), progress["bytes"].GetUint64());
}

TEST(FileList, EveryInvalidFormOfTheListIsRefusedBeforeAnythingIsSent) {
  TempDir dir;
  LocalStore store;
  writeFile(dir.file("a.txt"), "a");
  const std::string a = uploaderPath(dir.file("a.txt"));
  // The path inside raw JSON: a Windows path's backslashes escaped.
  std::string aJson;
  for (char c : a) aJson += c == '\\' ? std::string("\\\\") : std::string(1, c);
  auto entry = [](const std::string& members) { return "{" + members + "}"; };
  const std::string good = entry("\"localfile\":\"" + aJson + "\",\"targetname\":\"a.txt\"");
  std::string tooMany = "#[";
  for (int i = 0; i < 10001; ++i) tooMany += (i ? "," : "") + good;
  tooMany += "]";
  struct Case {
    std::string why;
    std::map<std::string, std::string> overrides;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"not an array", {{"files", "#{}"}}, "files is invalid!"},
      {"a text", {{"files", "a.txt"}}, "files is invalid!"},
      {"empty", {{"files", "#[]"}}, "files is invalid!"},
      {"too long", {{"files", tooMany}}, "files is invalid!"},
      {"an entry not an object", {{"files", "#[" + good + ",5]"}}, "files is invalid!"},
      {"no localfile",
       {{"files", "#[" + entry("\"targetname\":\"a\"") + "]"}},
       "files is invalid!"},
      {"empty targetname",
       {{"files", "#[" + entry("\"localfile\":\"" + aJson + "\",\"targetname\":\"\"") + "]"}},
       "files is invalid!"},
      {"localfile not a string",
       {{"files", "#[" + entry("\"localfile\":7,\"targetname\":\"a\"") + "]"}},
       "files is invalid!"},
      {"no GBK form",
       {{"files", "#[" + entry("\"localfile\":\"" + aJson + "\\ud83d\\ude00\",\"targetname\":\"a\"") +
                      "]"},
        {"codepage", "GBK"}},
       "files is invalid!"},
      {"with a top-level localfile", {{"files", "#[" + good + "]"}, {"localfile", a}},
       "files is invalid!"},
      {"with a top-level targetname", {{"files", "#[" + good + "]"}, {"targetname", "b"}},
       "files is invalid!"},
      {"parallelfiles 0", {{"files", "#[" + good + "]"}, {"parallelfiles", "#0"}},
       "parallel files is invalid!"},
      {"parallelfiles 17", {{"files", "#[" + good + "]"}, {"parallelfiles", "#17"}},
       "parallel files is invalid!"},
  };
  for (const Case& c : cases) {
    std::map<std::string, std::string> overrides = c.overrides;
    overrides.emplace("localfile", "null");
    overrides.emplace("targetname", "null");
    RunResult run = runUploaderWithin(dir, {"-cfg", writeConfig(dir, store, "", overrides)}, 30);
    EXPECT_EQ(run.exitStatus, 255) << c.why;
    EXPECT_THAT(run.err, HasSubstr(c.message)) << c.why;
    EXPECT_FALSE(fileExists(dir.file("result.json"))) << c.why;
  }
  EXPECT_EQ(store.requests().Size(), 0u);
}

}  // namespace
}  // namespace corvane::e2e
