// Document-store upload endpoints: direct upload, create multi-part task,
// part URL, abort.
#pragma once

#include "store_context.h"

namespace localstore {

void handle_direct_upload(StoreContext& ctx, Exchange& ex);
void handle_create_task(StoreContext& ctx, Exchange& ex);
void handle_part_url(StoreContext& ctx, Exchange& ex);
void handle_abort(StoreContext& ctx, Exchange& ex);

}  // namespace localstore
