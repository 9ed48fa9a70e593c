// Part storage (pre-signed PUT) and the merge of a task's parts.
#pragma once

#include "store_context.h"

namespace localstore {

void handle_part_put(StoreContext& ctx, Exchange& ex);
void handle_merge(StoreContext& ctx, Exchange& ex);

}  // namespace localstore
