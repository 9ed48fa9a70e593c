#include "fault_book.h"

#include "json_util.h"

namespace localstore {
namespace {

std::optional<FaultAction> action_from_name(const std::string& name) {
  if (name == "status") return FaultAction::kStatus;
  if (name == "body") return FaultAction::kBody;
  if (name == "drop") return FaultAction::kDrop;
  return std::nullopt;
}

std::string default_body(const FaultRule& rule) {
  if (rule.action == FaultAction::kStatus) return error_envelope(rule.status, "injected fault");
  return "";
}

bool parse_rule(const rapidjson::Value& v, FaultRule& rule, std::string& error) {
  auto kind = kind_from_name(member_string(v, "kind").value_or(""));
  auto action = action_from_name(member_string(v, "action").value_or(""));
  if (!kind || !action) {
    error = "each rule needs a known \"kind\" and \"action\" (status|body|drop)";
    return false;
  }
  rule.kind = *kind;
  rule.action = *action;
  rule.nth = member_uint64(v, "nth").value_or(0);
  auto status = member_int64(v, "status");
  rule.status = status ? static_cast<int>(*status) : (*action == FaultAction::kBody ? 200 : 500);
  if (rule.status < 100 || rule.status > 599) { error = "status out of range"; return false; }
  rule.body = member_string(v, "body").value_or(default_body(rule));
  rule.content_type = member_string(v, "contentType").value_or("application/json");
  return true;
}

}  // namespace

std::string_view fault_action_name(FaultAction action) {
  switch (action) {
    case FaultAction::kStatus: return "status";
    case FaultAction::kBody: return "body";
    case FaultAction::kDrop: return "drop";
  }
  return "status";
}

bool parse_fault_rules(const std::string& json, std::vector<FaultRule>& rules, std::string& error) {
  rapidjson::Document doc;
  if (!parse_json(json, doc) || (!doc.IsArray() && !doc.IsObject())) {
    error = "expected a JSON array of fault rules";
    return false;
  }
  if (doc.IsObject()) {
    FaultRule rule;
    if (!parse_rule(doc, rule, error)) return false;
    rules.push_back(rule);
    return true;
  }
  for (const auto& v : doc.GetArray()) {
    FaultRule rule;
    if (!parse_rule(v, rule, error)) return false;
    rules.push_back(rule);
  }
  return true;
}

void FaultBook::install(std::vector<FaultRule> rules) {
  std::lock_guard lock(mutex_);
  rules_ = std::move(rules);
  seen_.fill(0);
}

std::optional<FaultRule> FaultBook::next(Kind kind) {
  std::lock_guard lock(mutex_);
  std::uint64_t nth = ++seen_[static_cast<size_t>(kind)];
  for (const auto& rule : rules_) {
    if (rule.kind == kind && (rule.nth == 0 || rule.nth == nth)) return rule;
  }
  return std::nullopt;
}

}  // namespace localstore
