#include "fault_book.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <vector>

#include "crypto_util.h"
#include "json_util.h"

namespace localstore {
namespace {

// Bounds on generated answers, so a mistyped rule cannot exhaust memory.
constexpr std::uint64_t kMaxPadTo = 64ull << 20;
constexpr std::uint64_t kMaxHeaderBytes = 1ull << 20;
constexpr std::uint64_t kMaxStallSeconds = 24 * 3600;
// A delayed answer holds a worker thread; stalls are the tool for long waits.
constexpr std::uint64_t kMaxDelayMillis = 10'000;

std::optional<FaultAction> action_from_name(const std::string& name) {
  if (name == "status") return FaultAction::kStatus;
  if (name == "body") return FaultAction::kBody;
  if (name == "drop") return FaultAction::kDrop;
  if (name == "cut") return FaultAction::kCut;
  if (name == "pass") return FaultAction::kPass;
  if (name == "redirect") return FaultAction::kRedirect;
  if (name == "stall-read") return FaultAction::kStallRead;
  if (name == "stall-answer") return FaultAction::kStallAnswer;
  if (name == "endless") return FaultAction::kEndless;
  return std::nullopt;
}

std::string default_body(const FaultRule& rule) {
  if (rule.action == FaultAction::kStatus) return error_envelope(rule.status, "injected fault");
  return "";
}

std::string json_text(const rapidjson::Value& value) {
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  value.Accept(writer);
  return std::string(buffer.GetString(), buffer.GetSize());
}

bool parse_set(const rapidjson::Value& v, FaultRule& rule, std::string& error) {
  auto it = v.FindMember("set");
  if (it == v.MemberEnd()) return true;
  if (!it->value.IsObject()) {
    error = "\"set\" must map member paths to JSON values";
    return false;
  }
  for (const auto& member : it->value.GetObject()) {
    std::string path(member.name.GetString(), member.name.GetStringLength());
    if (path.empty()) { error = "empty path in \"set\""; return false; }
    rule.set.emplace_back(std::move(path), json_text(member.value));
  }
  return true;
}

bool parse_body(const rapidjson::Value& v, FaultRule& rule, std::string& error) {
  if (auto encoded = member_string(v, "bodyBase64")) {
    auto decoded = base64_decode(*encoded);
    if (!decoded) { error = "\"bodyBase64\" is not valid Base64"; return false; }
    rule.body = std::move(*decoded);
    return true;
  }
  rule.body = member_string(v, "body").value_or(default_body(rule));
  return true;
}

// The status a rule answers when it names none; a "pass" rule keeps the handler's.
int default_status(FaultAction action) {
  if (action == FaultAction::kStatus) return 500;
  if (action == FaultAction::kPass) return 0;
  if (action == FaultAction::kRedirect) return 307;
  return 200;
}

bool parse_range(const rapidjson::Value& v, FaultRule& rule, std::string& error) {
  rule.nth = member_uint64(v, "nth").value_or(0);
  auto through = member_uint64(v, "through");
  if (through && (rule.nth == 0 || *through < rule.nth)) {
    error = "\"through\" needs an \"nth\" of 1 or more, and no smaller than it";
    return false;
  }
  rule.through = through.value_or(0);
  return true;
}

std::optional<LocalFileChange> change_from_name(const std::string& name) {
  if (name == "remove") return LocalFileChange::kRemove;
  if (name == "cut") return LocalFileChange::kCut;
  if (name == "grow") return LocalFileChange::kGrow;
  if (name == "rewrite") return LocalFileChange::kRewrite;
  if (name == "rewrite-keep-time") return LocalFileChange::kRewriteKeepTime;
  return std::nullopt;
}

bool parse_local_file(const rapidjson::Value& v, FaultRule& rule, std::string& error) {
  rule.local_file = member_string(v, "localFile").value_or("");
  std::string name = member_string(v, "localFileChange").value_or("");
  if (rule.local_file.empty() != name.empty()) {
    error = "\"localFile\" and \"localFileChange\" go together";
    return false;
  }
  if (name.empty()) return true;
  auto change = change_from_name(name);
  if (!change) {
    error = "\"localFileChange\" is remove|cut|grow|rewrite|rewrite-keep-time";
    return false;
  }
  rule.local_file_change = *change;
  rule.local_file_bytes = member_uint64(v, "localFileBytes").value_or(0);
  return true;
}

bool parse_rule(const rapidjson::Value& v, FaultRule& rule, std::string& error) {
  auto kind = kind_from_name(member_string(v, "kind").value_or(""));
  auto action = action_from_name(member_string(v, "action").value_or(""));
  if (!kind || !action) {
    error = "each rule needs a known \"kind\" and \"action\" "
            "(status|body|drop|cut|pass|redirect|stall-read|stall-answer|endless)";
    return false;
  }
  rule.kind = *kind;
  rule.action = *action;
  if (!parse_range(v, rule, error)) return false;
  auto status = member_int64(v, "status");
  int fallback = default_status(*action);
  rule.status = status ? static_cast<int>(*status) : fallback;
  if (rule.status != fallback && (rule.status < 100 || rule.status > 599)) {
    error = "status out of range";
    return false;
  }
  if (!parse_body(v, rule, error)) return false;
  rule.content_type = member_string(v, "contentType").value_or("application/json");
  rule.location = member_string(v, "location").value_or("");
  rule.seconds = member_uint64(v, "seconds").value_or(600);
  if (rule.seconds > kMaxStallSeconds) {
    error = "seconds too large";
    return false;
  }
  rule.delay_ms = member_uint64(v, "delayMs").value_or(0);
  if (rule.delay_ms > kMaxDelayMillis) {
    error = "delayMs too large";
    return false;
  }
  if (!parse_set(v, rule, error)) return false;
  rule.pad_to = member_uint64(v, "padTo").value_or(0);
  rule.header_name = member_string(v, "header").value_or("");
  rule.header_value = member_string(v, "headerValue").value_or("");
  rule.header_bytes = member_uint64(v, "headerBytes").value_or(0);
  if (rule.pad_to > kMaxPadTo || rule.header_bytes > kMaxHeaderBytes) {
    error = "padTo or headerBytes too large";
    return false;
  }
  if (rule.header_name.empty() && (!rule.header_value.empty() || rule.header_bytes > 0)) {
    error = "\"headerValue\" and \"headerBytes\" need \"header\"";
    return false;
  }
  return parse_local_file(v, rule, error);
}

// Sets the member at the dotted `path` of `root` to `value`, creating (or
// replacing with) objects along the way.
void set_member(rapidjson::Document& root, const std::string& path, const std::string& value) {
  rapidjson::Document parsed;
  parse_json(value, parsed);
  auto& allocator = root.GetAllocator();
  rapidjson::Value* node = &root;
  size_t start = 0;
  while (true) {
    size_t dot = path.find('.', start);
    std::string name = path.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
    if (!node->IsObject()) node->SetObject();
    auto it = node->FindMember(name.c_str());
    if (it == node->MemberEnd()) {
      node->AddMember(rapidjson::Value(name.c_str(), allocator), rapidjson::Value(), allocator);
      it = node->FindMember(name.c_str());
    }
    if (dot == std::string::npos) {
      it->value.CopyFrom(parsed, allocator);
      return;
    }
    node = &it->value;
    start = dot + 1;
  }
}

}  // namespace

std::string_view fault_action_name(FaultAction action) {
  switch (action) {
    case FaultAction::kStatus: return "status";
    case FaultAction::kBody: return "body";
    case FaultAction::kDrop: return "drop";
    case FaultAction::kCut: return "cut";
    case FaultAction::kPass: return "pass";
    case FaultAction::kRedirect: return "redirect";
    case FaultAction::kStallRead: return "stall-read";
    case FaultAction::kStallAnswer: return "stall-answer";
    case FaultAction::kEndless: return "endless";
  }
  return "status";
}

namespace {

// Overwrites every byte of `path` in place with its complement.
bool rewrite_in_place(const std::string& path) {
  std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
  if (!file) return false;
  std::vector<char> block(1 << 20);
  for (std::streamoff at = 0;; at += static_cast<std::streamoff>(block.size())) {
    file.seekg(at);
    file.read(block.data(), static_cast<std::streamsize>(block.size()));
    std::streamsize got = file.gcount();
    if (got <= 0) break;
    for (std::streamsize i = 0; i < got; ++i) block[i] = static_cast<char>(~block[i]);
    file.clear();
    file.seekp(at);
    file.write(block.data(), got);
    if (got < static_cast<std::streamsize>(block.size())) break;
  }
  file.flush();
  return static_cast<bool>(file);
}

}  // namespace

bool change_local_file(const FaultRule& rule) {
  namespace fs = std::filesystem;
  std::error_code error;
  const fs::path path(rule.local_file);
  switch (rule.local_file_change) {
    case LocalFileChange::kNone:
      return true;
    case LocalFileChange::kRemove:
      return fs::remove(path, error);
    case LocalFileChange::kCut:
      fs::resize_file(path, rule.local_file_bytes, error);
      return !error;
    case LocalFileChange::kGrow: {
      std::ofstream out(path, std::ios::binary | std::ios::app);
      std::string more(rule.local_file_bytes, 'g');
      out.write(more.data(), static_cast<std::streamsize>(more.size()));
      return static_cast<bool>(out);
    }
    case LocalFileChange::kRewrite:
    case LocalFileChange::kRewriteKeepTime: {
      auto before = fs::last_write_time(path, error);
      if (error || !rewrite_in_place(rule.local_file)) return false;
      if (rule.local_file_change == LocalFileChange::kRewriteKeepTime) {
        fs::last_write_time(path, before, error);
      }
      return !error;
    }
  }
  return false;
}

bool answers_nothing(FaultAction action) {
  return action == FaultAction::kDrop || action == FaultAction::kCut ||
         action == FaultAction::kStallRead || action == FaultAction::kStallAnswer;
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

std::string reshape_body(const FaultRule& rule, std::string body) {
  if (rule.set.empty() && rule.pad_to <= body.size()) return body;
  rapidjson::Document doc;
  bool object = parse_json(body, doc) && doc.IsObject();
  if (object) {
    for (const auto& [path, value] : rule.set) set_member(doc, path, value);
    body = json_text(doc);
  }
  if (rule.pad_to <= body.size()) return body;
  if (!object) {
    body.append(rule.pad_to - body.size(), ' ');
    return body;
  }
  // The member adds ,"padding":"" (13 bytes) besides its text. It is spliced
  // in as text: the compact object ends in its closing brace.
  bool empty = doc.ObjectEmpty();
  size_t overhead = empty ? 12 : 13;
  size_t fill = rule.pad_to > body.size() + overhead ? rule.pad_to - body.size() - overhead : 0;
  body.pop_back();
  body.append(empty ? "\"padding\":\"" : ",\"padding\":\"");
  body.append(fill, 'x');
  body.append("\"}");
  return body;
}

std::string extra_header_value(const FaultRule& rule) {
  std::string value = rule.header_value;
  size_t line = rule.header_name.size() + 2 + value.size();  // "name: value"
  if (rule.header_bytes > line) value.append(rule.header_bytes - line, 'h');
  return value;
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
    bool in_range = nth >= rule.nth && nth <= std::max(rule.nth, rule.through);
    if (rule.kind == kind && (rule.nth == 0 || in_range)) return rule;
  }
  return std::nullopt;
}

}  // namespace localstore
