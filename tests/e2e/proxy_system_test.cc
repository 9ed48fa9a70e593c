// The Windows build behind the proxy that the current user's Windows
// settings name, with no key and no environment variable: the fixed proxy
// (per scheme), its bypass list, and an automatic configuration script,
// against a real proxy on loopback (Debian's squid).
//
// The settings are written into the Wine prefix's registry for the test's
// lifetime: the values a user's settings dialog keeps (ProxyEnable,
// ProxyServer, ProxyOverride, AutoConfigURL) and the binary connection
// settings beside them, which are what WinHTTP reads for the current user.
// They hold for every Windows program in the prefix, so this program's tests
// run alone (RUN_SERIAL).
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "e2e_harness.h"
#include "squid_proxy.h"

extern char** environ;

namespace corvane::e2e {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Not;

constexpr const char* kSettingsKey =
    R"(HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings)";
constexpr const char* kConnectionsKey =
    R"(HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings\Connections)";

// Runs Wine's reg.exe through the uploader's launcher; its exit status.
int reg(const std::vector<std::string>& arguments) {
  std::vector<std::string> command;
  std::istringstream launcher(
      std::getenv("CORVANE_E2E_LAUNCHER") ? std::getenv("CORVANE_E2E_LAUNCHER") : "");
  for (std::string word; launcher >> word;) command.push_back(word);
  command.push_back("reg");
  command.insert(command.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& word : command) argv.push_back(word.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  int status = 0;
  if (spawned != 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

// The current user's proxy settings as Windows keeps them.
struct WindowsSettings {
  std::string proxy;   // ProxyServer: "host:port" or "http=...;https=..."
  std::string bypass;  // ProxyOverride
  std::string autoConfigUrl;
};

// WinINet's binary connection settings: a header (version, a change
// counter, flags), then the proxy, the bypass list and the script URL, each
// a 32-bit length and its bytes, as hex for reg.exe.
std::string connectionSettingsHex(const WindowsSettings& settings) {
  constexpr uint32_t kDirect = 1, kProxy = 2, kScript = 4;
  std::string bytes;
  auto word = [&bytes](uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes += static_cast<char>((value >> (8 * i)) & 0xFF);
  };
  auto text = [&](const std::string& value) {
    word(static_cast<uint32_t>(value.size()));
    bytes += value;
  };
  word(0x46);
  word(1);
  word(kDirect | (settings.proxy.empty() ? 0 : kProxy) |
       (settings.autoConfigUrl.empty() ? 0 : kScript));
  text(settings.proxy);
  text(settings.bypass);
  text(settings.autoConfigUrl);
  bytes.append(32, '\0');
  static const char* digits = "0123456789abcdef";
  std::string hex;
  for (unsigned char c : bytes) {
    hex += digits[c >> 4];
    hex += digits[c & 15];
  }
  return hex;
}

// `settings` in the prefix's registry while the object lives.
class WindowsProxySettings {
 public:
  explicit WindowsProxySettings(const WindowsSettings& settings) {
    clear();
    written_ = set("ProxyEnable", "REG_DWORD", settings.proxy.empty() ? "0" : "1") &&
               (settings.proxy.empty() || set("ProxyServer", "REG_SZ", settings.proxy)) &&
               (settings.bypass.empty() || set("ProxyOverride", "REG_SZ", settings.bypass)) &&
               (settings.autoConfigUrl.empty() ||
                set("AutoConfigURL", "REG_SZ", settings.autoConfigUrl)) &&
               reg({"add", kConnectionsKey, "/v", "DefaultConnectionSettings", "/t", "REG_BINARY",
                    "/d", connectionSettingsHex(settings), "/f"}) == 0;
  }
  ~WindowsProxySettings() { clear(); }
  WindowsProxySettings(const WindowsProxySettings&) = delete;
  WindowsProxySettings& operator=(const WindowsProxySettings&) = delete;

  bool written() const { return written_; }

 private:
  static bool set(const char* name, const char* type, const std::string& value) {
    return reg({"add", kSettingsKey, "/v", name, "/t", type, "/d", value, "/f"}) == 0;
  }
  static void clear() {
    for (const char* name : {"ProxyEnable", "ProxyServer", "ProxyOverride", "AutoConfigURL"}) {
      reg({"delete", kSettingsKey, "/v", name, "/f"});
    }
    reg({"delete", kConnectionsKey, "/v", "DefaultConnectionSettings", "/f"});
  }

  bool written_ = false;
};

// An automatic configuration script served on loopback.
class ScriptServer {
 public:
  explicit ScriptServer(const std::string& script) {
    server_.Get("/proxy.pac", [this, script](const httplib::Request&, httplib::Response& response) {
      fetches_.fetch_add(1);
      response.set_content(script, "application/x-ns-proxy-autoconfig");
    });
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    for (int i = 0; i < 500 && !server_.is_running(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  ~ScriptServer() {
    server_.stop();
    thread_.join();
  }
  std::string url(const std::string& path = "/proxy.pac") const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }
  int fetches() const { return fetches_.load(); }

 private:
  httplib::Server server_;
  std::thread thread_;
  int port_ = 0;
  std::atomic<int> fetches_{0};
};

const std::string kContent = patternBytes(3 * 512 * 1024 + 5, 12);
// Where no proxy listens: a route through it would fail.
const std::string kDeadProxy = "127.0.0.1:9";
// No variable of the test's own environment reaches the run.
const std::vector<std::string> kNoProxyVariables = {
    "http_proxy=", "https_proxy=", "HTTPS_PROXY=", "all_proxy=",
    "ALL_PROXY=",  "no_proxy=",    "NO_PROXY="};

class WindowsProxySystemSettings : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!uploaderIsWindows()) {
      GTEST_SKIP()
          << "the system's proxy settings are Windows's; elsewhere the system reports none "
             "(proxy_choice_test.cc covers the choice with a fake of the WinHTTP answers)";
    }
    ASSERT_TRUE(SquidProxy::installed())
        << SquidProxy::kProgram << " is missing: scripts/install-deps installs squid";
    ASSERT_TRUE(proxy.running()) << proxy.cacheLog();
  }

  UploadRun upload(const std::map<std::string, std::string>& overrides = {},
                   std::vector<std::string> environment = kNoProxyVariables) {
    writeFile(dir.file("input.bin"), kContent);
    RunOptions options;
    options.environment = std::move(environment);
    options.limitSeconds = 120;
    UploadRun run;
    run.run = runUploaderWith(
        dir, {"-cfg", writeConfig(dir, store, dir.file("input.bin"), overrides)}, options);
    run.result = readFile(dir.file("result.json"));
    run.resultJson.Parse(run.result.c_str());
    return run;
  }

  void expectStored(const UploadRun& run) {
    ASSERT_EQ(run.run.exitStatus, 0) << run.run.err;
    ASSERT_FALSE(run.fileItemId().empty()) << run.result << run.run.err;
    EXPECT_EQ(store.storedBytes(run.fileItemId()), kContent);
  }

  // Every request the stand-in received after its first `before` went
  // through the proxy.
  void expectAllThroughTheProxy(size_t before = 0) {
    rapidjson::Document requests = store.requests();
    ASSERT_TRUE(requests.IsArray());
    ASSERT_GT(requests.Size(), before);
    const size_t expected = requests.Size() - before;
    EXPECT_EQ(proxy.accessLinesWith(" HIER_DIRECT/", expected).size(), expected)
        << proxy.accessLog();
  }

  std::vector<std::string> routeLines(const UploadRun& run) {
    return logMessagesWith(run.run.err, "proxy for ");
  }

  SquidProxy proxy{ProxyAuth::kNone};
  LocalStore store;
  TempDir dir;
};

TEST_F(WindowsProxySystemSettings, TheFixedProxyForTheSchemeCarriesTheUpload) {
  WindowsProxySettings settings(
      {"https=" + kDeadProxy + ";http=" + proxy.hostPort(), "<local>", ""});
  ASSERT_TRUE(settings.written());
  UploadRun run = upload();
  expectStored(run);
  expectAllThroughTheProxy();
  EXPECT_THAT(routeLines(run),
              ElementsAre("proxy for 127.0.0.1: " + proxy.url() + " (system settings)"));
}

TEST_F(WindowsProxySystemSettings, TheBypassListSendsTheStandInDirect) {
  WindowsProxySettings settings({kDeadProxy, "<local>;127.0.0.1", ""});
  ASSERT_TRUE(settings.written());
  UploadRun run = upload();
  expectStored(run);
  EXPECT_EQ(proxy.accessLog(), "");
  EXPECT_THAT(routeLines(run), ElementsAre("proxy for 127.0.0.1: direct (bypass list)"));
}

TEST_F(WindowsProxySystemSettings, TheKeyAndTheEnvironmentComeBeforeTheSystemSettings) {
  WindowsProxySettings settings({kDeadProxy, "", ""});
  ASSERT_TRUE(settings.written());
  UploadRun direct = upload({{"proxy", "direct"}});
  expectStored(direct);
  EXPECT_THAT(routeLines(direct), ElementsAre("proxy for 127.0.0.1: direct (configuration)"));
  std::vector<std::string> environment = kNoProxyVariables;
  environment.push_back("http_proxy=" + proxy.url());
  const size_t sentDirect = store.requests().Size();
  EXPECT_EQ(proxy.accessLog(), "");
  UploadRun fromEnvironment = upload({}, environment);
  expectStored(fromEnvironment);
  expectAllThroughTheProxy(sentDirect);
  EXPECT_THAT(routeLines(fromEnvironment),
              ElementsAre("proxy for 127.0.0.1: " + proxy.url() + " (environment)"));
}

TEST_F(WindowsProxySystemSettings, AnAutomaticConfigurationScriptIsRunAndItsAnswerTaken) {
  ScriptServer script(
      "function FindProxyForURL(url, host) {\n"
      "  if (shExpMatch(host, \"127.0.0.1\")) return \"PROXY " +
      proxy.hostPort() +
      "\";\n"
      "  return \"DIRECT\";\n"
      "}\n");
  // The fixed proxy is dead: the script's answer is the one taken.
  WindowsProxySettings settings({kDeadProxy, "", script.url()});
  ASSERT_TRUE(settings.written());
  UploadRun run = upload();
  expectStored(run);
  expectAllThroughTheProxy();
  EXPECT_GE(script.fetches(), 1);
  EXPECT_THAT(routeLines(run), ElementsAre("proxy for 127.0.0.1: " + proxy.url() +
                                           " (automatic configuration script)"));
}

TEST_F(WindowsProxySystemSettings, AScriptThatCannotBeFetchedLeavesTheFixedProxy) {
  ScriptServer script("");
  WindowsProxySettings settings({proxy.hostPort(), "", script.url("/missing.pac")});
  ASSERT_TRUE(settings.written());
  UploadRun run = upload();
  expectStored(run);
  expectAllThroughTheProxy();
  EXPECT_THAT(
      logMessagesWith(run.run.err, "automatic proxy configuration script: "),
      ElementsAre("automatic proxy configuration script: the automatic configuration script "
                  "could not be downloaded"));
  EXPECT_THAT(routeLines(run),
              ElementsAre("proxy for 127.0.0.1: " + proxy.url() + " (system settings)"));
}

}  // namespace
}  // namespace corvane::e2e
