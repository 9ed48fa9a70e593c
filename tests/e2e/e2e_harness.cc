#include "e2e_harness.h"

#include <dirent.h>
#include <fcntl.h>
#include <iconv.h>
#include <openssl/evp.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <httplib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

extern char** environ;

namespace corvane::e2e {
namespace fs = std::filesystem;

TempDir::TempDir() {
  std::string templ = (fs::temp_directory_path() / "corvane-e2e-XXXXXX").string();
  if (!mkdtemp(templ.data())) throw std::runtime_error("mkdtemp failed");
  path_ = templ;
}

TempDir::~TempDir() {
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

bool fileExists(const std::string& path) { return fs::exists(path); }

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

void writeFile(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

std::string patternBytes(size_t size, unsigned seed) {
  std::mt19937 generator(seed);
  std::string bytes(size, '\0');
  for (char& byte : bytes) byte = static_cast<char>(generator() & 0xFF);
  return bytes;
}

std::string sha256Hex(const std::string& bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr);
  std::string hex;
  char pair[3];
  for (unsigned int i = 0; i < length; ++i) {
    std::snprintf(pair, sizeof pair, "%02x", digest[i]);
    hex += pair;
  }
  return hex;
}

std::string xxh128HexOf(XXH128_hash_t hash) {
  XXH128_canonical_t canonical;
  XXH128_canonicalFromHash(&canonical, hash);
  static const char* digits = "0123456789abcdef";
  std::string hex;
  for (unsigned char c : canonical.digest) {
    hex += digits[c >> 4];
    hex += digits[c & 15];
  }
  return hex;
}

std::string xxh128Hex(const std::string& bytes) {
  return xxh128HexOf(XXH3_128bits(bytes.data(), bytes.size()));
}

namespace {

// The uploader the suite runs and how it is started.
struct Uploader {
  std::string program;
  std::vector<std::string> launcher;
  bool windows = false;
};

std::vector<std::string> wordsOf(const char* text) {
  std::vector<std::string> words;
  std::istringstream in(text ? text : "");
  for (std::string word; in >> word;) words.push_back(word);
  return words;
}

const Uploader& uploader() {
  static const Uploader chosen = [] {
    Uploader u;
    const char* program = std::getenv("CORVANE_E2E_UPLOADER");
    u.program = program && *program ? program : CORVANE_UPLOAD_PATH;
    u.launcher = wordsOf(std::getenv("CORVANE_E2E_LAUNCHER"));
    u.windows = u.program.size() > 4 && u.program.compare(u.program.size() - 4, 4, ".exe") == 0;
    return u;
  }();
  return chosen;
}

// Text written in the Windows C runtime's text mode, read back as written:
// each CRLF it made of an LF is an LF again ("\r\r\n" stays "\r\n").
std::string fromTextMode(const std::string& text) {
  if (!uploader().windows) return text;
  std::string plain;
  plain.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    plain += text[i];
  }
  return plain;
}

std::vector<char*> argvOf(std::vector<std::string>& arguments) {
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  return argv;
}

// The launcher's words, then `program` and `arguments`.
std::vector<std::string> commandOf(const std::string& program,
                                   const std::vector<std::string>& arguments) {
  std::vector<std::string> command = uploader().launcher;
  command.push_back(program);
  command.insert(command.end(), arguments.begin(), arguments.end());
  return command;
}

// Reads one line from `fd`, a byte at a time, so nothing after it is taken.
std::string readLine(int fd) {
  std::string line;
  char c;
  while (::read(fd, &c, 1) == 1 && c != '\n') line += c;
  return line;
}

}  // namespace

LocalStore::LocalStore(std::vector<std::string> extraArguments) {
  std::vector<std::string> arguments = {LOCALSTORE_PATH, "--data", data_.path(), "--appkey",
                                        kAppKey, "--appsecret", kAppSecret, "--port", "0"};
  arguments.insert(arguments.end(), extraArguments.begin(), extraArguments.end());
  int pipeFds[2];
  if (pipe(pipeFds) != 0) throw std::runtime_error("pipe failed");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
  posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
  std::string errPath = scratch_.file("localstore.stderr");
  posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  auto argv = argvOf(arguments);
  int spawned = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(pipeFds[1]);
  if (spawned != 0) throw std::runtime_error("cannot start the local store");
  std::string line = readLine(pipeFds[0]);
  close(pipeFds[0]);
  const std::string prefix = "listening on 127.0.0.1:";
  if (line.rfind(prefix, 0) != 0) throw std::runtime_error("local store said: " + line);
  port_ = std::stoi(line.substr(prefix.size()));
}

LocalStore::~LocalStore() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
  }
}

