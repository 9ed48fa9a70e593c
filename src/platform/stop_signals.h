#pragma once

#include <string>

#include "platform/stop_flag.h"

namespace corvane {

// Routes the system's requests to stop to `flag` while the object lives:
// SIGINT and SIGTERM; on Windows Ctrl-C, Ctrl-Break and the console window
// closing. The handlers only raise the flag; the transfer loop reads it. A
// second request while the run is stopping ends the process at once.
class StopSignals {
 public:
  explicit StopSignals(StopFlag& flag);
  ~StopSignals();
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

  // Tells a waiting console-close handler (Windows) that the run has
  // written its result, so that the process may now be ended.
  void runEnded();
};

// A caller that closes its end of standard output must not end the run (a
// merge answered but not yet reported, say): writes to it then fail, and
// are dropped, instead of raising SIGPIPE. For the whole process.
void ignoreClosedOutput();

// What raised a stop, for the log: "SIGTERM", "Ctrl-C", "stop file", ...
std::string stopCauseText(int cause);

}  // namespace corvane
