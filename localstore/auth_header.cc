#include "auth_header.h"

#include <cctype>

namespace localstore {
namespace {

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

}  // namespace

std::string to_lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

bool iequals(std::string_view a, std::string_view b) {
  return a.size() == b.size() && to_lower(a) == to_lower(b);
}

std::optional<std::string> authorization_credentials(const httplib::Request& req,
                                                     const std::string& scheme) {
  if (!req.has_header("Authorization")) return std::nullopt;
  std::string header = req.get_header_value("Authorization");
  std::string_view value = trim(header);
  auto blank = value.find_first_of(" \t");
  if (blank == std::string_view::npos) return std::nullopt;
  if (!iequals(value.substr(0, blank), scheme)) return std::nullopt;
  std::string_view credentials = trim(value.substr(blank));
  if (credentials.empty()) return std::nullopt;
  return std::string(credentials);
}

}  // namespace localstore
