// Injected faults, installed per run through the control endpoint. A rule
// fires on the nth request of its kind counted since the rules were installed,
// or on the nth through the `through`th (nth 0 = every request of that kind);
// the first matching rule wins.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "request_kind.h"

namespace localstore {

enum class FaultAction {
  kStatus,  // answer `status` (default 500) with `body` instead of handling
  kBody,    // answer `status` (default 200) with `body` instead of handling
  kDrop,    // close the connection without any response
  kCut,     // read half of the announced body, then close without any response
  kPass,    // handle the request normally, then reshape the answer
  kRedirect,     // read the body, answer `status` (default 307) with a Location
  kStallRead,    // read no body and answer nothing for `seconds`, then close
  kStallAnswer,  // read the whole body, answer nothing for `seconds`, then close
  kEndless,      // read the whole body, then answer 200 with a body that never ends
};

// What a rule does to a file of the client's machine when it fires, before
// its action: the uploader's local file changed while a request is held.
enum class LocalFileChange {
  kNone,
  kRemove,   // delete the file
  kCut,      // cut it to `local_file_bytes` bytes
  kGrow,     // append `local_file_bytes` bytes
  kRewrite,  // overwrite every byte in place (same size), new modification time
  kRewriteKeepTime,  // the same, with the old modification time put back
};

// Whether the action ends the connection without any response.
bool answers_nothing(FaultAction action);

struct FaultRule {
  Kind kind = Kind::kOther;
  std::uint64_t nth = 0;
  std::uint64_t through = 0;  // last request the rule fires for; 0: only the nth
  FaultAction action = FaultAction::kStatus;
  int status = 500;  // 0 for a "pass" rule that keeps the handler's status
  std::string body;  // from "body", or the decoded "bodyBase64"
  std::string content_type = "application/json";
  std::string location;         // redirect target; empty: the request's own path and query
  std::uint64_t seconds = 600;  // how long a stall holds the connection
  std::uint64_t delay_ms = 0;   // "pass": how long the answer waits before it goes out
  // Answer reshaping, applied to the injected body (status, body) or to the
  // handler's own answer (pass), in this order:
  // members of a JSON object answer replaced or added: dotted path -> JSON text
  std::vector<std::pair<std::string, std::string>> set;
  std::uint64_t pad_to = 0;  // grow the body to at least this many bytes
  // one extra response header; its line "name: value" is grown to
  // `header_bytes` when that is larger
  std::string header_name;
  std::string header_value;
  std::uint64_t header_bytes = 0;
  std::string local_file;  // the file changed when the rule fires
  LocalFileChange local_file_change = LocalFileChange::kNone;
  std::uint64_t local_file_bytes = 0;
};

// Applies the rule's change to its local file; false when it failed.
bool change_local_file(const FaultRule& rule);

std::string_view fault_action_name(FaultAction action);

// Parses a JSON array of rules (a single rule object is accepted too).
bool parse_fault_rules(const std::string& json, std::vector<FaultRule>& rules, std::string& error);

// `body` with the rule's "set" members and padding applied. A body that is not
// a JSON object is left alone by "set"; padding adds a "padding" member to a
// JSON object and trailing blanks to anything else.
std::string reshape_body(const FaultRule& rule, std::string body);

// The value of the rule's extra header, grown to its requested line length.
std::string extra_header_value(const FaultRule& rule);

class FaultBook {
 public:
  void install(std::vector<FaultRule> rules);  // replaces the rules, restarts the counts
  void clear() { install({}); }

  // Counts this request of `kind` and returns the rule that fires for it.
  std::optional<FaultRule> next(Kind kind);

 private:
  std::mutex mutex_;
  std::vector<FaultRule> rules_;
  std::array<std::uint64_t, kAllKinds.size()> seen_{};
};

}  // namespace localstore
