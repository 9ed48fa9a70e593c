#include "store_server.h"

#include <chrono>
#include <cstdio>
#include <limits>
#include <thread>

#include "auth_handlers.h"
#include "auth_header.h"
#include "connection_drop.h"
#include "control_handlers.h"
#include "part_handlers.h"
#include "responses.h"
#include "sink_handlers.h"
#include "upload_handlers.h"
#include "url_codec.h"

namespace localstore {
namespace {

constexpr size_t kTextBodyCap = 1 << 20;
constexpr const char* kMultiPart = "/mdox/v1/data/projects/([^/]+)/file-items/multi-part-files";

bool is_pseudo_header(const std::string& name) {
  return name == "REMOTE_ADDR" || name == "REMOTE_PORT" || name == "LOCAL_ADDR" ||
         name == "LOCAL_PORT";
}

void add_header(RequestRecord& record, const std::string& name, const std::string& value) {
  std::string lower = to_lower(name);
  for (auto& [known, joined] : record.headers) {
    if (known == lower) { joined += ", " + value; return; }
  }
  record.headers.emplace_back(lower, value);
}

RequestRecord arrival_record(RequestLog& log, Kind kind, const httplib::Request& req) {
  RequestRecord record;
  record.seq = log.arrive(kind);
  record.start_ms = real_now_millis();
  record.kind = kind;
  record.method = req.method;
  record.path = std::string(raw_path_of(req.target));
  record.query = std::string(raw_query_of(req.target));
  for (const auto& [name, value] : req.headers) {
    if (!is_pseudo_header(name)) add_header(record, name, value);
  }
  return record;
}

// One line per request: method, path without query, status. Never the query
// or any header, which may carry credentials.
void log_line(const httplib::Request& req, int status, const char* note = "") {
  std::string path(raw_path_of(req.target));
  std::fprintf(stderr, "%s %s %d%s\n", req.method.c_str(), path.c_str(), status, note);
}

// A "pass" rule, or the reshaping fields of a status/body rule: the answer's
// body and headers changed as the rule says.
void reshape_answer(const FaultRule& rule, Exchange& ex, RequestRecord& record) {
  if (rule.action == FaultAction::kPass) {
    record.fault = "pass";
    if (rule.status != 0) ex.res.status = rule.status;
    if (rule.delay_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(rule.delay_ms));
  }
  if (!rule.set.empty() || rule.pad_to > 0) {
    std::string type = ex.res.get_header_value("Content-Type");
    ex.res.set_content(reshape_body(rule, ex.res.body), type.empty() ? rule.content_type : type);
  }
  if (!rule.header_name.empty()) ex.res.set_header(rule.header_name.c_str(), extra_header_value(rule));
}

// Counts a part request as in flight while it is being served.
class PartGauge {
 public:
  PartGauge(RequestLog& log, Kind kind)
      : log_(log), counted_(kind == Kind::kPartUrl || kind == Kind::kPartPut) {
    if (counted_) log_.part_request_began();
  }
  ~PartGauge() {
    if (counted_) log_.part_request_ended();
  }
  PartGauge(const PartGauge&) = delete;
  PartGauge& operator=(const PartGauge&) = delete;

