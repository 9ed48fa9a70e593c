#include "control_handlers.h"

#include "json_util.h"
#include "responses.h"

namespace localstore {
namespace {

constexpr size_t kControlBodyCap = 1 << 20;

void reply_ok(httplib::Response& res) { reply_json(res, 200, "{\"ok\":true}"); }

}  // namespace

void handle_control_requests(StoreContext& ctx, Exchange& ex) {
  reply_json(ex.res, 200, ctx.log.requests_json());
}

void handle_control_clear_requests(StoreContext& ctx, Exchange& ex) {
  ctx.log.clear();
  reply_ok(ex.res);
}

void handle_control_stats(StoreContext& ctx, Exchange& ex) {
  reply_json(ex.res, 200, ctx.log.stats_json());
}

void handle_control_items(StoreContext& ctx, Exchange& ex) {
  reply_json(ex.res, 200, ctx.items.list_json());
}

void handle_control_set_faults(StoreContext& ctx, Exchange& ex) {
  ex.body.read_text(kControlBodyCap);
  std::vector<FaultRule> rules;
  std::string error;
  if (!parse_fault_rules(ex.body.text(), rules, error)) return reply_error(ex.res, 400, error);
  size_t count = rules.size();
  ctx.faults.install(std::move(rules));
  JsonWriter w;
  w.begin_object().key("ok").boolean(true).key("rules").unum(count).end_object();
  reply_json(ex.res, 200, w.text());
}

void handle_control_clear_faults(StoreContext& ctx, Exchange& ex) {
  ctx.faults.clear();
  reply_ok(ex.res);
}

// {"offsetSeconds":N} shifts the server clock by N seconds from real time.
void handle_control_clock(StoreContext& ctx, Exchange& ex) {
  ex.body.read_text(kControlBodyCap);
  rapidjson::Document doc;
  auto offset = parse_json(ex.body.text(), doc) ? member_int64(doc, "offsetSeconds") : std::nullopt;
  if (!offset) return reply_error(ex.res, 400, "expected {\"offsetSeconds\":<integer>}");
  ctx.clock.set_offset_seconds(*offset);
  JsonWriter w;
  w.begin_object().key("offsetSeconds").num(*offset).key("now").num(ctx.clock.now_seconds());
  w.end_object();
  reply_json(ex.res, 200, w.text());
}

void handle_control_shutdown(StoreContext& ctx, Exchange& ex) {
  reply_ok(ex.res);
  ctx.request_stop();
}

}  // namespace localstore

namespace localstore {

void handle_control_forget_task(StoreContext& ctx, Exchange& ex) {
  const std::string id = ex.req.matches.size() > 1 ? std::string(ex.req.matches[1]) : "";
  if (id.empty() || !ctx.tasks.find(id)) return reply_error(ex.res, 404, "unknown task");
  ctx.tasks.remove(id);
  reply_ok(ex.res);
}

}  // namespace localstore
