// Everything the service endpoints received, for tests: one record per
// request in arrival order, plus counts per kind.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "request_kind.h"

namespace localstore {

struct RequestRecord {
  std::uint64_t seq = 0;
  Kind kind = Kind::kOther;
  std::string method;
  std::string path;   // as received, without the query
  std::string query;  // raw, as received
  std::vector<std::pair<std::string, std::string>> headers;  // names lower-cased
  std::optional<std::string> body;
  std::uint64_t body_bytes = 0;
  // When the body's bytes arrived: (ms since 1970, bytes by then).
  std::vector<std::pair<std::int64_t, std::uint64_t>> arrivals;
  int status = 0;     // 0 when the connection was dropped
  std::string fault;  // fault action applied, if any
  // Real time in milliseconds since 1970: when the handler took the request
  // (its headers read) and when the stand-in was done with it.
  std::int64_t start_ms = 0;
  std::int64_t end_ms = 0;
  std::string closed_by;  // stalls only: "client" when its close was seen, else "server"
};

class RequestLog {
 public:
  // Counts the arrival and returns its sequence number (1-based).
  std::uint64_t arrive(Kind kind);
  void finish(RequestRecord record);
  void clear();

  std::string requests_json() const;
  std::string stats_json() const;

  // Part requests (part-url and part-put) being served right now: a client
  // has at most one such request per part on its way, so their peak is the
  // number of parts it had in flight at once ("partsInFlightMax" in stats).
  void part_request_began();
  void part_request_ended();

 private:
  mutable std::mutex mutex_;
  std::uint64_t parts_in_flight_ = 0;
  std::uint64_t parts_in_flight_max_ = 0;
  std::uint64_t next_seq_ = 1;
  std::array<std::uint64_t, kAllKinds.size()> counts_{};
  std::map<std::uint64_t, RequestRecord> records_;
};

}  // namespace localstore
