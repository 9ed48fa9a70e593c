// What a calling program gets while an upload runs: a progress file it can
// read at any moment, a cap on the rate, and a clean stop.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "e2e_harness.h"
#include "fault_rules.h"

namespace corvane::e2e {
namespace {

using ::testing::HasSubstr;

constexpr size_t kMiB = 1048576;

// Reads the progress file at `path` every 20 ms while `running` holds; every
// distinct content, in order.
std::vector<std::string> watch(const std::string& path, const std::atomic<bool>& running) {
  std::vector<std::string> seen;
  while (running) {
    std::string text = readFile(path);
    if (!text.empty() && (seen.empty() || seen.back() != text)) seen.push_back(text);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  std::string last = readFile(path);
  if (!last.empty() && (seen.empty() || seen.back() != last)) seen.push_back(last);
  return seen;
}

struct WatchedRun {
  WatchedRun(size_t size, std::map<std::string, std::string> overrides) {
    content = patternBytes(size, 51);
    overrides.emplace("progressfile", dir.file("progress.json"));
    std::atomic<bool> running{true};
    std::thread uploader([&] {
      upload = uploadContent(dir, store, content, overrides, 90);
      running = false;
    });
    states = watch(dir.file("progress.json"), running);
    uploader.join();
  }

  TempDir dir;
  LocalStore store;
  std::string content;
  UploadRun upload;
  std::vector<std::string> states;
};

// The position of `phase` in the order a multipart or direct run goes
// through; -1 for an unknown one.
int rankOf(const std::string& phase) {
  const std::vector<std::string> order = {"token", "lookup", "task", "parts", "direct", "merge",
                                          "success"};
  for (size_t i = 0; i < order.size(); ++i) {
    if (order[i] == phase) return static_cast<int>(i);
  }
  return -1;
}

// How many states of `run` show `phase` with some but not all of `total`.
int statesBetween(const WatchedRun& run, const std::string& phase, uint64_t total) {
  int between = 0;
  for (const std::string& state : run.states) {
    rapidjson::Document document;
    document.Parse(state.c_str());
    uint64_t bytes = document["bytes"].GetUint64();
    between += stringAt(document, "phase") == phase && bytes > 0 && bytes < total;
  }
  return between;
}

void expectWellFormed(const WatchedRun& run, uint64_t total) {
  ASSERT_FALSE(run.states.empty());
  uint64_t bytes = 0;
  int rank = 0;
  for (const std::string& state : run.states) {
    rapidjson::Document document;
    document.Parse(state.c_str());
    ASSERT_TRUE(document.IsObject()) << "not one JSON object: " << state;
    for (const char* key : {"phase", "cause"}) ASSERT_TRUE(document[key].IsString()) << state;
    for (const char* key : {"bytes", "total", "parts", "partcount", "elapsed", "rate", "retries"}) {
      ASSERT_TRUE(document[key].IsUint64()) << key << " in " << state;
    }
    ASSERT_TRUE(document["eta"].IsInt64()) << state;
    const int now = rankOf(stringAt(document, "phase"));
    EXPECT_GE(now, rank) << "phase went back: " << state;
    rank = now;
    EXPECT_GE(document["bytes"].GetUint64(), bytes) << "bytes went back: " << state;
    bytes = document["bytes"].GetUint64();
    if (document["total"].GetUint64() > 0) {
      EXPECT_EQ(document["total"].GetUint64(), total);
      EXPECT_LE(bytes, total);
    }
  }
  rapidjson::Document last;
  last.Parse(run.states.back().c_str());
  EXPECT_EQ(stringAt(last, "phase"), "success");
  EXPECT_EQ(last["bytes"].GetUint64(), total);
  EXPECT_EQ(last["eta"].GetInt64(), 0);
}

TEST(Progress, AMultipartUploadShowsItsPhasesAndBytesInOrder) {
  WatchedRun run(6 * kMiB, {{"partsize", "#1"}, {"maxkbps", "#3072"}});
  ASSERT_EQ(stringAt(run.upload.resultJson, "code"), "success") << run.upload.run.err;
  expectWellFormed(run, 6 * kMiB);
  // It moved while the parts went: states between the first and the last.
  EXPECT_GE(statesBetween(run, "parts", 6 * kMiB), 1);
  rapidjson::Document last;
  last.Parse(run.states.back().c_str());
  EXPECT_EQ(last["parts"].GetUint64(), 6u);
  EXPECT_EQ(last["partcount"].GetUint64(), 6u);
}

// A direct upload is one request: its bytes move as the body goes.
TEST(Progress, ADirectUploadMovesWhileItsOneBodyIsSent) {
  WatchedRun run(3 * kMiB, {{"partsize", "#8"}, {"maxkbps", "#1024"}});
  ASSERT_EQ(stringAt(run.upload.resultJson, "code"), "success") << run.upload.run.err;
  expectWellFormed(run, 3 * kMiB);
  EXPECT_GE(statesBetween(run, "direct", 3 * kMiB), 1);
}

TEST(Progress, AFailedAttemptIsCountedWithItsCause) {
  TempDir dir;
  LocalStore store;
  store.post("/_control/faults", rulesJson({Rule("part-put", "status").nth(1).status(500)}));
  UploadRun upload = uploadContent(dir, store, patternBytes(2 * kMiB + 5),
                                   {{"partsize", "#1"}, {"progressfile", dir.file("p.json")}});
  ASSERT_EQ(stringAt(upload.resultJson, "code"), "success");
  rapidjson::Document last;
  last.Parse(readFile(dir.file("p.json")).c_str());
  EXPECT_EQ(last["retries"].GetUint64(), 1u);
  EXPECT_THAT(stringAt(last, "cause"), HasSubstr("The requested URL returned error: 500"));
}

TEST(Progress, AProgressFileThatCannotBeWrittenFailsTheLoad) {
  TempDir dir;
  LocalStore store;
  UploadRun upload = uploadContent(dir, store, patternBytes(100),
                                   {{"progressfile", dir.file("no/such/dir/p.json")}});
  EXPECT_EQ(upload.run.exitStatus, 255);
  EXPECT_THAT(upload.run.err, HasSubstr("progressfile can not write!"));
}

// The part bodies' bytes as the stand-in received them: (ms on its clock,
// bytes of all parts received by then), in time order.
std::vector<std::pair<int64_t, uint64_t>> partArrivals(LocalStore& store) {
  std::vector<std::pair<int64_t, uint64_t>> increments;
  rapidjson::Document requests = store.requests();
  for (const auto& request : requests.GetArray()) {
    if (stringAt(request, "kind") != "part-put" || !request.HasMember("arrivals")) continue;
    uint64_t before = 0;
    for (const auto& point : request["arrivals"].GetArray()) {
      increments.emplace_back(point[0].GetInt64(), point[1].GetUint64() - before);
      before = point[1].GetUint64();
    }
  }
  std::sort(increments.begin(), increments.end());
  uint64_t total = 0;
  for (auto& [ms, bytes] : increments) bytes = total += bytes;
  return increments;
}

// The cap holds all parts in flight together, seen by the stand-in's own
// clock: from the first byte on, the bytes received never pass the cap
// times the time elapsed plus a tenth of a second's worth, short parts and
// many in flight included, and the run keeps close to the cap throughout.
TEST(Cap, TheBytesReceivedFollowTheCapWithOneFourOrSixteenPartsInFlight) {
  constexpr double kCap = 8192 * 1024.0;  // bytes per second
  for (const char* parallel : {"#1", "#4", "#16"}) {
    SCOPED_TRACE(std::string("parallelparts ") + (parallel + 1));
    TempDir dir;
    // A thread for every connection the run may keep open.
    LocalStore store{{"--threads", "40"}};
    const std::string content = patternBytes(16 * kMiB, 7);
    UploadRun upload = uploadContent(
        dir, store, content, {{"partsize", "#1"}, {"parallelparts", parallel}, {"maxkbps", "#8192"}},
        60);
    ASSERT_EQ(stringAt(upload.resultJson, "code"), "success") << upload.run.err;
    const auto arrivals = partArrivals(store);
    ASSERT_FALSE(arrivals.empty());
    ASSERT_EQ(arrivals.back().second, content.size());
    const int64_t first = arrivals.front().first;
    double worstAbove = -1e18;
    for (const auto& [ms, bytes] : arrivals) {
      worstAbove = std::max(worstAbove, bytes - kCap * (ms - first) / 1000);
    }
    // A tenth of a second's worth, and the clocks' milliseconds.
    EXPECT_LE(worstAbove, kCap / 10 + kCap * 2 / 1000);
    // Not held far below the cap either. How close it comes is measured by
    // bench/wan --caps: on a loaded machine (a Wine run beside other tests
    // saw 0.79) a tight bound here would fail by chance.
    const double seconds = (arrivals.back().first - first) / 1000.0;
    EXPECT_GE(content.size() / seconds, 0.5 * kCap) << seconds << " s";
  }
}

TEST(Cap, ACapBelowTwoKibPerPartInFlightIsRefused) {
  TempDir dir;
  LocalStore store;
  UploadRun upload = uploadContent(dir, store, patternBytes(100),
                                   {{"parallelparts", "#4"}, {"maxkbps", "#7"}});
  EXPECT_EQ(upload.run.exitStatus, 255);
  EXPECT_THAT(upload.run.err, HasSubstr("max kbps is invalid!"));
}

// SIGTERM in the middle: the transfers in flight are abandoned at once, no
// merge is sent, the journal keeps what arrived, and the result says so.
// The Windows build gets a SIGINT instead, which Wine delivers to the
// program as the console's Ctrl-C event.
TEST(Stop, SigtermMidUploadEndsTheRunCleanlyWithinTwoSeconds) {
  TempDir dir;
  LocalStore store;
  store.post("/_control/faults", rulesJson({Rule("part-url", "stall-answer").nth(3).seconds(60)}));
  writeFile(dir.file("input.bin"), patternBytes(6 * kMiB, 9));
  RunOptions options;
  options.stopWhenErrHas = "part 2/6 sent";
  options.stopSignal = uploaderIsWindows() ? SIGINT : SIGTERM;
  options.limitSeconds = 30;
  RunResult run = runUploaderWith(
      dir,
      {"-cfg", writeConfig(dir, store, dir.file("input.bin"),
                           {{"partsize", "#1"}, {"resumefile", dir.file("j.journal")},
                            {"progressfile", dir.file("p.json")}})},
      options);
  ASSERT_TRUE(run.stopped);
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_EQ(readFile(dir.file("result.json")),
            R"({"code":"failed","message":"upload cancelled!","data":{"fileitemid":"","fileitemname":""}})");
  EXPECT_THAT(run.err, HasSubstr(uploaderIsWindows() ? "upload cancelled by Ctrl-C"
                                                     : "upload cancelled by SIGTERM"));
  EXPECT_EQ(store.count("merge"), 0);
  EXPECT_THAT(readFile(dir.file("j.journal")), HasSubstr("{\"part\":2,"));
  rapidjson::Document progress;
  progress.Parse(readFile(dir.file("p.json")).c_str());
  EXPECT_EQ(stringAt(progress, "phase"), "cancelled");
  // The held request was let go by the client soon after the signal (the
  // stand-in records it once it has seen the close).
  bool seen = false;
  for (int wait = 0; wait < 100 && !seen; ++wait) {
    rapidjson::Document requests = store.requests();
    for (const auto& request : requests.GetArray()) {
      if (stringAt(request, "kind") != "part-url" || stringAt(request, "closedBy") != "client") {
        continue;
      }
      seen = true;
      EXPECT_LT(request["endMs"].GetInt64() - run.stopSentMs, 2000);
    }
    if (!seen) std::this_thread::sleep_for(std::chrono::milliseconds(30));
  }
  EXPECT_TRUE(seen) << store.get("/_control/requests");
}

// The stop a program without a console can send: a file it creates where
// `stopfile` says, looked for at least every 200 ms. The run ends exactly
// as for a signal, and the file stays the caller's.
struct StopFileRun {
  StopFileRun(const std::vector<Rule>& rules, const std::string& stopWhenErrHas,
              size_t size = 6 * kMiB, bool presentAtStart = false) {
    store.post("/_control/faults", rulesJson(rules));
    if (presentAtStart) writeFile(stopFile(), "stop");
    writeFile(dir.file("input.bin"), patternBytes(size, 9));
    RunOptions options;
    options.stopWhenErrHas = stopWhenErrHas;
    options.stopFile = stopWhenErrHas.empty() ? "" : stopFile();
    options.limitSeconds = 30;
    run = runUploaderWith(
        dir,
        {"-cfg", writeConfig(dir, store, dir.file("input.bin"),
                             {{"partsize", "#1"},
                              {"resumefile", dir.file("j.journal")},
                              {"progressfile", dir.file("p.json")},
                              {"stopfile", stopFile()}})},
        options);
  }
  std::string stopFile() const { return dir.file("stop.now"); }

  // What every stopped run leaves: as after SIGTERM, and the stop file.
  void expectCancelled() const {
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_EQ(readFile(dir.file("result.json")),
              R"({"code":"failed","message":"upload cancelled!","data":{"fileitemid":"","fileitemname":""}})");
    EXPECT_THAT(run.err, HasSubstr("] upload cancelled by stop file\n"));
    EXPECT_EQ(store.count("merge"), 0);
    rapidjson::Document progress;
    progress.Parse(readFile(dir.file("p.json")).c_str());
    EXPECT_EQ(stringAt(progress, "phase"), "cancelled");
    EXPECT_TRUE(fileExists(stopFile())) << "the caller's stop file was removed";
  }

  TempDir dir;
  LocalStore store;
  RunResult run;
};

TEST(Stop, AStopFileMidUploadEndsTheRunAsASignalDoes) {
  StopFileRun stopped({Rule("part-url", "stall-answer").nth(3).seconds(60)}, "part 2/6 sent");
  ASSERT_TRUE(stopped.run.stopped) << stopped.run.err;
  stopped.expectCancelled();
  EXPECT_THAT(readFile(stopped.dir.file("j.journal")), HasSubstr("{\"part\":2,"));
  EXPECT_LT(stopped.run.endedMs - stopped.run.stopSentMs, 1500);
}

// Made while a part sits out the 2-second pause before its third attempt:
// the run ends without sitting it out, and no third attempt is sent.
TEST(Stop, AStopFileDuringThePauseBetweenAttemptsEndsItWithoutSittingItOut) {
  StopFileRun stopped({Rule("part-put", "status").nth(1).through(2).status(500)},
                      "connect failed!!! retry 2", 3 * kMiB);
  ASSERT_TRUE(stopped.run.stopped) << stopped.run.err;
  stopped.expectCancelled();
  EXPECT_EQ(stopped.store.count("part-put"), 2);
  EXPECT_LT(stopped.run.endedMs - stopped.run.stopSentMs, 1500);
}

TEST(Stop, AStopFilePresentAtTheStartStopsTheRunBeforeItsFirstRequest) {
  StopFileRun stopped({}, "", 3 * kMiB, true);
  stopped.expectCancelled();
  EXPECT_EQ(stopped.store.get("/_control/requests"), "[]");
}

// The example caller of the Windows zip (examples/gui-caller.c, beside the
// uploader in the zip's examples folder): it starts the uploader without a
// console, its output sent to NUL, prints each change of the progress file,
// creates the stop file once the progress shows "parts", and reports the
// exit status and the result file.
TEST(Stop, TheExampleGuiCallerStopsARunWithoutAConsole) {
  if (!uploaderIsWindows()) GTEST_SKIP() << "the example caller is a Windows program";
  TempDir dir;
  LocalStore store;
  // Every part's answer is held back, so the parts are still going when the stop comes.
  store.post("/_control/faults",
             rulesJson({Rule("part-put", "pass").nth(1).through(6).delayMs(2000)}));
  writeFile(dir.file("input.bin"), patternBytes(6 * kMiB, 9));
  const std::string progress = uploaderPath(dir.file("p.json"));
  const std::string stop = uploaderPath(dir.file("stop.now"));
  const std::string result = uploaderPath(dir.file("result.json"));
  const std::string config = writeConfig(
      dir, store, uploaderPath(dir.file("input.bin")),
      {{"partsize", "#1"}, {"output", result}, {"progressfile", progress}, {"stopfile", stop},
       {"codepage", "UTF-8"}});
  std::string output;
  const int status = runBesideUploader(
      "examples/gui-caller.exe",
      {uploaderPath(placeUploader(dir.path())), uploaderPath(config), progress, stop, result,
       "parts"},
      &output);
  EXPECT_EQ(status, 0) << output;
  EXPECT_EQ(readFile(dir.file("result.json")),
            R"({"code":"failed","message":"upload cancelled!","data":{"fileitemid":"","fileitemname":""}})");
  rapidjson::Document progressJson;
  progressJson.Parse(readFile(dir.file("p.json")).c_str());
  EXPECT_EQ(stringAt(progressJson, "phase"), "cancelled");
  EXPECT_EQ(store.count("merge"), 0);
  EXPECT_THAT(output, HasSubstr("\nprogress: phase=parts bytes="));
  EXPECT_THAT(output, HasSubstr(" total=6291456\n"));
  EXPECT_THAT(output, HasSubstr("\nstop file created\n"));
  EXPECT_THAT(output, HasSubstr("\nprogress: phase=cancelled bytes="));
  EXPECT_THAT(output, HasSubstr("\nexit status: 0\nresult: "
                                R"({"code":"failed","message":"upload cancelled!")"));
  std::printf("%s", output.c_str());  // the example's own words, for the record
}

}  // namespace
}  // namespace corvane::e2e
