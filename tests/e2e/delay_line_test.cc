// The emulated wide-area link of bench/wan (bench/delay_line.cc) and the
// stand-in's --public-url behind it: bytes, ends of stream and resets must
// cross the link unchanged, and the connection count must be right, or the
// benchmark's figures mean nothing. Delays are kept to a few milliseconds;
// timing itself is the benchmark's business.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "e2e_harness.h"

extern char** environ;

namespace corvane::e2e {
namespace {

constexpr size_t kMiB = 1024 * 1024;

sockaddr_in loopback(int port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  return addr;
}

// A listening socket on a free loopback port; sets `port`.
int listenOnLoopback(int& port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr = loopback(0);
  socklen_t len = sizeof addr;
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0 || listen(fd, 8) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    throw std::runtime_error("cannot listen on loopback");
  }
  port = ntohs(addr.sin_port);
  return fd;
}

// A port nothing listens on (it was free a moment ago).
int unusedPort() {
  int port = 0;
  close(listenOnLoopback(port));
  return port;
}

int connectTo(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr = loopback(port);
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    throw std::runtime_error("cannot connect");
  }
  timeval limit{30, 0};  // a stalled link fails the test instead of hanging it
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  return fd;
}

bool sendAll(int fd, const std::string& bytes) {
  for (size_t done = 0; done < bytes.size();) {
    ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// Everything up to the end of stream; `error` gets errno when it ended in one.
std::string receiveAll(int fd, int* error = nullptr) {
  std::string bytes;
  char buffer[65536];
  for (;;) {
    ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n > 0) {
      bytes.append(buffer, static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && error) *error = errno;
    return bytes;
  }
}

// The delay line as a child process, stopped when the object goes away.
class DelayLineProcess {
 public:
  explicit DelayLineProcess(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {DELAY_LINE_PATH, "--count-file", scratch_.file("count")});
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    int out[2];
    if (pipe(out) != 0) throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    int spawned = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    std::string line;
    char c = 0;
    while (spawned == 0 && read(out[0], &c, 1) == 1 && c != '\n') line += c;
    close(out[0]);
    const std::string prefix = "listening on 127.0.0.1:";
    if (line.rfind(prefix, 0) != 0) {
      int status = 0;
      if (spawned == 0) waitpid(pid_, &status, 0);  // it ended, or never started
      throw std::runtime_error("delay-line said: " + line);
    }
    port_ = std::stoi(line.substr(prefix.size()));
  }
  ~DelayLineProcess() {
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
  }
  DelayLineProcess(const DelayLineProcess&) = delete;
  DelayLineProcess& operator=(const DelayLineProcess&) = delete;

  int port() const { return port_; }
  int accepted() const { return std::stoi("0" + readFile(scratch_.file("count"))); }

 private:
  TempDir scratch_;
  pid_t pid_ = -1;
  int port_ = 0;
};

std::vector<std::string> linkTo(int targetPort, std::vector<std::string> more = {}) {
  std::vector<std::string> arguments = {"--target", "127.0.0.1:" + std::to_string(targetPort), "--rtt-ms", "4"};
  arguments.insert(arguments.end(), more.begin(), more.end());
  return arguments;
}

TEST(DelayLine, MultipartUploadCrossesTheLinkWholeWithPartUrlsPointingAtIt) {
  TempDir dir;
  // The stand-in must know the link's port before the link can know the
  // stand-in's: a port free a moment ago may be taken meanwhile (by any
  // outgoing connection on the machine), and then both start again.
  int linkPort = 0;
  std::unique_ptr<LocalStore> started;
  std::unique_ptr<DelayLineProcess> running;
  for (int attempt = 0; attempt < 5 && !running; ++attempt) {
    linkPort = unusedPort();
    started = std::make_unique<LocalStore>(
        std::vector<std::string>{"--public-url", "http://127.0.0.1:" + std::to_string(linkPort)});
    try {
      // A queue far smaller than a part, so that senders are held back often.
      running = std::make_unique<DelayLineProcess>(
          linkTo(started->port(), {"--listen-port", std::to_string(linkPort), "--mbit", "200",
                                   "--queue-bytes", "131072"}));
    } catch (const std::runtime_error& taken) {
      std::cerr << "port " << linkPort << ": " << taken.what() << "; another\n";
    }
  }
  ASSERT_TRUE(running) << "no free port for the link";
  LocalStore& store = *started;
  DelayLineProcess& line = *running;
  const std::string link = "http://127.0.0.1:" + std::to_string(linkPort);
  const std::string content = patternBytes(3 * kMiB + 4321, 11);

  UploadRun upload = uploadContent(dir, store, content, {{"rooturl", link}});

  ASSERT_EQ(upload.run.exitStatus, 0) << upload.run.err;
  EXPECT_EQ(stringAt(upload.resultJson, "code"), "success") << upload.result;
  EXPECT_EQ(store.storedBytes(upload.fileItemId()), content);
  rapidjson::Document requests = store.requests();
  int puts = 0;
  for (const auto& request : requests.GetArray()) {
    SCOPED_TRACE(stringAt(request, "kind"));
    EXPECT_EQ(headerOf(request, "host"), "127.0.0.1:" + std::to_string(linkPort));
    puts += stringAt(request, "kind") == "part-put";
  }
  EXPECT_EQ(puts, 4);
  // Every request crossed the link, over one connection kept for the whole
  // run: nothing reached the stand-in around it.
  EXPECT_EQ(line.accepted(), 1);
}

TEST(DelayLine, BulkBytesAndTheEndOfStreamPassBothWays) {
  int serverPort = 0;
  int listener = listenOnLoopback(serverPort);
  const std::string request = patternBytes(2 * kMiB + 7, 1);
  const std::string reply = patternBytes(kMiB + 3, 2);
  std::string received;
  DelayLineProcess line(linkTo(serverPort, {"--mbit", "400", "--queue-bytes", "200000"}));
  // Answers only after the client's end of stream has come through.
  std::thread server([&] {
    int fd = accept(listener, nullptr, nullptr);
    received = receiveAll(fd);
    sendAll(fd, reply);
    close(fd);
  });

  int client = connectTo(line.port());
  ASSERT_TRUE(sendAll(client, request));
  shutdown(client, SHUT_WR);
  std::string answer = receiveAll(client);
  server.join();
  close(client);
  close(listener);

  EXPECT_TRUE(received == request) << received.size() << " of " << request.size() << " bytes";
  EXPECT_TRUE(answer == reply) << answer.size() << " of " << reply.size() << " bytes";
  EXPECT_EQ(line.accepted(), 1);
}

TEST(DelayLine, ResetsArePassedOn) {
  int serverPort = 0;
  int listener = listenOnLoopback(serverPort);
  DelayLineProcess line(linkTo(serverPort));
  DelayLineProcess nowhere(linkTo(unusedPort()));
  std::thread server([&] {
    int fd = accept(listener, nullptr, nullptr);
    char first = 0;
    recv(fd, &first, 1, 0);
    linger hard{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    close(fd);
  });

  int client = connectTo(line.port());
  ASSERT_TRUE(sendAll(client, "hello"));
  int error = 0;
  receiveAll(client, &error);
  server.join();
  close(client);
  close(listener);
  EXPECT_EQ(error, ECONNRESET) << "the server's reset arrived as an orderly end";

  int refused = connectTo(nowhere.port());
  error = 0;
  receiveAll(refused, &error);
  close(refused);
  EXPECT_EQ(error, ECONNRESET) << "a refused connection to the target arrived as an orderly end";
}

}  // namespace
}  // namespace corvane::e2e
