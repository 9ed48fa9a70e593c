#include <windows.h>

#include "platform/stop_signals.h"
#include "platform/windows_text.h"

namespace corvane {
namespace {

// Console events as stop causes, apart from any signal number.
constexpr int kEventBase = 1000;
// The system ends a process this long after its close event at the latest.
constexpr DWORD kCloseWaitMilliseconds = 4500;

StopFlag* installedFlag = nullptr;
HANDLE runEndedEvent = nullptr;
// Set when a stop is raised; wakes a sleep of the main thread.
HANDLE stopRaisedEvent = nullptr;

// Runs on a thread of its own, which the system starts for the event.
BOOL WINAPI onConsoleEvent(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT &&
      event != CTRL_LOGOFF_EVENT && event != CTRL_SHUTDOWN_EVENT) {
    return FALSE;
  }
  if (!installedFlag || !installedFlag->raise(kEventBase + static_cast<int>(event))) {
    TerminateProcess(GetCurrentProcess(), 130);
    return TRUE;
  }
  if (stopRaisedEvent) SetEvent(stopRaisedEvent);
  // Once this handler returns from a close, logoff or shutdown event the
  // system ends the process: wait for the run to write its result first.
  if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
    if (runEndedEvent) WaitForSingleObject(runEndedEvent, kCloseWaitMilliseconds);
  }
  return TRUE;
}

}  // namespace

StopSignals::StopSignals(StopFlag& flag) {
  installedFlag = &flag;
  runEndedEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  stopRaisedEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

StopSignals::~StopSignals() {
  runEnded();
  SetConsoleCtrlHandler(onConsoleEvent, FALSE);
  installedFlag = nullptr;
}

void StopSignals::runEnded() {
  if (runEndedEvent) SetEvent(runEndedEvent);
}

namespace windows {

void sleepUnlessStopped(DWORD milliseconds) {
  if (stopRaisedEvent) {
    WaitForSingleObject(stopRaisedEvent, milliseconds);
  } else {
    Sleep(milliseconds);
  }
}

}  // namespace windows

std::string stopCauseText(int cause) {
  if (cause == kStopFileCause) return "stop file";
  switch (cause - kEventBase) {
    case CTRL_C_EVENT: return "Ctrl-C";
    case CTRL_BREAK_EVENT: return "Ctrl-Break";
    case CTRL_CLOSE_EVENT: return "the console window closing";
    case CTRL_LOGOFF_EVENT: return "the user logging off";
    case CTRL_SHUTDOWN_EVENT: return "the system shutting down";
    default: return "event " + std::to_string(cause);
  }
}

// Windows has no SIGPIPE: a write to a closed pipe fails by itself.
void ignoreClosedOutput() {}

}  // namespace corvane