std::string LocalStore::get(const std::string& path) const {
  httplib::Client client("127.0.0.1", port_);
  auto response = client.Get(path.c_str());
  return response ? response->body : std::string();
}

std::string LocalStore::post(const std::string& path, const std::string& body) const {
  httplib::Client client("127.0.0.1", port_);
  auto response = client.Post(path.c_str(), body, "application/json");
  return response ? response->body : std::string();
}

std::string LocalStore::remove(const std::string& path) const {
  httplib::Client client("127.0.0.1", port_);
  auto response = client.Delete(path.c_str());
  return response ? response->body : std::string();
}

rapidjson::Document LocalStore::requests() const {
  rapidjson::Document document;
  document.Parse(get("/_control/requests").c_str());
  return document;
}

int LocalStore::count(const std::string& kind) const {
  rapidjson::Document document;
  document.Parse(get("/_control/stats").c_str());
  if (!document.IsObject() || !document.HasMember(kind.c_str())) return 0;
  return document[kind.c_str()].GetInt();
}

std::string LocalStore::storedBytes(const std::string& fileItemId) const {
  return readFile(data_.path() + "/items/" + fileItemId + ".bin");
}

bool uploaderIsWindows() { return uploader().windows; }

std::string uploaderPath(const std::string& path) {
  if (!uploader().windows) return path;
  std::string windowsPath = "Z:" + path;
  std::replace(windowsPath.begin(), windowsPath.end(), '/', '\\');
  return windowsPath;
}

std::string inDefaultCodepage(const std::string& utf8) {
  return uploader().windows ? gbkOf(utf8) : utf8;
}

std::string gbkOf(const std::string& utf8) {
  iconv_t cd = iconv_open("GBK", "UTF-8");
  if (cd == reinterpret_cast<iconv_t>(-1)) throw std::runtime_error("no GBK converter");
  std::string in = utf8;
  std::string out(utf8.size() * 2 + 4, '\0');
  char* inPtr = in.data();
  size_t inLeft = in.size();
  char* outPtr = out.data();
  size_t outLeft = out.size();
  size_t converted = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
  iconv_close(cd);
  if (converted == static_cast<size_t>(-1)) throw std::runtime_error("not convertible to GBK");
  out.resize(out.size() - outLeft);
  return out;
}

std::string placeUploader(const std::string& directory, const std::string& name) {
  fs::create_directories(directory);
  const std::string copy = directory + "/" + (name.empty() ? "corvane-upload" : name) +
                           (uploader().windows ? ".exe" : "");
  if (!fs::exists(copy)) fs::copy_file(uploader().program, copy);
  return copy;
}

namespace {

int runBesideUploaderOnce(const std::string& program, const std::vector<std::string>& arguments,
                          std::string* output) {
  const std::string path = fs::path(uploader().program).parent_path() / program;
  std::vector<std::string> command = commandOf(path, arguments);
  auto argv = argvOf(command);
  TempDir scratch;
  const std::string outFile = scratch.file("stdout");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (output != nullptr) {
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outFile.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
  }
  pid_t pid = -1;
  const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return -1;
  int status = 0;
  const bool exited = waitpid(pid, &status, 0) == pid && WIFEXITED(status);
  if (output != nullptr) output->assign(fromTextMode(readFile(outFile)));
  return exited ? WEXITSTATUS(status) : -1;
}

}  // namespace

