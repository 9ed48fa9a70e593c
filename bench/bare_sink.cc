// bare-sink: the fastest loopback receiver of one HTTP upload that this
// machine allows, used as the yardstick for the stand-in's sink. It listens on
// 127.0.0.1 (a free port), prints "listening on 127.0.0.1:PORT", accepts one
// connection, reads one request with a Content-Length body, throws the body
// away in 1 MiB reads into a page-aligned buffer, answers 200 and exits.
// Every wait is bounded.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <strings.h>

namespace {

constexpr size_t kReadBlock = 1 << 20;
constexpr int kAcceptWaitMs = 120000;
constexpr int kReadTimeoutSeconds = 60;
constexpr size_t kMaxHeaderBytes = 64 * 1024;

bool write_all(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// The value of header `name` in the header block, case-insensitive; empty
// when absent.
std::string header_value(const std::string& head, const char* name) {
  size_t len = std::char_traits<char>::length(name);
  size_t pos = head.find("\r\n");
  while (pos != std::string::npos && pos + 2 < head.size()) {
    size_t start = pos + 2;
    size_t end = head.find("\r\n", start);
    if (end == std::string::npos) break;
    if (end - start > len && head[start + len] == ':' &&
        strncasecmp(head.data() + start, name, len) == 0) {
      size_t v = start + len + 1;
      while (v < end && (head[v] == ' ' || head[v] == '\t')) ++v;
      return head.substr(v, end - v);
    }
    pos = end;
  }
  return "";
}

int listen_on_loopback(int& port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  socklen_t len = sizeof addr;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0 || ::listen(fd, 4) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    ::close(fd);
    return -1;
  }
  port = ntohs(addr.sin_port);
  return fd;
}

// Reads one request and answers it; returns the body bytes taken, -1 on error.
int64_t serve_one(int fd, char* buffer) {
  timeval timeout{kReadTimeoutSeconds, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  std::string head;
  size_t end = std::string::npos;
  while (end == std::string::npos) {
    if (head.size() > kMaxHeaderBytes) return -1;
    ssize_t n = ::recv(fd, buffer, 16 * 1024, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return -1;
    head.append(buffer, static_cast<size_t>(n));
    end = head.find("\r\n\r\n");
  }
  uint64_t already = head.size() - (end + 4);
  head.resize(end + 2);
  std::string length_text = header_value(head, "Content-Length");
  char* stop = nullptr;
  uint64_t length = std::strtoull(length_text.c_str(), &stop, 10);
  if (length_text.empty() || *stop != '\0' || already > length) {
    write_all(fd, "HTTP/1.1 411 Length Required\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
    return -1;
  }
  if (strcasecmp(header_value(head, "Expect").c_str(), "100-continue") == 0 &&
      !write_all(fd, "HTTP/1.1 100 Continue\r\n\r\n")) {
    return -1;
  }
  uint64_t received = already;
  while (received < length) {
    size_t want = static_cast<size_t>(std::min<uint64_t>(kReadBlock, length - received));
    // Whole blocks (bounded by the receive timeout): fewer wake-ups, which
    // measured faster here than taking whatever has arrived.
    ssize_t n = ::recv(fd, buffer, want, MSG_WAITALL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return -1;
    received += static_cast<uint64_t>(n);
  }
  if (!write_all(fd, "HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n")) return -1;
  return static_cast<int64_t>(received);
}

}  // namespace

int main(int argc, char** argv) {
  int port = argc > 1 ? std::atoi(argv[1]) : 0;
  int listener = listen_on_loopback(port);
  if (listener < 0) {
    std::perror("bare-sink: listen");
    return 1;
  }
  std::printf("listening on 127.0.0.1:%d\n", port);
  std::fflush(stdout);
  pollfd waiting{listener, POLLIN, 0};
  if (::poll(&waiting, 1, kAcceptWaitMs) != 1) {
    std::fprintf(stderr, "bare-sink: no connection within %d s\n", kAcceptWaitMs / 1000);
    return 1;
  }
  int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) return 1;
  // As the stand-in's sink mode does, so that the two differ only in how they
  // handle the request.
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  // Page-aligned: the kernel copies into a buffer that starts 16 bytes past a
  // line boundary (where malloc puts large blocks) at a third of the speed.
  char* buffer = static_cast<char*>(std::aligned_alloc(4096, kReadBlock));
  if (!buffer) return 1;
  int64_t received = serve_one(fd, buffer);
  std::free(buffer);
  ::close(fd);
  ::close(listener);
  if (received < 0) {
    std::fprintf(stderr, "bare-sink: the request was not received in full\n");
    return 1;
  }
  std::fprintf(stderr, "bare-sink: %lld body bytes\n", static_cast<long long>(received));
  return 0;
}
