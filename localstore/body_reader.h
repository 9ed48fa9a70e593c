// One-shot access to a request body delivered through httplib's ContentReader.
// The body can be read once (streamed or as text); whatever a handler leaves
// unread is drained afterwards so a kept-alive connection stays in sync.
#pragma once

#include <httplib.h>

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace localstore {

class BodyReader {
 public:
  // `reader` may be null (GET and other body-less routes).
  BodyReader(const httplib::Request& req, const httplib::ContentReader* reader);

  // Passes every received block to `sink`; false when the body could not be
  // read completely (client went away, timeout, or it was already consumed).
  bool stream(const std::function<void(const char*, size_t)>& sink);

  // Like stream(), with large reads, for the sink mode: once httplib has
  // handed over what it had buffered, the rest of a Content-Length body is
  // read straight from the connection's socket, because the library's 4 KiB
  // reads would cap the throughput. Falls back to stream() where that is not
  // known to be safe. Defined in body_reader_direct.cc.
  bool stream_large(const std::function<void(const char*, size_t)>& sink);

  // Reads the body as text, keeping at most `cap` bytes; false on read error.
  bool read_text(size_t cap);
  const std::string& text() const { return text_; }
  bool truncated() const { return bytes_ > text_.size(); }

  // Reads until at least `limit` bytes arrived (or the body ended), then stops
  // reading; the rest stays unread on the connection. False on read error.
  bool read_prefix(std::uint64_t limit);

  // Marks the body as taken without reading any of it: it stays on the
  // connection, and drain() leaves it there.
  void leave_unread() { consumed_ = true; }

  void drain();
  // The Content-Length the client announced; 0 when it sent none (chunked).
  std::uint64_t announced_length() const;
  std::uint64_t bytes() const { return bytes_; }
  // When the body's bytes arrived: (real time in milliseconds since 1970,
  // bytes of the body received by then), one point per 10 ms or so, the
  // last one when the last byte came.
  using Arrival = std::pair<std::int64_t, std::uint64_t>;
  const std::vector<Arrival>& arrivals() const { return arrivals_; }

 private:
  // Counts `n` more bytes received now.
  void note(size_t n);

  const httplib::Request& req_;
  const httplib::ContentReader* reader_;
  bool consumed_ = false;
  std::uint64_t bytes_ = 0;
  std::vector<Arrival> arrivals_;
  std::string text_;
};

}  // namespace localstore