int runBesideUploader(const std::string& program, const std::vector<std::string>& arguments,
                      std::string* output) {
  const int status = runBesideUploaderOnce(program, arguments, output);
  // A helper that ended with status 1 having written nothing may be a
  // process Wine could not start (see runUploaderWith): the example caller
  // writes a line before anything else, and the certificate helper's
  // changes may be made twice.
  if (!uploader().windows || status != 1 || (output != nullptr && !output->empty())) return status;
  std::cerr << "[harness] " << program << " ended with exit status 1 having written nothing;"
            << " starting it again\n";
  return runBesideUploaderOnce(program, arguments, output);
}

RunResult runUploader(const TempDir& dir, const std::vector<std::string>& arguments) {
  // No run of the suite comes near this; it only keeps a hang from stalling CI.
  return runUploaderWithin(dir, arguments, 300);
}

std::string writeConfig(const TempDir& dir, const LocalStore& store, const std::string& localFile,
                        const std::map<std::string, std::string>& overrides) {
  return writeConfigFor(dir, store.baseUrl(), localFile, overrides);
}

std::string writeConfigFor(const TempDir& dir, const std::string& baseUrl,
                           const std::string& localFile,
                           const std::map<std::string, std::string>& overrides) {
  std::map<std::string, std::string> keys = {
      {"accounturl", baseUrl},            {"rooturl", baseUrl},
      {"appkey", LocalStore::kAppKey},    {"appsecret", LocalStore::kAppSecret},
      {"projectid", "4242"},              {"targetname", "sample.bin"},
      {"localfile", localFile},           {"output", dir.file("result.json")},
      {"partsize", "#1"},
  };
  for (const auto& [key, value] : overrides) {
    if (value == "null") {
      keys.erase(key);
    } else {
      keys[key] = value;
    }
  }
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  writer.StartObject();
  for (const auto& [key, value] : keys) {
    writer.Key(key.c_str());
    if (!value.empty() && value[0] == '#') {
      writer.RawValue(value.c_str() + 1, value.size() - 1, rapidjson::kNumberType);
    } else {
      writer.String(value.c_str());
    }
  }
  writer.EndObject();
  const std::string path = dir.file("config.json");
  writeFile(path, buffer.GetString());
  return path;
}

RunResult runUploaderWithin(const TempDir& dir, const std::vector<std::string>& arguments,
                            int limitSeconds) {
  RunOptions options;
  options.limitSeconds = limitSeconds;
  return runUploaderWith(dir, arguments, options);
}

namespace {

// The process environment with `extra` NAME=value entries added or replaced.
std::vector<std::string> environmentWith(const std::vector<std::string>& extra) {
  std::vector<std::string> entries;
  for (char** entry = environ; *entry; ++entry) {
    std::string text = *entry;
    std::string name = text.substr(0, text.find('='));
    bool replaced = false;
    for (const std::string& override : extra) replaced |= override.rfind(name + "=", 0) == 0;
    if (!replaced) entries.push_back(text);
  }
  entries.insert(entries.end(), extra.begin(), extra.end());
  return entries;
}

}  // namespace

