#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

#include <rapidjson/document.h>
#include <xxhash.h>

namespace corvane::e2e {

// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes away.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// The local stand-in service, started on a free loopback port with its own
// data directory and stopped when the object goes away.
class LocalStore {
 public:
  explicit LocalStore(std::vector<std::string> extraArguments = {});
  ~LocalStore();
  LocalStore(const LocalStore&) = delete;
  LocalStore& operator=(const LocalStore&) = delete;

  std::string baseUrl() const { return "http://127.0.0.1:" + std::to_string(port_); }
  int port() const { return port_; }
  const std::string& dataDir() const { return data_.path(); }

  // GET or POST a control endpoint; the response body.
  std::string get(const std::string& path) const;
  std::string post(const std::string& path, const std::string& body) const;
  // DELETE a control endpoint; the response body.
  std::string remove(const std::string& path) const;
  // The request log as a parsed JSON array.
  rapidjson::Document requests() const;
  // Request counts by kind.
  int count(const std::string& kind) const;
  // The bytes stored for a file item.
  std::string storedBytes(const std::string& fileItemId) const;

  static constexpr const char* kAppKey = "app-key-1";
  static constexpr const char* kAppSecret = "s3cr&t=+/key";

 private:
  TempDir data_;
  TempDir scratch_;  // the stand-in's stderr, removed with the object
  pid_t pid_ = -1;
  int port_ = 0;
};

// The uploader under test: this build's own, or the program that
// CORVANE_E2E_UPLOADER names, started through the command in
// CORVANE_E2E_LAUNCHER (absolute paths, words separated by blanks). For the
// Windows build under Wine:
//   CORVANE_E2E_UPLOADER=/abs/build-windows/bin/corvane-upload.exe
//   CORVANE_E2E_LAUNCHER="/abs/scripts/wine-env /abs/build-windows run"
// A program whose name ends in ".exe" is taken for the Windows build.
bool uploaderIsWindows();

// Skips the calling test, saying why, when the uploader is the Windows build.
#define SKIP_FOR_WINDOWS_UPLOADER(reason)                           \
  do {                                                              \
    if (::corvane::e2e::uploaderIsWindows()) {                      \
      GTEST_SKIP() << "not for the Windows build: " << (reason);    \
    }                                                               \
  } while (false)

// The reason a test that never starts the uploader skips the Windows run.
inline constexpr const char* kNoUploaderRun =
    "it checks the stand-in or the harness alone, which the Linux run covers";

// The absolute Linux `path` as the uploader names it: itself, or for the
// Windows build the same place on Wine's drive Z: ("Z:\tmp\...").
std::string uploaderPath(const std::string& path);

// `utf8` in the uploader's default code page: itself on Linux, GBK on Windows.
std::string inDefaultCodepage(const std::string& utf8);
// `utf8` in GBK, whatever the uploader.
std::string gbkOf(const std::string& utf8);

// Copies the uploader into `directory` (created when missing) under its own
// file name, or under `name` (UTF-8, ".exe" added for the Windows build),
// unless it is there already; the copy's path.
std::string placeUploader(const std::string& directory, const std::string& name = "");

// Runs `program`, which lies beside the uploader under test (a helper of the
// Windows build), with `arguments` through the same launcher; its exit
// status, or -1 when it could not be started. With `output`, its standard
// output is kept there (CRLF read back as LF).
int runBesideUploader(const std::string& program, const std::vector<std::string>& arguments,
                      std::string* output = nullptr);

// What one run of the uploader left behind. Standard output, standard error
// and the log files are compared as text: the Windows build's CRLF line ends
// (the C runtime's text mode) are read back as LF.
struct RunResult {
  int exitStatus = -1;
  std::string out;
  std::string rawOut;  // standard output byte for byte
  std::string err;
  std::string logs;  // every log file's content, concatenated
  std::vector<std::string> logFiles;
  bool timedOut = false;  // set by runUploaderWithin when it had to kill the run
  bool stopped = false;   // ended by the harness once RunOptions::stopWhenErrHas appeared
  int64_t stopSentMs = 0;  // real time (ms since 1970) the stop signal was sent
  int64_t endedMs = 0;     // real time (ms since 1970) the run was seen to end
};

// Runs a copy of the uploader placed in `dir` (so its logs folder lands
// there) with `arguments`, from `dir` as working directory.
RunResult runUploader(const TempDir& dir, const std::vector<std::string>& arguments);

// A configuration for `store` uploading `localFile`; `overrides` replace or add
// keys (a value of "null" removes the key; values starting with '#' are raw
// JSON, e.g. "#5").
std::string writeConfig(const TempDir& dir, const LocalStore& store, const std::string& localFile,
                        const std::map<std::string, std::string>& overrides = {});
// The same for services at `baseUrl`.
std::string writeConfigFor(const TempDir& dir, const std::string& baseUrl,
                           const std::string& localFile,
                           const std::map<std::string, std::string>& overrides = {});

std::string readFile(const std::string& path);
bool fileExists(const std::string& path);
void writeFile(const std::string& path, const std::string& content);
// Deterministic pseudo-random bytes.
std::string patternBytes(size_t size, unsigned seed = 1);
std::string sha256Hex(const std::string& bytes);
// XXH3-128 of `bytes` in the form the stand-in's sink writes (xxh128sum's).
std::string xxh128Hex(const std::string& bytes);
// A finished XXH3-128 hash in that form.
std::string xxh128HexOf(XXH128_hash_t hash);

// As runUploader, but a run still going after `limitSeconds` is killed, so a
// hanging exchange fails the test instead of stalling it.
RunResult runUploaderWithin(const TempDir& dir, const std::vector<std::string>& arguments,
                            int limitSeconds);

// How runUploaderWith() starts the uploader.
struct RunOptions {
  // Where the copy of the uploader lies (its logs folder goes beside it);
  // `dir` itself when empty. Created when missing.
  std::string executableDir;
  // The copy's file name as placeUploader() takes it; the uploader's own when
  // empty.
  std::string executableName;
  // When the tests run as root: the user the uploader runs as, so that file
  // permissions bind it as they bind an ordinary user (Linux build only).
  std::string user;
  // NAME=value entries added to (or replacing those of) the environment.
  std::vector<std::string> environment;
  int limitSeconds = 60;
  // When not empty: the run is ended as soon as a whole line of its standard
  // error holds this text.
  std::string stopWhenErrHas;
  // How it is ended then: SIGKILL at once, or this signal, after which the
  // run is waited for until it ends (or its time limit passes).
  int stopSignal = 0;
  // Standard output is a pipe whose reader has gone (a caller that stopped
  // reading), with SIGPIPE at its default: nothing of it is kept.
  bool closedStandardOutput = false;
  // Instead of a signal: a file is created at this path (the uploader's
  // `stopfile`), and the run is waited for as after a signal.
  std::string stopFile;
};

// Runs the uploader from `dir` as working directory, as `options` say.
RunResult runUploaderWith(const TempDir& dir, const std::vector<std::string>& arguments,
                          const RunOptions& options);

// One upload run with the uploader (killed after `limitSeconds`): `content` is
// written to input.bin in `dir`, a configuration with `overrides` is written,
// the uploader runs and the result file is read back.
struct UploadRun {
  RunResult run;
  std::string result;  // the result file's text, empty when none was written
  rapidjson::Document resultJson;
  // "data"."fileitemid" of the result file, empty when there is none.
  std::string fileItemId() const;
};
UploadRun uploadContent(const TempDir& dir, const LocalStore& store, const std::string& content,
                        const std::map<std::string, std::string>& overrides = {},
                        int limitSeconds = 60);

std::string base64Of(const std::string& bytes);
// A string member of a JSON object, empty when missing or not a string.
std::string stringAt(const rapidjson::Value& object, const char* name);
// A request header as the stand-in recorded it (lower-case name), empty when
// the request did not carry it.
std::string headerOf(const rapidjson::Value& request, const char* name);
// Whether the request carried any header whose name starts with `prefix`.
bool hasHeaderWithPrefix(const rapidjson::Value& request, const std::string& prefix);
// The lines of `text`, split at line feeds.
std::vector<std::string> linesOf(const std::string& text);
// The messages of the log lines in `text` holding `needle`, each without the
// logging library's prefix (up to "] ").
std::vector<std::string> logMessagesWith(const std::string& text, const std::string& needle);

// The "kind" of every request in the log, in arrival order.
std::vector<std::string> kindsOf(const rapidjson::Value& requests);

// Fails the calling test when the run's stderr or a log file holds the
// application secret (as it stands or form-encoded), the Base64 credential of
// key and secret (as it stands or percent-encoded), or the query of a signed
// part URL ("signature=").
void expectNoSecrets(const RunResult& run);

}  // namespace corvane::e2e
