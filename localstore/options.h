// Command-line settings of corvane-localstore.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace localstore {

struct Options {
  std::filesystem::path data_dir;
  std::string appkey;
  std::string appsecret;
  std::string host = "127.0.0.1";
  int port = 0;                         // 0 = let the kernel pick a free port
  std::int64_t token_lifetime = 3600;   // seconds, for gateway and storage tokens
  std::optional<std::int64_t> token_ttl;  // seconds, for storage tokens alone
  // How far this server's clock (its Date, its signature window, its token
  // expiry) runs from the machine's, in seconds.
  std::int64_t clock_offset = 0;
  // How far a gateway timestamp may stray from this server's clock, seconds.
  std::int64_t timestamp_window = 900;
  // The zone "expireTime" is written in, seconds east of UTC; none: the
  // machine's local standard time.
  std::optional<std::int64_t> expiry_zone;
  std::optional<std::string> org_id;    // when set, other orgs get 404
  std::int64_t project_id = 4242;
  bool require_signature = false;
  int threads = 8;
  bool sink = false;  // bodies are counted and checksummed, never stored
  // Base of the signed part URLs ("http://127.0.0.1:PORT") when they must
  // point somewhere else than this server, e.g. at a proxy in front of it;
  // empty: this server's own address.
  std::string public_url;
};

// Parses argv; on failure returns nullopt and sets `error`.
std::optional<Options> parse_options(int argc, char** argv, std::string& error);

std::string usage_text();

}  // namespace localstore
