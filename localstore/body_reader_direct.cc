// BodyReader::stream_large: the sink mode's body reading in large blocks.
//
// cpp-httplib 0.11.4 reads a Content-Length body in 4 KiB recv() calls, each
// after a poll(), which caps the stand-in below what a loopback socket can
// carry. That version's first read of the body returns exactly the bytes its
// connection buffer still holds (or, when it holds none, reads the socket
// directly), so after the first chunk nothing of the body is left inside the
// library: the remaining bytes can be taken from the socket itself, and the
// connection stays in step for the next request. The shortcut is only taken
// for that library version and a plain Content-Length body; everything else
// goes through stream().
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <optional>
#include <string_view>

#include "body_reader.h"
#include "connection_drop.h"

namespace localstore {
namespace {

constexpr size_t kBlockSize = 1 << 20;
constexpr int kReadTimeoutMs = 60 * 1000;  // the server's read timeout

// The announced length of a body that may be read directly, or nullopt.
std::optional<std::uint64_t> direct_length(const httplib::Request& req) {
  if (std::string_view(CPPHTTPLIB_VERSION) != "0.11.4") return std::nullopt;
  if (req.has_header("Transfer-Encoding") || req.has_header("Content-Encoding")) return std::nullopt;
  if (req.get_header_value_count("Content-Length") != 1) return std::nullopt;
  std::string text = req.get_header_value("Content-Length");
  std::uint64_t length = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), length);
  if (ec != std::errc() || end != text.data() + text.size() || length == 0) return std::nullopt;
  return length;
}

// Reads up to `capacity` bytes once the socket is readable; -1 on error,
// timeout or end of stream.
ssize_t receive_block(int fd, char* block, size_t capacity) {
  for (;;) {
    pollfd ready{fd, POLLIN, 0};
    int polled = ::poll(&ready, 1, kReadTimeoutMs);
    if (polled < 0 && errno == EINTR) continue;
    if (polled != 1) return -1;
    ssize_t n = ::recv(fd, block, capacity, 0);
    if (n < 0 && errno == EINTR) continue;
    return n > 0 ? n : -1;
  }
}

}  // namespace

bool BodyReader::stream_large(const std::function<void(const char*, size_t)>& sink) {
  if (consumed_ || !reader_) return stream(sink);
  auto length = direct_length(req_);
  int fd = length ? find_request_socket(req_) : -1;
  if (fd < 0) return stream(sink);
  consumed_ = true;

  // The first chunk comes through the library; stopping after it (unless it
  // was the whole body) leaves the rest of the body unread on the socket.
  bool first_seen = false;
  (*reader_)([&](const char* data, size_t n) {
    first_seen = true;
    note(n);
    sink(data, n);
    return bytes_ >= *length;
  });
  if (!first_seen || bytes_ > *length) return false;

  // Page-aligned: the kernel copies into a buffer that starts 16 bytes past a
  // line boundary (where malloc puts large blocks) at a third of the speed.
  struct Block {
    char* data = static_cast<char*>(std::aligned_alloc(4096, kBlockSize));
    ~Block() { std::free(data); }
  };
  thread_local Block block;
  if (!block.data) return false;
  while (bytes_ < *length) {
    size_t want = static_cast<size_t>(std::min<std::uint64_t>(kBlockSize, *length - bytes_));
    ssize_t n = receive_block(fd, block.data, want);
    if (n < 0) return false;
    note(static_cast<size_t>(n));
    sink(block.data, static_cast<size_t>(n));
  }
  return true;
}

}  // namespace localstore