 private:
  RequestLog& log_;
  bool counted_;
};

}  // namespace

StoreServer::StoreServer(StoreContext& ctx) : ctx_(ctx) {
  configure();
  add_service_routes();
  add_control_routes();
  add_fallback_routes();
}

void StoreServer::configure() {
  size_t threads = static_cast<size_t>(ctx_.options.threads);
  svr_.new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
  svr_.set_payload_max_length(std::numeric_limits<size_t>::max());
  svr_.set_read_timeout(60);
  svr_.set_write_timeout(60);
  svr_.set_keep_alive_max_count(1000);
  svr_.set_keep_alive_timeout(5);
  // The library writes a response's headers and body separately; with Nagle's
  // algorithm the body can then wait for the client's delayed ACK (about
  // 40 ms here after a 100-continue exchange), which a benchmark would
  // measure. The sink mode sends every segment at once.
  if (ctx_.sink) svr_.set_tcp_nodelay(true);
}

void StoreServer::add_service_routes() {
  const std::string multi = kMultiPart;
  add_service("POST", "/api/uaa/oauth/token", {Kind::kGatewayToken, false, handle_gateway_token});
  add_service("GET", "/api/org-permission/v4/orgs/([^/]+)/projects",
              {Kind::kProjectList, true, handle_project_list});
  add_service("POST", "/oauth2/token", {Kind::kStorageToken, true, handle_storage_token});
  add_service("POST", "/mdox/data/v1/projects/([^/]+)/fileItems",
              {Kind::kDirectUpload, true, handle_direct_upload});
  add_service("POST", multi.c_str(), {Kind::kCreateTask, true, handle_create_task});
  add_service("POST", (multi + "/signed-url").c_str(), {Kind::kPartUrl, true, handle_part_url});
  add_service("POST", (multi + "/merge").c_str(), {Kind::kMerge, true, handle_merge});
  add_service("POST", (multi + "/abort").c_str(), {Kind::kAbort, true, handle_abort});
  add_service("PUT", "/storage/([^/]+)/([0-9]+)", {Kind::kPartPut, false, handle_part_put});
}

void StoreServer::add_control_routes() {
  add_control("GET", "/_control/requests", handle_control_requests);
  add_control("DELETE", "/_control/requests", handle_control_clear_requests);
  add_control("GET", "/_control/stats", handle_control_stats);
  add_control("GET", "/_control/items", handle_control_items);
  add_control("POST", "/_control/faults", handle_control_set_faults);
  add_control("DELETE", "/_control/faults", handle_control_clear_faults);
  add_control("POST", "/_control/clock", handle_control_clock);
  add_control("POST", "/_control/shutdown", handle_control_shutdown);
  add_control("DELETE", "/_control/tasks/([^/]+)", handle_control_forget_task);
  if (ctx_.sink) {
    add_control("GET", "/_control/sink", handle_control_sink);
    add_control("DELETE", "/_control/sink", handle_control_clear_sink);
  }
}

void StoreServer::add_fallback_routes() {
  for (const char* method : {"GET", "POST", "PUT", "DELETE", "PATCH"}) {
    add_service(method, ".*", {Kind::kOther, false, [](StoreContext&, Exchange& ex) {
                  reply_error(ex.res, 404, "no such endpoint");
                }});
  }
}

void StoreServer::add_service(const char* method, const char* pattern, Route route) {
  std::string m = method;
  auto with_body = [this, route](const httplib::Request& req, httplib::Response& res,
                                 const httplib::ContentReader& reader) {
    serve(route, req, res, &reader);
  };
  if (m == "GET") {
    svr_.Get(pattern, [this, route](const httplib::Request& req, httplib::Response& res) {
      serve(route, req, res, nullptr);
    });
  } else if (m == "POST") {
    svr_.Post(pattern, with_body);
  } else if (m == "PUT") {
    svr_.Put(pattern, with_body);
  } else if (m == "DELETE") {
    svr_.Delete(pattern, with_body);
  } else if (m == "PATCH") {
    svr_.Patch(pattern, with_body);
  }
}

void StoreServer::add_control(const char* method, const char* pattern, EndpointHandler handler) {
  std::string m = method;
  auto with_body = [this, handler](const httplib::Request& req, httplib::Response& res,
                                   const httplib::ContentReader& reader) {
    serve_control(handler, req, res, &reader);
  };
  if (m == "GET") {
    svr_.Get(pattern, [this, handler](const httplib::Request& req, httplib::Response& res) {
      serve_control(handler, req, res, nullptr);
    });
  } else if (m == "POST") {
    svr_.Post(pattern, with_body);
  } else if (m == "DELETE") {
    svr_.Delete(pattern, with_body);
  }
}

int StoreServer::bind(const std::string& host, int port) {
  if (port == 0) return svr_.bind_to_any_port(host);
  return svr_.bind_to_port(host, port) ? port : -1;
}

void StoreServer::serve(const Route& route, const httplib::Request& req, httplib::Response& res,
                        const httplib::ContentReader* reader) {
  BodyReader body(req, reader);
  Exchange ex{req, res, body};
  RequestRecord record = arrival_record(ctx_.log, route.kind, req);
  PartGauge gauge(ctx_.log, route.kind);
  const bool fresh_nonce = !ctx_.verifier.nonce_seen(req);
  auto fault = ctx_.faults.next(route.kind);
  // A stall-read leaves the body unread, form and JSON bodies included.
  bool unread = fault && fault->action == FaultAction::kStallRead;
  bool text = kind_has_text_body(route.kind) && !unread;
  if (text) body.read_text(kTextBodyCap);
  if (fault && !change_local_file(*fault)) {
    std::fprintf(stderr, "fault: the local file %s could not be changed\n", fault->local_file.c_str());
  }
  if (fault && fault->action != FaultAction::kPass) {
    apply_fault(*fault, ex, record);
  } else {
    if (admitted(route, ex, fresh_nonce)) run_handler(route, ex);
    if (fault) reshape_answer(*fault, ex, record);
  }
  body.drain();
  // Every answer tells this server's time, as real services' answers do.
  res.set_header("Date", format_http_date(ctx_.clock.now_seconds()));
  if (text) record.body = body.text();
  record.body_bytes = body.bytes();
  record.arrivals = body.arrivals();
  bool dropped = fault && answers_nothing(fault->action);
  // A request that got an answer, a fault's included (a gateway's page), was
  // seen by the gateway; one whose connection died unanswered may never have
  // reached it, and libcurl itself sends it again on a new connection.
  if (!dropped) ctx_.verifier.remember_nonce(req);
  record.status = dropped ? 0 : res.status;
  record.end_ms = real_now_millis();
  ctx_.log.finish(std::move(record));
  if (!dropped) log_line(req, res.status);
}

bool StoreServer::admitted(const Route& route, Exchange& ex, bool fresh_nonce) {
  if (!fresh_nonce) {
    reply_error(ex.res, 401, "gateway nonce used before");
    return false;
  }
  if (GatewayVerifier::carries_signature(ex.req.headers)) {
    SignatureCheck check = ctx_.verifier.verify(ex.req);
    if (!check.ok) reply_error(ex.res, 401, check.message);
    return check.ok;
  }
  if (route.gated && ctx_.options.require_signature) {
    reply_error(ex.res, 401, "missing gateway signature");
    return false;
  }
  return true;
}

void StoreServer::run_handler(const Route& route, Exchange& ex) {
  try {
    route.handler(ctx_, ex);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "handler failed: %s\n", e.what());
    reply_error(ex.res, 500, "internal error");
  }
}

