#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/read_only_file.h"
#include "upload/part_plan.h"

namespace corvane {

class CorvaneMultiUpload;

enum class PartsOutcome {
  kArrived,      // every part sent arrived whole
  kFailed,       // at least one did not
  kTaskUnknown,  // the service refused a continued task's first part URL
};

// Sends the parts `indices` (from 0) of `plan`, taken from the open `file`,
// for task `uploadId`: up to `parallelparts` at once. Each part that
// arrives is written to the run's journal and progress report, when it has
// them. With `continuedTask`, the task came from a journal: when the
// service refuses the first part URL asked for, it no longer knows the
// task, and no further part is started.
PartsOutcome sendParts(CorvaneMultiUpload& uploader, const std::string& uploadId,
                       const ReadOnlyFile& file, const PartPlan& plan,
                       const std::vector<uint64_t>& indices, bool continuedTask);

}  // namespace corvane
