#pragma once

#include <cstdint>
#include <string>

#include "platform/stop_flag.h"
#include "transport/service_clock.h"

namespace corvane {

// Hears what the transfer loop does, for a report of the run's progress.
class TransferObserver {
 public:
  virtual ~TransferObserver() = default;
  // An attempt failed; `cause` is the text its log line gives.
  virtual void attemptFailed(const std::string& cause) = 0;
  // Once per turn of the loop, after the transfers moved.
  virtual void loopTurned() = 0;
};

// What every transfer of a run is held to, read by the transfer loop at each
// turn: a stop, a cap on the rate of the bodies sent, who hears of the
// transfers, and the service's clock that every answer's date sets.
struct RunControls {
  StopFlag stop;
  // Bytes per second that all streamed bodies in flight share; 0: no cap.
  int64_t sendCapBytesPerSecond = 0;
  TransferObserver* observer = nullptr;
  ServiceClock clock;
};

}  // namespace corvane
