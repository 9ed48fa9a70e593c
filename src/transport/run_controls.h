#pragma once

#include <cstdint>
#include <string>

#include "platform/env.h"
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
  // A path (local code page) where a file appearing stops the run as a
  // signal would: the stop a program without a console can send. Looked
  // for, never created or removed. Empty: none.
  std::string stopFile;
  // While a stop file is named, the loop never waits longer than this
  // between two looks for it.
  static constexpr int64_t kStopFileLookMilliseconds = 200;
  // Bytes per second that all streamed bodies in flight share; 0: no cap.
  int64_t sendCapBytesPerSecond = 0;
  TransferObserver* observer = nullptr;

  // Whether the run is to stop: a stop was raised, or the stop file exists
  // now (which raises the stop).
  bool stopRequested() {
    if (!stop.raised() && !stopFile.empty() && Env::current().pathExists(stopFile)) {
      stop.raise(kStopFileCause);
    }
    return stop.raised();
  }
  // How far this machine's clock is from the service's, as the answers' dates
  // tell it.
  ServiceClock clock;
};

}  // namespace corvane
