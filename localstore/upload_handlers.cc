#include "upload_handlers.h"

#include <charconv>

#include "auth_handlers.h"
#include "json_util.h"
#include "responses.h"
#include "sink_handlers.h"
#include "url_codec.h"

namespace localstore {
namespace {

std::optional<std::uint64_t> parse_length(const std::string* text) {
  if (!text || text->empty()) return std::nullopt;
  std::uint64_t value = 0;
  auto [end, ec] = std::from_chars(text->data(), text->data() + text->size(), value);
  if (ec != std::errc() || end != text->data() + text->size()) return std::nullopt;
  return value;
}

std::string direct_upload_reply(const ItemMeta& meta) {
  JsonWriter w;
  w.begin_object().key("status").str("success").key("fileItemId").str(meta.id);
  w.key("fileItemName").str(meta.name).key("length").unum(meta.length).end_object();
  return w.text();
}

// Streams the body into a new item and answers; the sink removes its
// temporary file on every early return.
void store_direct_body(StoreContext& ctx, Exchange& ex, ItemMeta meta, std::uint64_t length) {
  FileSink sink(ctx.items.bin_path(meta.id));
  if (!sink.ok()) return reply_error(ex.res, 500, "cannot create file");
  if (!ex.body.stream([&](const char* d, size_t n) { sink.write(d, n); })) {
    return reply_error(ex.res, 400, "incomplete request body");
  }
  if (sink.bytes() != length) return reply_error(ex.res, 400, "length mismatch");
  if (!sink.ok()) return reply_error(ex.res, 500, "cannot write file");
  meta.length = sink.bytes();
  meta.sha256 = sink.sha256_hex();
  if (!ctx.items.add(meta, sink)) return reply_error(ex.res, 500, "cannot store file");
  reply_success(ex.res, direct_upload_reply(meta));
}

std::optional<UploadTask> task_from_body(const rapidjson::Document& doc) {
  auto name = member_string(doc, "name");
  auto parent_id = member_string(doc, "parentId");
  auto parent_path = member_string(doc, "parentPath");
  auto length = member_uint64(doc, "length");
  if (!name || name->empty() || !parent_id || !parent_path || !length) return std::nullopt;
  return UploadTask{"", *name, *parent_id, *parent_path, *length};
}

}  // namespace

void handle_direct_upload(StoreContext& ctx, Exchange& ex) {
  if (!require_storage_token(ctx, ex)) return;
  QueryParams params = parse_query(raw_query_of(ex.req.target));
  const std::string* name = find_param(params, "name");
  const std::string* parent_id = find_param(params, "parentId");
  if (!name || name->empty()) return reply_error(ex.res, 400, "missing name");
  auto length = parse_length(find_param(params, "length"));
  if (!length) return reply_error(ex.res, 400, "missing or invalid length");
  ItemMeta meta{ctx.items.new_id(), *name, parent_id ? *parent_id : "", 0, ""};
  if (ctx.sink) return sink_direct_body(ctx, ex, std::move(meta), *length);
  store_direct_body(ctx, ex, std::move(meta), *length);
}

void handle_create_task(StoreContext& ctx, Exchange& ex) {
  if (!require_storage_token(ctx, ex)) return;
  rapidjson::Document doc;
  if (!parse_json_body(ex, doc)) return;
  auto task = task_from_body(doc);
  if (!task) return reply_error(ex.res, 400, "name, parentId, parentPath and length are required");
  auto id = ctx.tasks.create(*task);
  if (!id) return reply_error(ex.res, 500, "cannot create task");
  JsonWriter w;
  w.begin_object().key("id").str(*id).end_object();
  reply_success(ex.res, w.text());
}

void handle_part_url(StoreContext& ctx, Exchange& ex) {
  if (!require_storage_token(ctx, ex)) return;
  rapidjson::Document doc;
  if (!parse_json_body(ex, doc)) return;
  auto id = member_string(doc, "id");
  auto part = member_int64(doc, "partNum");
  if (!id || !part) return reply_error(ex.res, 400, "id and partNum are required");
  if (*part < 1) return reply_error(ex.res, 400, "partNum must be at least 1");
  if (!ctx.tasks.find(*id)) return reply_error(ex.res, 404, "upload task not found");
  std::string part_text = std::to_string(*part);
  std::string url = ctx.base_url + "/storage/" + *id + "/" + part_text + "?" +
                    ctx.signer.signed_query(*id, part_text);
  JsonWriter w;
  w.str(url);
  reply_success(ex.res, w.text());
}

void handle_abort(StoreContext&, Exchange& ex) {
  reply_success(ex.res, "true");
}

}  // namespace localstore
