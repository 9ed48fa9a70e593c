#include "options.h"

#include <arpa/inet.h>

#include <charconv>
#include <string_view>
#include <vector>

namespace localstore {
namespace {

bool parse_int(std::string_view text, std::int64_t min, std::int64_t max, std::int64_t& out) {
  std::int64_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return false;
  if (value < min || value > max) return false;
  out = value;
  return true;
}

// Only 127.0.0.0/8 is accepted: this server must never listen beyond loopback.
bool is_loopback_ipv4(const std::string& host) {
  in_addr addr{};
  if (inet_pton(AF_INET, host.c_str(), &addr) != 1) return false;
  return (ntohl(addr.s_addr) >> 24) == 127;
}

// "http://127.x.x.x:PORT" or "https://127.x.x.x:PORT": a public URL may name
// another server (a delay line, a TLS front), but only one on loopback, like
// this one.
bool is_loopback_base_url(const std::string& url) {
  std::string rest;
  for (std::string_view scheme : {std::string_view("http://"), std::string_view("https://")}) {
    if (url.rfind(scheme, 0) == 0) rest = url.substr(scheme.size());
  }
  if (rest.empty()) return false;
  auto colon = rest.find(':');
  std::int64_t port = 0;
  return colon != std::string::npos && is_loopback_ipv4(rest.substr(0, colon)) &&
         parse_int(std::string_view(rest).substr(colon + 1), 1, 65535, port);
}

// Splits "--name=value" into name and value; plain "--name" leaves value empty.
bool split_inline(std::string_view arg, std::string& name, std::optional<std::string>& value) {
  if (arg.substr(0, 2) != "--") return false;
  auto eq = arg.find('=');
  name = std::string(arg.substr(0, eq));
  if (eq != std::string_view::npos) value = std::string(arg.substr(eq + 1));
  return true;
}

// "+HH:MM" or "-HH:MM" as seconds east of UTC.
bool parse_zone(std::string_view text, std::int64_t& seconds) {
  std::int64_t hours = 0;
  std::int64_t minutes = 0;
  if (text.size() != 6 || (text[0] != '+' && text[0] != '-') || text[3] != ':') return false;
  if (!parse_int(text.substr(1, 2), 0, 23, hours) || !parse_int(text.substr(4, 2), 0, 59, minutes)) {
    return false;
  }
  seconds = (text[0] == '-' ? -1 : 1) * (hours * 3600 + minutes * 60);
  return true;
}

bool apply_number(const std::string& name, const std::string& v, Options& o, std::string& error) {
  std::int64_t n = 0;
  constexpr std::int64_t kCentury = 100LL * 365 * 86400;
  if (name == "--token-ttl" && parse_int(v, 0, kCentury, n)) { o.token_ttl = n; return true; }
  if (name == "--clock-offset" && parse_int(v, -kCentury, kCentury, n)) {
    o.clock_offset = n;
    return true;
  }
  if (name == "--timestamp-window" && parse_int(v, 0, kCentury, n)) {
    o.timestamp_window = n;
    return true;
  }
  if (name == "--expiry-zone" && parse_zone(v, n)) { o.expiry_zone = n; return true; }
  if (name == "--port" && parse_int(v, 0, 65535, n)) { o.port = static_cast<int>(n); return true; }
  if (name == "--token-lifetime" && parse_int(v, 0, 100LL * 365 * 86400, n)) {
    o.token_lifetime = n;
    return true;
  }
  if (name == "--project-id" && parse_int(v, INT64_MIN, INT64_MAX, n)) { o.project_id = n; return true; }
  if (name == "--threads" && parse_int(v, 1, 64, n)) { o.threads = static_cast<int>(n); return true; }
  error = "bad value for " + name;
  return false;
}

bool apply_value(const std::string& name, const std::string& v, Options& o, std::string& error) {
  if (name == "--data") { o.data_dir = v; return true; }
  if (name == "--appkey") { o.appkey = v; return true; }
  if (name == "--appsecret") { o.appsecret = v; return true; }
  if (name == "--host") { o.host = v; return true; }
  if (name == "--org-id") { o.org_id = v; return true; }
  if (name == "--public-url") { o.public_url = v; return true; }
  if (name == "--port" || name == "--token-lifetime" || name == "--project-id" ||
      name == "--threads" || name == "--token-ttl" || name == "--clock-offset" ||
      name == "--timestamp-window" || name == "--expiry-zone") {
    return apply_number(name, v, o, error);
  }
  error = "unknown option " + name;
  return false;
}

bool check_complete(const Options& o, std::string& error) {
  if (o.data_dir.empty() || o.appkey.empty() || o.appsecret.empty()) {
    error = "--data, --appkey and --appsecret are required";
    return false;
  }
  if (!is_loopback_ipv4(o.host)) {
    error = "--host must be a loopback IPv4 address (127.x.x.x)";
    return false;
  }
  if (!o.public_url.empty() && !is_loopback_base_url(o.public_url)) {
    error = "--public-url must be http://127.x.x.x:PORT or https://127.x.x.x:PORT";
    return false;
  }
  return true;
}

}  // namespace

std::optional<Options> parse_options(int argc, char** argv, std::string& error) {
  Options o;
  std::vector<std::string> args(argv + 1, argv + argc);
  for (size_t i = 0; i < args.size(); ++i) {
    std::string name;
    std::optional<std::string> value;
    if (!split_inline(args[i], name, value)) { error = "unexpected argument " + args[i]; return {}; }
    if (name == "--require-signature" && !value) { o.require_signature = true; continue; }
    if (name == "--sink" && !value) { o.sink = true; continue; }
    if (!value) {
      if (i + 1 >= args.size()) { error = "missing value for " + name; return {}; }
      value = args[++i];
    }
    if (!apply_value(name, *value, o, error)) return {};
  }
  if (!check_complete(o, error)) return {};
  return o;
}

std::string usage_text() {
  return "usage: corvane-localstore --data DIR --appkey KEY --appsecret SECRET\n"
         "         [--port N] [--host 127.0.0.1] [--token-lifetime SECONDS]\n"
         "         [--org-id ORG] [--project-id PID] [--require-signature] [--threads N]\n"
         "         [--sink] [--public-url http[s]://127.0.0.1:PORT]\n"
         "         [--token-ttl SECONDS] [--clock-offset SECONDS]\n"
         "         [--timestamp-window SECONDS] [--expiry-zone +HH:MM]\n";
}

}  // namespace localstore
