// The sink mode's replacements for storing bodies and merging parts, and its
// control endpoints. The handlers of part_handlers.cc and upload_handlers.cc
// do all their checks as usual and hand over here only where they would
// write to disk.
#pragma once

#include <cstdint>
#include <string>

#include "item_store.h"
#include "store_context.h"
#include "task_book.h"

namespace localstore {

// Takes a part's body into the sink book; answers like a stored part-put.
void sink_part_body(StoreContext& ctx, Exchange& ex, const std::string& task, std::uint64_t part);

// Takes a direct upload's body; answers like a stored direct upload.
void sink_direct_body(StoreContext& ctx, Exchange& ex, ItemMeta meta, std::uint64_t length);

// Merges by the recorded part sizes; answers like a stored merge.
void sink_merge(StoreContext& ctx, Exchange& ex, const UploadTask& task);

// GET /_control/sink: what the sink received; DELETE /_control/sink forgets it.
// Registered in --sink mode only.
void handle_control_sink(StoreContext& ctx, Exchange& ex);
void handle_control_clear_sink(StoreContext& ctx, Exchange& ex);

}  // namespace localstore
