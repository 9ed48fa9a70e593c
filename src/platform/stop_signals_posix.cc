#include <signal.h>

#include <cstring>

#include "platform/stop_signals.h"

namespace corvane {
namespace {

StopFlag* installedFlag = nullptr;
struct sigaction previousInt;
struct sigaction previousTerm;

// Async-signal-safe: raises the flag; a second request ends the process
// the way the signal's default would.
void onStopSignal(int signal) {
  if (installedFlag && installedFlag->raise(signal)) return;
  ::signal(signal, SIG_DFL);
  ::raise(signal);
}

}  // namespace

StopSignals::StopSignals(StopFlag& flag) {
  installedFlag = &flag;
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = onStopSignal;
  sigemptyset(&action.sa_mask);
  // No SA_RESTART: a wait the signal interrupts returns, so the stop is seen
  // at once.
  action.sa_flags = 0;
  sigaction(SIGINT, &action, &previousInt);
  sigaction(SIGTERM, &action, &previousTerm);
}

void ignoreClosedOutput() { ::signal(SIGPIPE, SIG_IGN); }

StopSignals::~StopSignals() {
  sigaction(SIGINT, &previousInt, nullptr);
  sigaction(SIGTERM, &previousTerm, nullptr);
  installedFlag = nullptr;
}

void StopSignals::runEnded() {}

std::string stopCauseText(int cause) {
  if (cause == kStopFileCause) return "stop file";
  if (cause == SIGINT) return "SIGINT";
  if (cause == SIGTERM) return "SIGTERM";
  return "signal " + std::to_string(cause);
}

}  // namespace corvane
