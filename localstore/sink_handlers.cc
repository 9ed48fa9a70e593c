#include "sink_handlers.h"

#include "json_util.h"
#include "responses.h"
#include "sink_book.h"

namespace localstore {
namespace {

// Streams the body through the checksum with large reads. A body that did not
// arrive in full leaves the connection out of step, so it is closed after
// the answer.
bool take_body(Exchange& ex, SinkBody& taken) {
  Xxh128 hash;
  bool complete = ex.body.stream_large([&](const char* data, size_t n) {
    hash.update(data, n);
    taken.bytes += n;
  });
  taken.xxh128 = hash.hex_digest();
  if (!complete) ex.res.set_header("Connection", "close");
  return complete;
}

}  // namespace

void sink_part_body(StoreContext& ctx, Exchange& ex, const std::string& task, std::uint64_t part) {
  SinkBody body;
  if (!take_body(ex, body)) {
    return reply_storage_error(ex.res, 400, "IncompleteBody", "The body was not received in full");
  }
  ctx.sink->add_part(task, part, std::move(body));
  ex.res.status = 200;
}

void sink_direct_body(StoreContext& ctx, Exchange& ex, ItemMeta meta, std::uint64_t length) {
  SinkBody body;
  if (!take_body(ex, body)) return reply_error(ex.res, 400, "incomplete request body");
  if (body.bytes != length) return reply_error(ex.res, 400, "length mismatch");
  ctx.sink->add_item({meta.id, meta.name, "direct-upload", body.bytes, body.xxh128, ""});
  JsonWriter w;
  w.begin_object().key("status").str("success").key("fileItemId").str(meta.id);
  w.key("fileItemName").str(meta.name).key("length").unum(body.bytes).end_object();
  reply_success(ex.res, w.text());
}

void sink_merge(StoreContext& ctx, Exchange& ex, const UploadTask& task) {
  std::string refusal = ctx.sink->merge_refusal(task.id, task.length);
  if (!refusal.empty()) return reply_error(ex.res, 400, refusal);
  std::string id = ctx.items.new_id();
  ctx.sink->add_item({id, task.name, "merge", task.length, "", task.id});
  ctx.tasks.remove(task.id);
  JsonWriter w;
  w.begin_object().key("status").str("success").key("fileItemId").str(id);
  w.key("fileItemName").str(task.name).end_object();
  reply_success(ex.res, w.text());
}

void handle_control_sink(StoreContext& ctx, Exchange& ex) {
  if (!ctx.sink) return reply_error(ex.res, 404, "not in sink mode");
  reply_json(ex.res, 200, ctx.sink->json());
}

void handle_control_clear_sink(StoreContext& ctx, Exchange& ex) {
  if (!ctx.sink) return reply_error(ex.res, 404, "not in sink mode");
  ctx.sink->clear();
  reply_json(ex.res, 200, "{\"ok\":true}");
}

}  // namespace localstore
