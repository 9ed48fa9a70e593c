#include "body_reader.h"

#include <algorithm>

#include "auth_header.h"

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
    bytes_ += n;
    sink(data, n);
    return true;
  });
}

bool BodyReader::read_text(size_t cap) {
  return stream([&](const char* data, size_t n) {
    if (text_.size() < cap) text_.append(data, std::min(n, cap - text_.size()));
  });
}

void BodyReader::drain() {
  if (!consumed_) stream([](const char*, size_t) {});
}

}  // namespace localstore
