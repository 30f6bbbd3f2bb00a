// Drives the real pictra binary for end-to-end tests: starts it in a chosen HOME and working
// directory, finds its window, waits for titles, presses keys and buttons through XTest, reads
// the window's pixels and waits for the process to end. Every wait is for an observable event
// with a deadline; none sleeps.
#pragma once

#include <gtest/gtest.h>  // before the X headers, whose macros clash with it

#include <X11/Xlib.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "support/xpixels.h"

namespace pictra_test {

using namespace std::chrono_literals;
inline constexpr std::chrono::milliseconds default_deadline = 20s;

struct PictraOptions {
  std::string home;                 // HOME for the process ("" leaves HOME unset)
  std::string cwd;                  // working directory
  std::vector<std::string> args;    // arguments after the program name
  std::vector<std::string> setenv;  // extra NAME=VALUE entries
  bool unset_display = false;       // start without DISPLAY
};

class Pictra {
 public:
  // Starts the binary with input on its standard input. Its standard output and error are
  // captured into files.
  explicit Pictra(PictraOptions options, const std::string& input = "");
  ~Pictra();  // kills the process if it still runs
  Pictra(const Pictra&) = delete;
  Pictra& operator=(const Pictra&) = delete;

  pid_t pid() const { return pid_; }
  Display* display() const { return display_; }

  // Waits until the program's window is mapped; fails the test on timeout.
  Window window(std::chrono::milliseconds deadline = default_deadline);

  // The window's current title, decoded to UTF-8.
  std::string title();
  // Number of title (WM_NAME) changes seen since the window was found. The program sets the
  // title at the end of every grid redraw and every image draw, so this counts draws.
  int title_changes();
  // Waits until the title equals text; false on timeout.
  bool wait_title(const std::string& text, std::chrono::milliseconds deadline = default_deadline);
  // Waits until title_changes() reaches count; false on timeout.
  bool wait_title_changes(int count, std::chrono::milliseconds deadline = default_deadline);

  // Input through XTest. key() presses and releases the key of keysym, holding Shift when shift
  // and Control when control.
  void key(KeySym keysym, bool shift = false, bool control = false);
  // Presses and releases button at window coordinates, holding Shift when shift.
  void click(int x, int y, unsigned button = Button1, bool shift = false);
  // Presses button 1 at one point of the window, moves the pointer to another and releases.
  void drag(int from_x, int from_y, int to_x, int to_y);
  // Sends an Expose event with the given count to the window (XSendEvent).
  void send_expose(int count);
  // Paints the whole window in one colour from outside, as if its contents were lost.
  void fill_window(int rgb);
  // Resizes the window from outside (as a window manager would).
  void resize(unsigned width, unsigned height);
  // Destroys the window from outside.
  void destroy_window();

  WindowPixels pixels();

  // Waits for the process to end; its wait status, or nothing on timeout.
  std::optional<int> wait_exit(std::chrono::milliseconds deadline = default_deadline);
  // Sends a signal to the process.
  void signal(int sig);

  std::string stdout_text() const;
  std::string stderr_text() const;

 private:
  void pump(std::chrono::steady_clock::time_point until);
  void move_pointer(int x, int y);
  bool handle_pending_events();

  pid_t pid_ = -1;
  std::optional<int> status_;
  Display* display_ = nullptr;
  Window window_ = 0;
  bool mapped_ = false;
  int title_changes_ = 0;
  std::string capture_dir_;
};

// Whether a window pixel may show an expected RGB value.
using PixelMatch = bool (*)(Display* display, std::uint32_t pixel, int rgb);

// Waits until the window is width x height and every pixel matches expected (row by row). A new
// drawing changes the title, a repaint does not, so the pixels are looked at again after each
// title change or a short while.
::testing::AssertionResult shows(Pictra& pictra, unsigned width, unsigned height,
                                 const std::vector<int>& expected, PixelMatch match);

// The contents of a window property of the type named (32-bit items as Xlib hands them, one
// long each), or "" when the window has no such property of that type.
std::string window_property(Display* display, Window window, const char* name, const char* type);

// Exit code of a wait status that ended normally; -1 otherwise.
int exit_code(int wait_status);

}  // namespace pictra_test
