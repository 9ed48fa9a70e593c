#include "url_codec.h"

namespace localstore {
namespace {

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void add_piece(std::string_view piece, QueryParams& out) {
  if (piece.empty()) return;
  auto eq = piece.find('=');
  std::string name = percent_decode(piece.substr(0, eq), true);
  if (name.empty()) return;
  std::string value;
  if (eq != std::string_view::npos) value = percent_decode(piece.substr(eq + 1), true);
  out.emplace_back(std::move(name), std::move(value));
}

}  // namespace

std::string percent_decode(std::string_view text, bool plus_as_space) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '+' && plus_as_space) { out.push_back(' '); continue; }
    if (c == '%' && i + 2 < text.size()) {
      int hi = hex_value(text[i + 1]);
      int lo = hex_value(text[i + 2]);
      if (hi >= 0 && lo >= 0) {
        out.push_back(static_cast<char>(hi * 16 + lo));
        i += 2;
        continue;
      }
    }
    out.push_back(c);
  }
  return out;
}

std::string_view raw_path_of(std::string_view target) {
  return target.substr(0, target.find('?'));
}

std::string_view raw_query_of(std::string_view target) {
  auto q = target.find('?');
  return q == std::string_view::npos ? std::string_view() : target.substr(q + 1);
}

QueryParams parse_query(std::string_view raw_query) {
  QueryParams out;
  size_t start = 0;
  while (start <= raw_query.size()) {
    size_t amp = raw_query.find('&', start);
    if (amp == std::string_view::npos) amp = raw_query.size();
    add_piece(raw_query.substr(start, amp - start), out);
    start = amp + 1;
  }
  return out;
}

const std::string* find_param(const QueryParams& params, std::string_view name) {
  for (const auto& [key, value] : params) {
    if (key == name) return &value;
  }
  return nullptr;
}

}  // namespace localstore
