#pragma once

// A real web proxy for the end-to-end tests: Debian's squid on a free
// loopback port with its own configuration, logs and (optionally) users,
// started by the object and killed when it goes away. Its access log shows
// every request that went through it and as whom.

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "e2e_harness.h"

extern char** environ;

namespace corvane::e2e {

// How the proxy asks for credentials.
enum class ProxyAuth { kNone, kBasic, kDigest };

class SquidProxy {
 public:
  static constexpr const char* kProgram = "/usr/sbin/squid";
  static constexpr const char* kUser = "alice";
  static constexpr const char* kPassword = "pr0xy-s3cret";

  explicit SquidProxy(ProxyAuth auth = ProxyAuth::kBasic) : auth_(auth) {
    // The proxy drops to its own user when started as root: it must be able
    // to write its logs here.
    ::chmod(dir_.path().c_str(), 0777);
    writeFile(dir_.file("basic.passwd"),
              std::string(kUser) + ":$1$corvane$a978i.qUk5F51Zyv0iIGw/\n");
    writeFile(dir_.file("digest.passwd"), std::string(kUser) + ":" + kPassword + "\n");
    for (int attempt = 0; attempt < 3 && port_ == 0; ++attempt) start(freePort());
  }
  ~SquidProxy() { stop(); }
  SquidProxy(const SquidProxy&) = delete;
  SquidProxy& operator=(const SquidProxy&) = delete;

  static bool installed() { return ::access(kProgram, X_OK) == 0; }

  bool running() const { return port_ != 0; }
  int port() const { return port_; }
  // "http://127.0.0.1:PORT", and the same with user and password.
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }
  std::string urlWith(const std::string& user, const std::string& password) const {
    return "http://" + user + ":" + password + "@127.0.0.1:" + std::to_string(port_);
  }
  std::string urlWithCredentials() const { return urlWith(kUser, kPassword); }
  std::string hostPort() const { return "127.0.0.1:" + std::to_string(port_); }

  std::string accessLog() const { return readFile(dir_.file("access.log")); }
  std::string cacheLog() const { return readFile(dir_.file("cache.log")); }
  // The access log's lines that hold `needle`, waiting up to five seconds
  // for at least `expected` of them: a tunnel is logged once it closes.
  std::vector<std::string> accessLinesWith(const std::string& needle, size_t expected = 1) const {
    std::vector<std::string> lines;
    for (int i = 0; i < 500; ++i) {
      lines.clear();
      for (const std::string& line : linesOf(accessLog())) {
        if (line.find(needle) != std::string::npos) lines.push_back(line);
      }
      if (lines.size() >= expected) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return lines;
  }

 private:
  static int freePort() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
      port = ntohs(address.sin_port);
    }
    ::close(fd);
    return port;
  }

  std::string authLines() const {
    const std::string acl =
        "acl authenticated proxy_auth REQUIRED\n"
        "http_access allow loopback authenticated\n";
    switch (auth_) {
      case ProxyAuth::kBasic:
        return "auth_param basic program /usr/lib/squid/basic_ncsa_auth " +
               dir_.file("basic.passwd") + "\nauth_param basic realm office\n" + acl;
      case ProxyAuth::kDigest:
        return "auth_param digest program /usr/lib/squid/digest_file_auth " +
               dir_.file("digest.passwd") + "\nauth_param digest realm office\n" + acl;
      case ProxyAuth::kNone:
        break;
    }
    return "http_access allow loopback\n";
  }

  // Loopback only, no cache, no DNS beyond loopback, logs in the directory.
  std::string configuration(int port) const {
    const std::string d = dir_.path();
    return "http_port 127.0.0.1:" + std::to_string(port) + "\n" + "pid_filename " + d +
           "/squid.pid\n" + "access_log stdio:" + d + "/access.log\n" + "cache_log " + d +
           "/cache.log\n" +
           "cache_store_log none\n"
           "cache deny all\n"
           "coredump_dir " +
           d + "\n" +
           "shutdown_lifetime 0 seconds\n"
           "dns_nameservers 127.0.0.1\n"
           "pinger_enable off\n"
           "visible_hostname localhost\n"
           "via off\n"
           "acl loopback src 127.0.0.0/8\n" +
           authLines() + "http_access deny all\n";
  }

  void start(int port) {
    if (port == 0) return;
    const std::string config = dir_.file("squid.conf");
    writeFile(config, configuration(port));
    std::vector<std::string> arguments = {kProgram, "-N", "-f", config};
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const std::string out = dir_.file("squid.out");
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    int spawned = posix_spawn(&pid_, kProgram, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
      pid_ = -1;
      return;
    }
    // Up to ten seconds to listen, as its log says (a probing connection
    // would show in the access log); a port taken meanwhile ends it at once.
    const std::string listening = "Accepting HTTP Socket connections at";
    for (int i = 0; i < 1000; ++i) {
      if (cacheLog().find(listening) != std::string::npos) {
        port_ = port;
        return;
      }
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    stop();
  }

  void stop() {
    if (pid_ <= 0) return;
    // Its logs are written as it goes: nothing is lost by not waiting for
    // its orderly shutdown.
    ::kill(pid_, SIGKILL);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
  }

  ProxyAuth auth_;
  TempDir dir_;
  pid_t pid_ = -1;
  int port_ = 0;
};

}  // namespace corvane::e2e
