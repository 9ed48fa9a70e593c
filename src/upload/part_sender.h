#pragma once

#include <cstdint>
#include <functional>
#include <memory>
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

// The parts of one file on their way in the transfer loop; they stay on
// their way while this object lives.
class PartsInFlight {
 public:
  virtual ~PartsInFlight() = default;
};

// Runs once when every part started has ended: the outcome, and whether a
// request spent every attempt on failed transfers (or no storage token could
// be had), so that no later request would fare better.
using PartsDone = std::function<void(PartsOutcome outcome, bool attemptsSpent)>;

// Starts sending the parts `indices` like sendParts, side by side with
// whatever else runs in the transfer loop; `done` runs from the loop, or at
// once when no part could start.
std::unique_ptr<PartsInFlight> startParts(CorvaneMultiUpload& uploader, std::string uploadId,
                                          const ReadOnlyFile& file, const PartPlan& plan,
                                          std::vector<uint64_t> indices, bool continuedTask,
                                          PartsDone done);

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
