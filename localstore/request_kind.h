// The kinds of request the server tells apart in its log, stats and faults.
#pragma once

#include <array>
#include <optional>
#include <string_view>

namespace localstore {

enum class Kind {
  kGatewayToken,
  kProjectList,
  kStorageToken,
  kDirectUpload,
  kCreateTask,
  kPartUrl,
  kPartPut,
  kMerge,
  kAbort,
  kOther,
};

inline constexpr std::array<Kind, 10> kAllKinds = {
    Kind::kGatewayToken, Kind::kProjectList, Kind::kStorageToken, Kind::kDirectUpload,
    Kind::kCreateTask,   Kind::kPartUrl,     Kind::kPartPut,      Kind::kMerge,
    Kind::kAbort,        Kind::kOther};

std::string_view kind_name(Kind kind);
std::optional<Kind> kind_from_name(std::string_view name);

// Kinds whose (form or JSON) request body is kept in the request log.
bool kind_has_text_body(Kind kind);

}  // namespace localstore
