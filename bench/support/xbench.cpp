#include "support/xbench.h"

#include <X11/XKBlib.h>
#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <thread>

namespace bench {

namespace {

constexpr auto poll_interval = std::chrono::milliseconds(1);
// How long after a client's last CPU use the server's still counts as that client's work.
constexpr auto follow_window = std::chrono::milliseconds(50);
constexpr int server_start_seconds = 30;

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "bench: %s\n", what.c_str());
  std::exit(1);
}

// The time a thread ran plus the time it waited to run (the first two fields of schedstat):
// a thread that is runnable but waits for a busy CPU is not idle.
long long busy_ns(const std::string& schedstat) {
  std::ifstream in(schedstat);
  long long running = 0, waiting = 0;
  in >> running >> waiting;
  return in ? running + waiting : 0;
}

int remaining_ms(Clock::time_point until) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
  return std::max(0, static_cast<int>(left.count()));
}

}  // namespace

double seconds_between(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

double median(std::vector<double> values) {
  if (values.empty()) return -1;
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

Xvfb::Xvfb(int depth, int width, int height) {
  int fds[2];
  if (pipe(fds) != 0) fail("pipe");
  const std::string screen =
      std::to_string(width) + "x" + std::to_string(height) + "x" + std::to_string(depth);
  pid_ = fork();
  if (pid_ == 0) {
    close(fds[0]);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    dup2(null, STDERR_FILENO);
    const std::string fd = std::to_string(fds[1]);
    execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", screen.c_str(), "-nolisten",
           "tcp", "-noreset", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(fds[1]);
  pollfd ready{fds[0], POLLIN, 0};
  char number[32] = {};
  if (poll(&ready, 1, server_start_seconds * 1000) <= 0 ||
      read(fds[0], number, sizeof number - 1) <= 0)
    fail("Xvfb did not start");
  close(fds[0]);
  number[std::strcspn(number, "\n")] = '\0';
  std::string display = ":";
  display += number;
  setenv("DISPLAY", display.c_str(), 1);
  // A server that has just announced its display may still refuse for a moment; one that has
  // ended says how.
  const auto until = Clock::now() + std::chrono::seconds(server_start_seconds);
  for (;;) {
    if (Display* probe = XOpenDisplay(nullptr)) {
      XCloseDisplay(probe);
      return;
    }
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      fail("Xvfb ended after announcing " + display + " (wait status " + std::to_string(status) +
           ")");
    }
    if (Clock::now() >= until) {
      kill(pid_, SIGKILL);
      fail("Xvfb announced " + display + " but takes no connection");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

Xvfb::~Xvfb() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
}

Program::Program(const std::vector<std::string>& argv, const std::string& home,
                 const std::string& cwd, const std::string& input) {
  pid_ = fork();
  if (pid_ == 0) {
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
    if (!input.empty()) {
      const int in = open(input.c_str(), O_RDONLY);
      if (in < 0 || dup2(in, STDIN_FILENO) < 0) _exit(126);
    }
    if (!home.empty()) setenv("HOME", home.c_str(), 1);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    dup2(null, STDERR_FILENO);
    std::vector<char*> args;
    for (const std::string& arg : argv)
      args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  if (pid_ < 0) fail("fork");
}

Program::~Program() {
  if (!ended_) wait_exit(std::chrono::milliseconds(0));
}

bool Program::wait_exit(std::chrono::milliseconds deadline) {
  if (ended_) return true;
  const auto until = Clock::now() + deadline;
  for (;;) {
    if (waitpid(pid_, nullptr, WNOHANG) == pid_) return ended_ = true;
    if (Clock::now() >= until) break;
    std::this_thread::sleep_for(poll_interval);
  }
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
  ended_ = true;
  return false;
}

long long cpu_ns(pid_t pid, bool main_thread_only) {
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  if (main_thread_only) return busy_ns(tasks + "/" + std::to_string(pid) + "/schedstat");
  long long total = 0;
  DIR* dir = opendir(tasks.c_str());
  if (!dir) return 0;
  while (const dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    total += busy_ns(tasks + "/" + entry->d_name + "/schedstat");
  }
  closedir(dir);
  return total;
}

long status_kib(pid_t pid, const char* field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  const std::string prefix = std::string(field) + ":";
  while (std::getline(in, line)) {
    if (line.rfind(prefix, 0) == 0) return std::strtol(line.c_str() + prefix.size(), nullptr, 10);
  }
  return -1;
}

std::vector<long long> cpu_of(const std::vector<Watched>& watched) {
  std::vector<long long> values;
  for (const Watched& w : watched)
    values.push_back(cpu_ns(w.pid, w.main_thread_only));
  return values;
}

double until_idle(Clock::time_point start, const std::vector<Watched>& watched,
                  std::vector<long long> before, Connection* connection,
                  std::chrono::milliseconds quiet, std::chrono::milliseconds deadline) {
  Clock::time_point last_busy = start;
  Clock::time_point last_leader = start;
  const auto until = start + deadline;
  for (;;) {
    const Clock::time_point now = Clock::now();
    const std::vector<long long> current = cpu_of(watched);
    for (std::size_t i = 0; i < watched.size(); ++i) {
      if (current[i] == before[i] || watched[i].follows) continue;
      last_busy = last_leader = now;
    }
    for (std::size_t i = 0; i < watched.size(); ++i) {
      if (current[i] != before[i] && watched[i].follows && now - last_leader <= follow_window)
        last_busy = now;
    }
    before = current;
    if (connection) connection->pump();
    if (now - last_busy >= quiet) return seconds_between(start, last_busy);
    if (now >= until) return -1;
    std::this_thread::sleep_for(poll_interval);
  }
}

Connection::Connection() {
  display_ = XOpenDisplay(nullptr);
  if (!display_) fail("cannot open the display");
  // XTest's press and release come together, yet the press arms the server's key repeat, which
  // wakes the server once the repeat delay (660 ms) later. That wake-up is no client's work,
  // and it would land inside whatever is measured then.
  XAutoRepeatOff(display_);
  XSelectInput(display_, DefaultRootWindow(display_), SubstructureNotifyMask);
  XSync(display_, False);
}

Connection::~Connection() {
  XCloseDisplay(display_);
}

void Connection::pump() {
  while (XPending(display_)) {
    XEvent event;
    XNextEvent(display_, &event);
    switch (event.type) {
      case CreateNotify:
        if (event.xcreatewindow.parent == DefaultRootWindow(display_) &&
            !event.xcreatewindow.override_redirect) {
          created_.push_back(event.xcreatewindow.window);
          XSelectInput(display_, event.xcreatewindow.window,
                       PropertyChangeMask | StructureNotifyMask);
        }
        break;
      case MapNotify:
        if (!watched_ && std::ranges::find(created_, event.xmap.window) != created_.end())
          watched_ = event.xmap.window;
        break;
      case PropertyNotify:
        if (event.xproperty.window == watched_ && event.xproperty.atom == XA_WM_NAME) {
          title_times_.push_back(Clock::now());
        }
        break;
      default:
        break;
    }
  }
}

Window Connection::wait_window(std::chrono::milliseconds deadline) {
  watched_ = 0;
  const auto until = Clock::now() + deadline;
  for (;;) {
    pump();
    if (watched_) return watched_;
    if (Clock::now() >= until) return 0;
    pollfd fd{ConnectionNumber(display_), POLLIN, 0};
    poll(&fd, 1, remaining_ms(until));
  }
}

void Connection::key(Window window, KeySym keysym) {
  const KeyCode code = XKeysymToKeycode(display_, keysym);
  if (!code) fail("no key for keysym " + std::to_string(keysym));
  const bool shift = XkbKeycodeToKeysym(display_, code, 0, 0) != keysym;
  const KeyCode shift_code = XKeysymToKeycode(display_, XK_Shift_L);
  XSetInputFocus(display_, window, RevertToPointerRoot, CurrentTime);
  if (shift) XTestFakeKeyEvent(display_, shift_code, True, CurrentTime);
  XTestFakeKeyEvent(display_, code, True, CurrentTime);
  XTestFakeKeyEvent(display_, code, False, CurrentTime);
  if (shift) XTestFakeKeyEvent(display_, shift_code, False, CurrentTime);
  XFlush(display_);
}

void Connection::expose(Window window) {
  XClearArea(display_, window, 0, 0, 0, 0, True);
  XFlush(display_);
}

std::string Connection::title(Window window) {
  char* name = nullptr;
  if (!XFetchName(display_, window, &name) || !name) return {};
  std::string text = name;
  XFree(name);
  return text;
}

bool Connection::wait_title(const std::string& text, std::chrono::milliseconds deadline) {
  const auto until = Clock::now() + deadline;
  int seen = title_changes();
  for (;;) {
    pump();
    if (title_changes() != seen) {
      seen = title_changes();
      if (title(watched_).find(text) != std::string::npos) return true;
    }
    if (Clock::now() >= until) return false;
    pollfd fd{ConnectionNumber(display_), POLLIN, 0};
    poll(&fd, 1, remaining_ms(until));
  }
}

Clock::time_point Connection::first_title_change_after(Clock::time_point time) const {
  for (const Clock::time_point at : title_times_)
    if (at > time) return at;
  return time;
}

unsigned long Connection::pixel(Window window, int x, int y) {
  XImage* image = XGetImage(display_, window, x, y, 1, 1, AllPlanes, ZPixmap);
  if (!image) return 0;
  const unsigned long value = XGetPixel(image, 0, 0);
  XDestroyImage(image);
  return value;
}

std::string pictra_binary() {
  return PICTRA_BINARY;
}

std::string temp_dir(const char* what) {
  std::string pattern = std::string("/tmp/pictra-bench-") + what + "-XXXXXX";
  if (!mkdtemp(pattern.data())) fail("mkdtemp");
  return pattern;
}

void write_config(const std::string& home, int width, int height) {
  std::ofstream out(home + "/.pictrarc");
  out << "\n# pictrarc - configuration file for pictra\n\nxpos=0\nypos=0\nwidth=" << width
      << "\nheight=" << height << "\n";
}

}  // namespace bench
