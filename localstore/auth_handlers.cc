#include "auth_handlers.h"

#include "auth_header.h"
#include "crypto_util.h"
#include "json_util.h"
#include "responses.h"
#include "url_codec.h"

namespace localstore {
namespace {

void refuse_client(httplib::Response& res) {
  JsonWriter w;
  w.begin_object().key("error").str("invalid_client");
  w.key("error_description").str("bad client credentials").end_object();
  reply_json(res, 401, w.text());
}

bool client_matches(const StoreContext& ctx, const QueryParams& form) {
  const std::string* grant = find_param(form, "grant_type");
  const std::string* id = find_param(form, "client_id");
  const std::string* secret = find_param(form, "client_secret");
  return grant && id && secret && *grant == "client_credentials" &&
         constant_time_equal(*id, ctx.options.appkey) &&
         constant_time_equal(*secret, ctx.options.appsecret);
}

// The base64 text of a Basic credential that decodes to "KEY:SECRET".
std::optional<std::string> valid_basic_credential(const StoreContext& ctx, const Exchange& ex) {
  auto credential = authorization_credentials(ex.req, "basic");
  if (!credential) return std::nullopt;
  auto decoded = base64_decode(*credential);
  if (!decoded) return std::nullopt;
  auto colon = decoded->find(':');
  if (colon == std::string::npos) return std::nullopt;
  if (!constant_time_equal(decoded->substr(0, colon), ctx.options.appkey) ||
      !constant_time_equal(decoded->substr(colon + 1), ctx.options.appsecret)) {
    return std::nullopt;
  }
  return credential;
}

// A "credential" query parameter, when present, must repeat the Basic credential.
bool query_credential_agrees(const Exchange& ex, const std::string& credential) {
  QueryParams params = parse_query(raw_query_of(ex.req.target));
  const std::string* repeated = find_param(params, "credential");
  return !repeated || *repeated == credential;
}

}  // namespace

void handle_gateway_token(StoreContext& ctx, Exchange& ex) {
  if (!client_matches(ctx, parse_query(ex.body.text()))) return refuse_client(ex.res);
  auto issued = ctx.gateway_tokens.issue(ctx.options.token_lifetime);
  JsonWriter w;
  w.begin_object().key("access_token").str(issued.token).key("token_type").str("bearer");
  w.key("expires_in").num(ctx.options.token_lifetime).end_object();
  reply_json(ex.res, 200, w.text());
}

void handle_project_list(StoreContext& ctx, Exchange& ex) {
  auto token = authorization_credentials(ex.req, "bearer");
  if (!token || !ctx.gateway_tokens.is_valid(*token)) return reply_error(ex.res, 401, "invalid token");
  std::string org = ex.req.matches[1].str();
  if (ctx.options.org_id && *ctx.options.org_id != org) {
    return reply_error(ex.res, 404, "organization not found");
  }
  JsonWriter w;
  w.begin_object().key("project").begin_object();
  w.key("id").num(ctx.options.project_id).key("name").str("demo project");
  w.end_object().end_object();
  reply_json(ex.res, 200, w.text());
}

void handle_storage_token(StoreContext& ctx, Exchange& ex) {
  auto credential = valid_basic_credential(ctx, ex);
  if (!credential || !query_credential_agrees(ex, *credential)) {
    return reply_error(ex.res, 401, "invalid credential");
  }
  const std::int64_t lifetime = ctx.options.token_ttl.value_or(ctx.options.token_lifetime);
  auto issued = ctx.storage_tokens.issue(lifetime);
  JsonWriter w;
  w.begin_object().key("token").str(issued.token);
  w.key("expireTime").str(format_expire_time(issued.expires_at, ctx.options.expiry_zone));
  w.end_object();
  reply_success(ex.res, w.text());
}

bool require_storage_token(StoreContext& ctx, Exchange& ex) {
  auto token = authorization_credentials(ex.req, "bearer");
  if (token && ctx.storage_tokens.is_valid(*token)) return true;
  reply_error(ex.res, 401, "invalid token");
  return false;
}

bool parse_json_body(Exchange& ex, rapidjson::Document& doc) {
  if (ex.body.truncated()) {
    reply_error(ex.res, 400, "request body too large");
    return false;
  }
  if (!parse_json(ex.body.text(), doc) || !doc.IsObject()) {
    reply_error(ex.res, 400, "invalid JSON body");
    return false;
  }
  return true;
}

}  // namespace localstore
