#include "request_kind.h"

namespace localstore {

std::string_view kind_name(Kind kind) {
  switch (kind) {
    case Kind::kGatewayToken: return "gateway-token";
    case Kind::kProjectList: return "project-list";
    case Kind::kStorageToken: return "storage-token";
    case Kind::kDirectUpload: return "direct-upload";
    case Kind::kCreateTask: return "create-task";
    case Kind::kPartUrl: return "part-url";
    case Kind::kPartPut: return "part-put";
    case Kind::kMerge: return "merge";
    case Kind::kAbort: return "abort";
    case Kind::kOther: return "other";
  }
  return "other";
}

std::optional<Kind> kind_from_name(std::string_view name) {
  for (Kind kind : kAllKinds) {
    if (kind_name(kind) == name) return kind;
  }
  return std::nullopt;
}

bool kind_has_text_body(Kind kind) {
  return kind == Kind::kGatewayToken || kind == Kind::kCreateTask || kind == Kind::kPartUrl ||
         kind == Kind::kMerge || kind == Kind::kAbort;
}

}  // namespace localstore