void StoreServer::apply_fault(const FaultRule& rule, Exchange& ex, RequestRecord& record) {
  record.fault = std::string(fault_action_name(rule.action));
  if (rule.action == FaultAction::kStatus || rule.action == FaultAction::kBody) {
    ex.res.status = rule.status;
    ex.res.set_content(rule.body, rule.content_type);
    reshape_answer(rule, ex, record);
    return;
  }
  if (rule.action == FaultAction::kRedirect) {
    ex.res.status = rule.status;
    ex.res.set_header("Location", rule.location.empty() ? ex.req.target : rule.location);
    reshape_answer(rule, ex, record);
    return;
  }
  if (rule.action == FaultAction::kStallRead || rule.action == FaultAction::kStallAnswer) {
    return stall(rule, ex, record);
  }
  if (rule.action == FaultAction::kEndless) {
    ex.body.drain();
    ex.res.status = 200;
    // Writes until the client goes away or the stand-in stops.
    ex.res.set_chunked_content_provider("application/octet-stream",
                                        [this](size_t, httplib::DataSink& sink) {
                                          static const std::string block(64 * 1024, 'e');
                                          return svr_.is_running() &&
                                                 sink.write(block.data(), block.size());
                                        });
    return;
  }
  if (rule.action == FaultAction::kCut) {
    // Half of the announced body (the first block when none was announced),
    // then the connection goes while the client is still sending.
    std::uint64_t announced = ex.body.announced_length();
    ex.body.read_prefix(announced > 0 ? announced / 2 : 1);
  } else {
    ex.body.drain();  // take the whole request first so the client sees a clean EOF
  }
  bool dropped = drop_connection(ex.req);
  // Fallback if the socket was not found: an empty 500 and the connection closed.
  ex.res.status = 500;
  ex.res.set_header("Connection", "close");
  log_line(ex.req, 0, dropped ? " (dropped)" : " (drop fallback: empty 500, then close)");
}

// Holds the connection without answering, then cuts it as "drop" does.
void StoreServer::stall(const FaultRule& rule, Exchange& ex, RequestRecord& record) {
  if (rule.action == FaultAction::kStallRead) {
    ex.body.leave_unread();
  } else {
    ex.body.drain();
  }
  StallEnd end = hold_connection(ex.req, rule.seconds, stalls_);
  record.closed_by = end == StallEnd::kClientClosed ? "client" : "server";
  drop_connection(ex.req);
  ex.res.status = 500;  // never reaches the client unless the socket was not found
  ex.res.set_header("Connection", "close");
  log_line(ex.req, 0, end == StallEnd::kClientClosed ? " (stalled; client closed)" : " (stalled)");
}

void StoreServer::serve_control(EndpointHandler handler, const httplib::Request& req,
                                httplib::Response& res, const httplib::ContentReader* reader) {
  BodyReader body(req, reader);
  Exchange ex{req, res, body};
  handler(ctx_, ex);
  body.drain();
  log_line(req, res.status);
}

}  // namespace localstore
