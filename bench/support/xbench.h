// What the benchmarks that drive real programs share: a private Xvfb server, programs started
// on it, input through XTest from the benchmark's own connection, and the CPU accounting of
// /proc that tells when a program and the server have finished the work a key caused.
#pragma once

#include <X11/Xlib.h>
#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;

double seconds_between(Clock::time_point from, Clock::time_point to);
double median(std::vector<double> values);

// A private Xvfb, screen 0 of width x height at depth, on a display it picks itself. DISPLAY
// is set for this process and the programs it starts; the constructor returns once the server
// takes connections.
class Xvfb {
 public:
  Xvfb(int depth, int width, int height);
  ~Xvfb();
  Xvfb(const Xvfb&) = delete;
  Xvfb& operator=(const Xvfb&) = delete;
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
};

// A program started with its output discarded, in cwd with HOME set to home (when not empty),
// reading the file input (when named) on standard input.
class Program {
 public:
  Program(const std::vector<std::string>& argv, const std::string& home, const std::string& cwd,
          const std::string& input = "");
  ~Program();  // kills it if it still runs
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;
  pid_t pid() const { return pid_; }
  // Waits up to the deadline for the end; kills it after that. True when it ended by itself.
  bool wait_exit(std::chrono::milliseconds deadline);

 private:
  pid_t pid_ = -1;
  bool ended_ = false;
};

// Nanoseconds the process (all its threads) or its main thread alone spent on a CPU or
// runnable, waiting for one. The waiting counts so that a loaded machine cannot make a busy
// program look idle.
long long cpu_ns(pid_t pid, bool main_thread_only = false);
// A field of /proc/PID/status in KiB ("VmHWM", "VmRSS"); -1 when it cannot be read.
long status_kib(pid_t pid, const char* field);

// A process whose CPU use is watched: all its threads, or the main thread alone (a program
// whose workers go on decoding ahead once the drawing is done).
struct Watched {
  pid_t pid = -1;
  bool main_thread_only = false;
  // Counted only shortly after a process that does not follow was busy: the server, whose
  // timers of its own are no client's work.
  bool follows = false;
};

// The benchmark's own connection to the server, with the server's key repeat turned off.
class Connection {
 public:
  Connection();
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  Display* display() const { return display_; }

  // Waits for a top-level window created and mapped after the connection was opened (or after
  // the last call); 0 on timeout.
  Window wait_window(std::chrono::milliseconds deadline);
  // Presses and releases the key of keysym, with Shift when the keysym needs it, into window.
  void key(Window window, KeySym keysym);
  // Makes the server send window an exposure of all of it, as when a window over it goes.
  void expose(Window window);
  // The window's title (WM_NAME).
  std::string title(Window window);
  // Handles queued events; the times of the watched window's title changes are kept.
  void pump();
  // Waits until the watched window's title changes and then contains text; false on timeout.
  bool wait_title(const std::string& text, std::chrono::milliseconds deadline);
  // The first change of the watched window's title seen after time (by pump), or time.
  Clock::time_point first_title_change_after(Clock::time_point time) const;
  int title_changes() const { return static_cast<int>(title_times_.size()); }
  // When each title change was seen, in order.
  const std::vector<Clock::time_point>& title_times() const { return title_times_; }
  // The pixel value at (x, y) of window.
  unsigned long pixel(Window window, int x, int y);

 private:
  Display* display_ = nullptr;
  Window watched_ = 0;
  std::vector<Window> created_;
  std::vector<Clock::time_point> title_times_;
};

// The CPU time of each watched process now.
std::vector<long long> cpu_of(const std::vector<Watched>& watched);
// Waits until every watched process has used no CPU for the quiet time, and answers the
// seconds from start to the last moment any of them still used CPU, counted from the times
// before (taken at start, before the input). CPU use is read every millisecond; connection
// events are pumped meanwhile. Negative on timeout.
double until_idle(Clock::time_point start, const std::vector<Watched>& watched,
                  std::vector<long long> before, Connection* connection,
                  std::chrono::milliseconds quiet = std::chrono::milliseconds(300),
                  std::chrono::milliseconds deadline = std::chrono::seconds(60));

// The pictra binary of this build.
std::string pictra_binary();
// A new temporary directory named after what; removed by the caller.
std::string temp_dir(const char* what);
// Writes a configuration file into home that opens the window at 0,0 in width x height.
void write_config(const std::string& home, int width, int height);

}  // namespace bench
