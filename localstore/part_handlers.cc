#include "part_handlers.h"

#include <charconv>

#include "auth_handlers.h"
#include "json_util.h"
#include "part_merger.h"
#include "responses.h"
#include "sink_handlers.h"
#include "url_codec.h"

namespace localstore {
namespace {

bool signature_accepted(StoreContext& ctx, Exchange& ex, const std::string& task,
                        const std::string& part) {
  QueryParams params = parse_query(raw_query_of(ex.req.target));
  const std::string* expires = find_param(params, "expires");
  const std::string* signature = find_param(params, "signature");
  PartUrlCheck check = (expires && signature)
                           ? ctx.signer.check(task, part, *expires, *signature)
                           : PartUrlCheck::kBadSignature;
  if (check == PartUrlCheck::kOk) return true;
  if (check == PartUrlCheck::kExpired) {
    reply_storage_error(ex.res, 403, "AccessDenied", "Request has expired");
  } else {
    reply_storage_error(ex.res, 403, "SignatureDoesNotMatch", "The request signature is invalid");
  }
  return false;
}

std::string merge_reply(const ItemMeta& meta) {
  JsonWriter w;
  w.begin_object().key("status").str("success").key("fileItemId").str(meta.id);
  w.key("fileItemName").str(meta.name).end_object();
  return w.text();
}

void merge_task(StoreContext& ctx, Exchange& ex, const UploadTask& task) {
  if (ctx.sink) return sink_merge(ctx, ex, task);
  ItemMeta meta{ctx.items.new_id(), task.name, task.parent_id, task.length, ""};
  FileSink sink(ctx.items.bin_path(meta.id));
  if (!sink.ok()) return reply_error(ex.res, 500, "cannot create file");
  MergeOutcome outcome = merge_parts(ctx.tasks.dir_of(task.id), task.length, sink);
  if (!outcome.ok) return reply_error(ex.res, 400, outcome.message);
  meta.sha256 = sink.sha256_hex();
  if (!ctx.items.add(meta, sink)) return reply_error(ex.res, 500, "cannot store file");
  ctx.tasks.remove(task.id);
  reply_success(ex.res, merge_reply(meta));
}

}  // namespace

void handle_part_put(StoreContext& ctx, Exchange& ex) {
  std::string task = ex.req.matches[1].str();
  std::string part = ex.req.matches[2].str();
  if (!signature_accepted(ctx, ex, task, part)) return;
  std::uint64_t number = 0;
  std::from_chars(part.data(), part.data() + part.size(), number);
  if (!ctx.tasks.find(task)) {
    return reply_storage_error(ex.res, 404, "NoSuchUpload", "The upload task does not exist");
  }
  if (ctx.sink) return sink_part_body(ctx, ex, task, number);
  FileSink sink(ctx.tasks.part_path(task, number));
  if (!sink.ok()) return reply_storage_error(ex.res, 500, "InternalError", "cannot create part");
  if (!ex.body.stream([&](const char* d, size_t n) { sink.write(d, n); })) {
    return reply_storage_error(ex.res, 400, "IncompleteBody", "The body was not received in full");
  }
  if (!sink.commit()) return reply_storage_error(ex.res, 500, "InternalError", "cannot write part");
  ex.res.status = 200;
}

void handle_merge(StoreContext& ctx, Exchange& ex) {
  if (!require_storage_token(ctx, ex)) return;
  rapidjson::Document doc;
  if (!parse_json_body(ex, doc)) return;
  auto id = member_string(doc, "id");
  auto parent_id = member_string(doc, "parentId");
  if (!id || !parent_id) return reply_error(ex.res, 400, "id and parentId are required");
  auto task = ctx.tasks.find(*id);
  if (!task) return reply_error(ex.res, 404, "upload task not found");
  if (*parent_id != task->parent_id) return reply_error(ex.res, 400, "parentId mismatch");
  merge_task(ctx, ex, *task);
}

}  // namespace localstore
