#include "request_log.h"

#include "json_util.h"

namespace localstore {
namespace {

void write_headers(JsonWriter& w, const RequestRecord& r) {
  w.key("headers").begin_object();
  for (const auto& [name, value] : r.headers) w.key(name).str(value);
  w.end_object();
}

void write_record(JsonWriter& w, const RequestRecord& r) {
  w.begin_object().key("seq").unum(r.seq).key("kind").str(kind_name(r.kind));
  w.key("method").str(r.method).key("path").str(r.path).key("query").str(r.query);
  write_headers(w, r);
  if (r.body) w.key("body").str(*r.body);
  w.key("bodyBytes").unum(r.body_bytes).key("status").num(r.status);
  if (!r.fault.empty()) w.key("fault").str(r.fault);
  w.key("startMs").num(r.start_ms).key("endMs").num(r.end_ms);
  if (!r.arrivals.empty()) {
    w.key("arrivals").begin_array();
    for (const auto& [ms, bytes] : r.arrivals) w.begin_array().num(ms).unum(bytes).end_array();
    w.end_array();
  }
  if (!r.closed_by.empty()) w.key("closedBy").str(r.closed_by);
  w.end_object();
}

}  // namespace

std::uint64_t RequestLog::arrive(Kind kind) {
  std::lock_guard lock(mutex_);
  ++counts_[static_cast<size_t>(kind)];
  return next_seq_++;
}

void RequestLog::finish(RequestRecord record) {
  std::lock_guard lock(mutex_);
  records_[record.seq] = std::move(record);
}

void RequestLog::clear() {
  std::lock_guard lock(mutex_);
  next_seq_ = 1;
  counts_.fill(0);
  records_.clear();
  parts_in_flight_max_ = parts_in_flight_;
}

void RequestLog::part_request_began() {
  std::lock_guard lock(mutex_);
  ++parts_in_flight_;
  if (parts_in_flight_ > parts_in_flight_max_) parts_in_flight_max_ = parts_in_flight_;
}

void RequestLog::part_request_ended() {
  std::lock_guard lock(mutex_);
  --parts_in_flight_;
}

std::string RequestLog::requests_json() const {
  JsonWriter w;
  w.begin_array();
  std::lock_guard lock(mutex_);
  for (const auto& [seq, record] : records_) write_record(w, record);
  w.end_array();
  return w.text();
}

std::string RequestLog::stats_json() const {
  JsonWriter w;
  w.begin_object();
  std::lock_guard lock(mutex_);
  for (Kind kind : kAllKinds) w.key(kind_name(kind)).unum(counts_[static_cast<size_t>(kind)]);
  w.key("partsInFlightMax").unum(parts_in_flight_max_);
  w.end_object();
  return w.text();
}

}  // namespace localstore
