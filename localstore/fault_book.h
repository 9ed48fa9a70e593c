// Injected faults, installed per run through the control endpoint. A rule
// fires on the nth request of its kind counted since the rules were installed
// (nth 0 = every request of that kind); the first matching rule wins.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "request_kind.h"

namespace localstore {

enum class FaultAction {
  kStatus,  // answer `status` (default 500) with `body` instead of handling
  kBody,    // answer `status` (default 200) with `body` instead of handling
  kDrop,    // close the connection without any response
};

struct FaultRule {
  Kind kind = Kind::kOther;
  std::uint64_t nth = 0;
  FaultAction action = FaultAction::kStatus;
  int status = 500;
  std::string body;
  std::string content_type = "application/json";
};

std::string_view fault_action_name(FaultAction action);

// Parses a JSON array of rules (a single rule object is accepted too).
bool parse_fault_rules(const std::string& json, std::vector<FaultRule>& rules, std::string& error);

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
