// Signals and the event waits they interrupt.
//
// A signal may arrive while the program is inside an Xlib call; running the cleanup (which
// talks to the X server and closes the connection) from the handler could then corrupt the
// connection or deadlock. So the handler only records the signal and writes a byte into a pipe.
// The event waits poll the X connection and that pipe together, and the drawing loops look at
// the record between lines or cells; whichever notices first runs the cleanup once, at a point
// where no Xlib call is in progress, and ends the process by the signal itself.
#include <fcntl.h>
#include <poll.h>
#include <sys/time.h>
#include <unistd.h>

#include <X11/Xutil.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdlib>

#include "config/config.h"
#include "xsupport/xsupport.h"

namespace {

constexpr int ending_signals[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM};

// If the main flow reaches no wait or drawing loop in this time (a long decode, a directory
// scan, a stalled server), the backstop timer ends the process by the signal without the
// cleanup; the X server releases the connection's resources when the process is gone.
constexpr suseconds_t backstop_microseconds = 500000;

volatile std::sig_atomic_t recorded_signal = 0;
int wake_pipe[2] = {-1, -1};
// The pidfd of the child process being watched, or -1; and the message its end is queued as.
int watched_child = -1;
Atom child_ended_atom = None;

void on_ending_signal(int sig) {
  const int saved_errno = errno;
  if (!recorded_signal) {
    recorded_signal = sig;
    itimerval backstop{};
    backstop.it_value.tv_usec = backstop_microseconds;
    setitimer(ITIMER_REAL, &backstop, nullptr);
  }
  const char byte = 0;
  // A full pipe already wakes every wait; nothing more to do when the write fails.
  [[maybe_unused]] const ssize_t written = write(wake_pipe[1], &byte, 1);
  errno = saved_errno;
}

// Ends the process by the signal with its default action, so the parent sees it killed by it.
[[noreturn]] void die_by(int sig) {
  signal(sig, SIG_DFL);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, sig);
  sigprocmask(SIG_UNBLOCK, &set, nullptr);
  raise(sig);
  _exit(128 + sig);  // not reached: the default action of every ending signal ends the process
}

void on_backstop(int) {
  die_by(recorded_signal);
}

// While one handler runs, every other ending signal and the backstop wait, so the first signal
// is recorded without a race.
void install(int sig, void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  sigaddset(&action.sa_mask, SIGALRM);
  for (int ending : ending_signals)
    sigaddset(&action.sa_mask, ending);
  action.sa_flags = SA_RESTART;
  sigaction(sig, &action, nullptr);
}

// The end of the watched child becomes an event in the queue, so every loop that reads events
// learns of it in its own turn, wherever it waits.
void queue_child_end() {
  watched_child = -1;
  XEvent event{};
  event.xclient.type = ClientMessage;
  event.xclient.display = state.display;
  event.xclient.window = state.window;
  event.xclient.message_type = child_ended_atom;
  event.xclient.format = 32;
  XPutBackEvent(state.display, &event);
}

// The poll timeout that wakes for the first of the geometry save and deadline: -1 for neither,
// rounded up to whole milliseconds, so a wake never comes before the deadline.
int timeout_ms(Deadline deadline) {
  const int save = config_save_due_ms();
  if (deadline == no_deadline) return save;
  const auto left =
      std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
          .count();
  const int until = static_cast<int>(std::clamp<decltype(left)>(left, 0, INT_MAX));
  return save < 0 ? until : std::min(save, until);
}

// Blocks until the X connection, the wake pipe, the watched child or watched (when not
// negative) has something to read, or deadline passes; a recorded signal ends the process here.
// A geometry save that falls due meanwhile is written on the way. True when watched is readable
// or deadline has passed.
bool wait_for_input(int watched = -1, Deadline deadline = no_deadline) {
  pollfd fds[4] = {{ConnectionNumber(state.display), POLLIN, 0},
                   {wake_pipe[0], POLLIN, 0},
                   {watched_child, POLLIN, 0},
                   {watched, POLLIN, 0}};
  int ready = 0;
  for (;;) {
    ready = poll(fds, watched >= 0 ? 4 : 3, timeout_ms(deadline));
    if (ready == 0) {
      if (config_save_due_ms() == 0) flush_config();
      if (deadline != no_deadline && std::chrono::steady_clock::now() >= deadline) break;
    } else if (ready > 0 || errno != EINTR) {
      break;
    }
    x_EndIfSignalled();
  }
  x_EndIfSignalled();
  if (ready == 0) return true;  // the deadline
  if (ready > 0 && watched_child >= 0 && (fds[2].revents & (POLLIN | POLLHUP | POLLERR)))
    queue_child_end();
  return ready > 0 && watched >= 0 && (fds[3].revents & POLLIN);
}

}  // namespace

KeySym x_TypedKey(XKeyEvent& event) {
  KeySym keysym = NoSymbol;
  char text[8];
  XLookupString(&event, text, sizeof text, &keysym, nullptr);
  // Shift+q still means q: letters count in either case. What Shift makes of other keys
  // ("+" from "=", "_" from "-") is the symbol the user typed.
  KeySym lower = keysym, upper = keysym;
  XConvertCase(keysym, &lower, &upper);
  return lower;
}

void x_InstallSignals() {
  if (wake_pipe[0] < 0 && pipe2(wake_pipe, O_NONBLOCK | O_CLOEXEC) != 0) {
    wake_pipe[0] = wake_pipe[1] = -1;  // the waits still work, only without the early wake
  }
  install(SIGALRM, on_backstop);
  for (int sig : ending_signals)
    install(sig, on_ending_signal);
  // A broken pipe is not a reason to end; the write that caused it reports the error.
  signal(SIGPIPE, SIG_IGN);
}

void x_WatchChild(int pidfd) {
  if (child_ended_atom == None)
    child_ended_atom = XInternAtom(state.display, "_PICTRA_CHILD_ENDED", False);
  watched_child = pidfd;
}

bool x_ChildEnded(const XEvent& event) {
  return event.type == ClientMessage && event.xclient.message_type == child_ended_atom &&
         child_ended_atom != None;
}

void x_EndIfSignalled() {
  const int sig = recorded_signal;
  if (!sig) return;
  // Taken before the call, so that the cleanup runs once even if it is reached again.
  void (*cleanup)(int) = state.cleanup;
  state.cleanup = nullptr;
  if (cleanup) cleanup(sig);
  die_by(sig);
}

void x_NextEvent() {
  for (;;) {
    x_EndIfSignalled();
    // XPending flushes the requests and reads whatever the server has sent without blocking.
    if (XPending(state.display)) {
      XNextEvent(state.display, &state.event);
      return;
    }
    wait_for_input();
  }
}

bool x_NextEventOr(int watched, Deadline deadline) {
  for (;;) {
    x_EndIfSignalled();
    if (XPending(state.display)) {
      XNextEvent(state.display, &state.event);
      return true;
    }
    if (wait_for_input(watched, deadline)) return false;
  }
}

void x_WaitInput(int watched) {
  XFlush(state.display);
  wait_for_input(watched);
}

void x_WindowEvent(long event_mask) {
  for (;;) {
    x_EndIfSignalled();
    if (XCheckWindowEvent(state.display, state.window, event_mask, &state.event)) return;
    if (x_TakeCloseRequest()) return;
    wait_for_input();
  }
}
