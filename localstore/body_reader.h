// One-shot access to a request body delivered through httplib's ContentReader.
// The body can be read once (streamed or as text); whatever a handler leaves
// unread is drained afterwards so a kept-alive connection stays in sync.
#pragma once

#include <httplib.h>

#include <cstdint>
#include <functional>
#include <string>

namespace localstore {

class BodyReader {
 public:
  // `reader` may be null (GET and other body-less routes).
  BodyReader(const httplib::Request& req, const httplib::ContentReader* reader);

  // Passes every received block to `sink`; false when the body could not be
  // read completely (client went away, timeout, or it was already consumed).
  bool stream(const std::function<void(const char*, size_t)>& sink);

  // Reads the body as text, keeping at most `cap` bytes; false on read error.
  bool read_text(size_t cap);
  const std::string& text() const { return text_; }
  bool truncated() const { return bytes_ > text_.size(); }

  void drain();
  std::uint64_t bytes() const { return bytes_; }

 private:
  const httplib::Request& req_;
  const httplib::ContentReader* reader_;
  bool consumed_ = false;
  std::uint64_t bytes_ = 0;
  std::string text_;
};

}  // namespace localstore
