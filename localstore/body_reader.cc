#include "body_reader.h"

#include <algorithm>
#include <charconv>

#include "auth_header.h"
#include "server_clock.h"

namespace localstore {
namespace {

// A request without Content-Length and without chunked encoding has no body;
// asking httplib to read it would wait for the peer to close the connection.
bool announces_body(const httplib::Request& req) {
  if (req.has_header("Content-Length")) return true;
  return req.has_header("Transfer-Encoding") &&
         to_lower(req.get_header_value("Transfer-Encoding")).find("chunked") != std::string::npos;
}

}  // namespace

BodyReader::BodyReader(const httplib::Request& req, const httplib::ContentReader* reader)
    : req_(req), reader_(reader) {}

bool BodyReader::stream(const std::function<void(const char*, size_t)>& sink) {
  if (consumed_) return false;
  consumed_ = true;
  if (!reader_ || !announces_body(req_)) return true;
  return (*reader_)([&](const char* data, size_t n) {
    note(n);
    sink(data, n);
    return true;
  });
}

bool BodyReader::read_text(size_t cap) {
  return stream([&](const char* data, size_t n) {
    if (text_.size() < cap) text_.append(data, std::min(n, cap - text_.size()));
  });
}

bool BodyReader::read_prefix(std::uint64_t limit) {
  if (consumed_) return false;
  consumed_ = true;
  if (!reader_ || !announces_body(req_) || limit == 0) return true;
  bool stopped = false;
  bool complete = (*reader_)([&](const char*, size_t n) {
    note(n);
    stopped = bytes_ >= limit;
    return !stopped;
  });
  return complete || stopped;
}

std::uint64_t BodyReader::announced_length() const {
  const std::string text = req_.get_header_value("Content-Length");
  std::uint64_t length = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), length);
  return error == std::errc() && end == text.data() + text.size() ? length : 0;
}

void BodyReader::note(size_t n) {
  bytes_ += n;
  const std::int64_t now = real_now_millis();
  // Points closer than 10 ms to the one before the last merge into the
  // last, which then moves to now: every point stays exact, and a long body
  // keeps about one per 10 ms.
  const size_t count = arrivals_.size();
  if (count >= 2 && now - arrivals_[count - 2].first < 10) {
    arrivals_.back() = {now, bytes_};
  } else {
    arrivals_.emplace_back(now, bytes_);
  }
}

void BodyReader::drain() {
  if (!consumed_) stream([](const char*, size_t) {});
}

}  // namespace localstore
