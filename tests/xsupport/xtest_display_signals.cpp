// Ending signals: recorded by the handler, acted on in the event waits and drawing loops, where
// the cleanup runs once and the process ends by the signal. Each case runs in a death-test child,
// so the handlers never touch the test runner itself.
#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <signal.h>
#include <time.h>

#include <csignal>
#include <cstdio>

#include "xsupport/xsupport.h"

namespace {

using ::testing::KilledBySignal;

// Stands in for x_Cleanup so that each call shows on standard error; then really cleans up.
void counting_cleanup(int sig) {
  std::fprintf(stderr, "cleanup %d\n", sig);
  x_Cleanup(sig);
}

void start_display() {
  x_Init(nullptr);
  state.cleanup = counting_cleanup;
  state.window =
      XCreateSimpleWindow(state.display, DefaultRootWindow(state.display), 0, 0, 10, 10, 0, 0, 0);
  XSelectInput(state.display, state.window, KeyPressMask);
  x_InstallSignals();
}

// Sends sig to this process after delay_ms, while the caller is (most likely) blocked in a wait.
// The outcome does not depend on the timing: a signal that comes before the wait is caught by
// the wait's first look at the record.
void signal_later(int sig, long delay_ms) {
  sigevent event{};
  event.sigev_notify = SIGEV_SIGNAL;
  event.sigev_signo = sig;
  timer_t timer;
  timer_create(CLOCK_MONOTONIC, &event, &timer);
  itimerspec when{};
  when.it_value.tv_nsec = delay_ms * 1000000;
  timer_settime(timer, 0, &when, nullptr);
}

TEST(SignalTest, WaitsEndByTheSignalAfterOneCleanup) {
  struct Case {
    int sig;
    bool window_wait;
    const char* expected;
  };
  for (const Case& c : {Case{SIGTERM, false, "^cleanup 15\n$"}, Case{SIGHUP, true, "^cleanup 1\n$"},
                        Case{SIGINT, false, "^cleanup 2\n$"}}) {
    EXPECT_EXIT(
        {
          start_display();
          signal_later(c.sig, 200);
          for (;;)
            c.window_wait ? x_WindowEvent(KeyPressMask) : x_NextEvent();
        },
        KilledBySignal(c.sig), c.expected)
        << "signal " << c.sig;
  }
}

TEST(SignalTest, DrawingLoopEndsAtItsNextCheck) {
  EXPECT_EXIT(
      {
        start_display();
        for (int line = 0;; ++line) {
          if (line == 3) raise(SIGQUIT);
          x_EndIfSignalled();
          if (line == 4) {
            std::fputs("drew on after the signal\n", stderr);
            std::exit(0);
          }
        }
      },
      KilledBySignal(SIGQUIT), "^cleanup 3\n$");
}

TEST(SignalTest, AfterTheNormalCleanupASignalStillEndsWithoutASecond) {
  EXPECT_EXIT(
      {
        start_display();
        void (*cleanup)(int) = state.cleanup;
        state.cleanup = nullptr;  // as the shutdown does
        cleanup(0);
        raise(SIGTERM);
        x_EndIfSignalled();
        std::exit(0);
      },
      KilledBySignal(SIGTERM), "^cleanup 0\n$");
}

TEST(SignalTest, SigpipeIsIgnored) {
  EXPECT_EXIT(
      {
        start_display();
        raise(SIGPIPE);
        x_EndIfSignalled();
        XSync(state.display, False);
        std::exit(7);
      },
      ::testing::ExitedWithCode(7), "^$");
}

// Busy somewhere that never checks (a long decode): the backstop still ends the process by the
// signal, without the cleanup, instead of leaving it running.
TEST(SignalTest, BusyMainFlowIsEndedByTheBackstop) {
  EXPECT_EXIT(
      {
        start_display();
        raise(SIGTERM);
        const clock_t give_up = clock() + 10 * CLOCKS_PER_SEC;
        while (clock() < give_up) {
        }
        std::fputs("still running\n", stderr);
        std::exit(0);
      },
      KilledBySignal(SIGTERM), "^$");
}

}  // namespace