namespace {

// Real time in milliseconds since 1970.
int64_t nowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// Whether a whole line (one that has its line end) of `text` holds `needle`.
bool lineHolds(const std::string& text, const std::string& needle) {
  size_t at = text.find(needle);
  return at != std::string::npos && text.find('\n', at) != std::string::npos;
}

// Waits for `pid` until it ends, its time limit passes (then it is killed and
// the result marked timed out) or its standard error in `errPath` holds
// options.stopWhenErrHas (then it is killed and the result marked stopped);
// its exit status.
int waitForRun(pid_t pid, const RunOptions& options, const std::string& errPath,
               RunResult& result) {
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(options.limitSeconds);
  int status = 0;
  pid_t waited = 0;
  // Polls every 10 ms.
  while ((waited = waitpid(pid, &status, WNOHANG)) == 0) {
    if (std::chrono::steady_clock::now() >= deadline) {
      result.timedOut = true;
      break;
    }
    const std::string& stopText = options.stopWhenErrHas;
    if (!result.stopped && !stopText.empty() && lineHolds(readFile(errPath), stopText)) {
      result.stopped = true;
      if (options.stopSignal == 0 && options.stopFile.empty()) break;
      result.stopSentMs = nowMs();
      if (options.stopFile.empty()) {
        kill(pid, options.stopSignal);
      } else {
        writeFile(options.stopFile, "stop");
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  result.endedMs = nowMs();
  if (waited == 0) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

namespace {

// One run of the uploader, as runUploaderWith() describes.
RunResult runUploaderOnce(const TempDir& dir, const std::vector<std::string>& arguments,
                          const RunOptions& options) {
  const std::string binDir = options.executableDir.empty() ? dir.path() : options.executableDir;
  const std::string executable = placeUploader(binDir, options.executableName);
  std::vector<std::string> all;
  if (!options.user.empty() && !uploader().windows && geteuid() == 0) {
    all = {"/usr/bin/setpriv", "--reuid=" + options.user, "--regid=nogroup", "--clear-groups",
           "--"};
  }
  const std::vector<std::string> command = commandOf(executable, arguments);
  all.insert(all.end(), command.begin(), command.end());
  const std::string outPath = dir.file("stdout.txt");
  const std::string errPath = dir.file("stderr.txt");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  int pipeEnds[2] = {-1, -1};
  if (options.closedStandardOutput && pipe2(pipeEnds, O_CLOEXEC) == 0) {
    ::close(pipeEnds[0]);
    posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], 1);
  } else {
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
  }
  posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  // The run meets SIGPIPE as a caller's child would, whatever this process
  // does with it.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
  auto argv = argvOf(all);
  std::vector<std::string> environment = environmentWith(options.environment);
  auto envp = argvOf(environment);
  std::string cwd = fs::current_path().string();
  fs::current_path(dir.path());
  pid_t pid = -1;
  int spawned = posix_spawnp(&pid, argv[0], &actions, &attributes, argv.data(), envp.data());
  fs::current_path(cwd);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (pipeEnds[1] >= 0) ::close(pipeEnds[1]);
  RunResult result;
  if (spawned != 0) return result;
  result.exitStatus = waitForRun(pid, options, errPath, result);
  result.rawOut = readFile(outPath);
  result.out = fromTextMode(result.rawOut);
  result.err = fromTextMode(readFile(errPath));
  const std::string logs = binDir + "/logs";
  if (fs::is_directory(logs)) {
    for (const auto& entry : fs::directory_iterator(logs)) {
      result.logFiles.push_back(entry.path().filename().string());
      result.logs += fromTextMode(readFile(entry.path().string()));
    }
  }
  return result;
}

// The bytes of every log file in `binDir`'s logs folder.
uintmax_t logBytesIn(const std::string& binDir) {
  std::error_code error;
  uintmax_t bytes = 0;
  for (const auto& entry : fs::directory_iterator(binDir + "/logs", error)) {
    if (entry.is_regular_file(error)) bytes += entry.file_size(error);
  }
  return bytes;
}

}  // namespace

RunResult runUploaderWith(const TempDir& dir, const std::vector<std::string>& arguments,
                          const RunOptions& options) {
  const std::string binDir = options.executableDir.empty() ? dir.path() : options.executableDir;
  const uintmax_t logsBefore = logBytesIn(binDir);
  const int64_t startedMs = nowMs();
  RunResult result = runUploaderOnce(dir, arguments, options);
  // Every run logs its version line first: a failed run without it never
  // reached the program (a process Wine could not start ends so, in a
  // fraction of a second). Said in the test's own output, beside whatever
  // then fails.
  if (result.exitStatus == 0 || !result.err.empty() || result.timedOut || result.stopped) {
    return result;
  }
  std::cerr << "[harness] " << placeUploader(binDir, options.executableName)
            << " ended with exit status " << result.exitStatus << " after "
            << result.endedMs - startedMs << " ms and wrote nothing to standard error;"
            << " standard output: \"" << result.out.substr(0, 200) << "\"\n";
  // Under Wine the program's first acts are its log file and the echo of its
  // arguments: a run that left neither never reached it and sent nothing,
  // so it is started once more.
  if (uploader().windows && result.rawOut.empty() && logBytesIn(binDir) == logsBefore) {
    std::cerr << "[harness] the Windows uploader never started (exit status "
              << result.exitStatus << "); starting it again\n";
    result = runUploaderOnce(dir, arguments, options);
  }
  return result;
}

std::string UploadRun::fileItemId() const {
  if (!resultJson.IsObject() || !resultJson.HasMember("data")) return {};
  return stringAt(resultJson["data"], "fileitemid");
}

UploadRun uploadContent(const TempDir& dir, const LocalStore& store, const std::string& content,
                        const std::map<std::string, std::string>& overrides, int limitSeconds) {
  writeFile(dir.file("input.bin"), content);
  UploadRun upload;
  upload.run = runUploaderWithin(
      dir, {"-cfg", writeConfig(dir, store, dir.file("input.bin"), overrides)}, limitSeconds);
  upload.result = readFile(dir.file("result.json"));
  upload.resultJson.Parse(upload.result.c_str());
  return upload;
}

std::string base64Of(const std::string& bytes) {
  std::string encoded(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(encoded.data()),
                               reinterpret_cast<const unsigned char*>(bytes.data()),
                               static_cast<int>(bytes.size()));
  encoded.resize(static_cast<size_t>(length));
  return encoded;
}

std::string stringAt(const rapidjson::Value& object, const char* name) {
  if (!object.IsObject()) return {};
  auto member = object.FindMember(name);
  if (member == object.MemberEnd() || !member->value.IsString()) return {};
  return std::string(member->value.GetString(), member->value.GetStringLength());
}

std::string headerOf(const rapidjson::Value& request, const char* name) {
  if (!request.IsObject() || !request.HasMember("headers")) return {};
  return stringAt(request["headers"], name);
}

bool hasHeaderWithPrefix(const rapidjson::Value& request, const std::string& prefix) {
  if (!request.IsObject() || !request.HasMember("headers") || !request["headers"].IsObject()) {
    return false;
  }
  for (const auto& header : request["headers"].GetObject()) {
    if (std::string(header.name.GetString()).rfind(prefix, 0) == 0) return true;
  }
  return false;
}

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

std::vector<std::string> logMessagesWith(const std::string& text, const std::string& needle) {
  std::vector<std::string> messages;
  for (const std::string& line : linesOf(text)) {
    if (line.find(needle) == std::string::npos) continue;
    size_t bracket = line.find("] ");
    messages.push_back(bracket == std::string::npos ? line : line.substr(bracket + 2));
  }
  return messages;
}

std::vector<std::string> kindsOf(const rapidjson::Value& requests) {
  std::vector<std::string> kinds;
  if (!requests.IsArray()) return kinds;
  for (const auto& request : requests.GetArray()) kinds.push_back(stringAt(request, "kind"));
  return kinds;
}

void expectNoSecrets(const RunResult& run) {
  const std::string secret = LocalStore::kAppSecret;
  const std::string credential = base64Of(std::string(LocalStore::kAppKey) + ":" + secret);
  // The forms a leaked URL or form body would show them in.
  auto encoded = [](const std::string& text) { return httplib::detail::encode_query_param(text); };
  const std::vector<std::pair<std::string, std::string>> secrets = {
      {"the application secret", secret},
      {"the encoded application secret", encoded(secret)},
      {"the Base64 credential", credential},
      {"the encoded Base64 credential", encoded(credential)},
      {"a signed URL's query", "signature="},
  };
  for (const auto& [what, text] : secrets) {
    EXPECT_EQ(run.err.find(text), std::string::npos) << what << " is in stderr";
    EXPECT_EQ(run.logs.find(text), std::string::npos) << what << " is in a log file";
  }
}

}  // namespace corvane::e2e
