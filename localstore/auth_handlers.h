// Gateway token, project lookup and storage token endpoints, plus the bearer
// check shared by the document-store endpoints.
#pragma once

#include <rapidjson/document.h>

#include "store_context.h"

namespace localstore {

void handle_gateway_token(StoreContext& ctx, Exchange& ex);
void handle_project_list(StoreContext& ctx, Exchange& ex);
void handle_storage_token(StoreContext& ctx, Exchange& ex);

// True for a valid "Bearer <storage token>"; otherwise answers 401 and returns false.
bool require_storage_token(StoreContext& ctx, Exchange& ex);

// Parses the JSON body (already read as text); otherwise answers 400 and returns false.
bool parse_json_body(Exchange& ex, rapidjson::Document& doc);

}  // namespace localstore
