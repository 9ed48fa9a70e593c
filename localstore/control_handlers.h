// Test-only endpoints under /_control/: request log, stats, stored items,
// fault rules, clock offset, shutdown, forgetting a task.
#pragma once

#include "store_context.h"

namespace localstore {

void handle_control_requests(StoreContext& ctx, Exchange& ex);
void handle_control_clear_requests(StoreContext& ctx, Exchange& ex);
void handle_control_stats(StoreContext& ctx, Exchange& ex);
void handle_control_items(StoreContext& ctx, Exchange& ex);
void handle_control_set_faults(StoreContext& ctx, Exchange& ex);
void handle_control_clear_faults(StoreContext& ctx, Exchange& ex);
void handle_control_clock(StoreContext& ctx, Exchange& ex);
void handle_control_shutdown(StoreContext& ctx, Exchange& ex);
// DELETE /_control/tasks/<task>: forgets a pending task and its parts, as a
// service that expired it would.
void handle_control_forget_task(StoreContext& ctx, Exchange& ex);

}  // namespace localstore
