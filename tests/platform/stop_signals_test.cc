// What the system's requests to stop do to a run: they raise its flag, and
// a second one while it stops ends the process.
#include "platform/stop_signals.h"

#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <signal.h>
#endif

namespace corvane {
namespace {

#ifndef _WIN32
TEST(StopSignals, AFirstSignalRaisesTheFlagAndTheProcessGoesOn) {
  StopFlag flag;
  {
    StopSignals signals(flag);
    ::raise(SIGTERM);
  }
  EXPECT_TRUE(flag.raised());
  EXPECT_EQ(stopCauseText(flag.cause()), "SIGTERM");
}

TEST(StopSignals, ASecondSignalWhileStoppingEndsTheProcess) {
  EXPECT_EXIT(
      {
        StopFlag flag;
        StopSignals signals(flag);
        ::raise(SIGINT);
        ::raise(SIGINT);
      },
      ::testing::KilledBySignal(SIGINT), "");
}

TEST(StopSignals, OutsideTheRunTheSystemsOwnHandlingIsBack) {
  struct sigaction before {};
  sigaction(SIGTERM, nullptr, &before);
  StopFlag flag;
  { StopSignals signals(flag); }
  struct sigaction after {};
  sigaction(SIGTERM, nullptr, &after);
  EXPECT_EQ(after.sa_handler, before.sa_handler);
}
#else
// The console's own events, where the system can deliver one to this
// process (a console of its own); elsewhere there is nothing to deliver.
TEST(StopSignals, ACtrlBreakRaisesTheFlag) {
  StopFlag flag;
  StopSignals signals(flag);
  if (!GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, 0)) {
    GTEST_SKIP() << "no console event can be delivered here (error " << GetLastError() << ")";
  }
  // The event arrives on a thread of its own: waited for up to ten seconds,
  // since a loaded machine can take longer than one.
  for (int i = 0; i < 1000 && !flag.raised(); ++i) Sleep(10);
  EXPECT_TRUE(flag.raised());
  EXPECT_EQ(stopCauseText(flag.cause()), "Ctrl-Break");
}
#endif

TEST(StopSignals, EveryCauseHasAName) {
#ifdef _WIN32
  EXPECT_EQ(stopCauseText(1000 + CTRL_C_EVENT), "Ctrl-C");
  EXPECT_EQ(stopCauseText(1000 + CTRL_CLOSE_EVENT), "the console window closing");
#else
  EXPECT_EQ(stopCauseText(SIGINT), "SIGINT");
#endif
}

}  // namespace
}  // namespace corvane
