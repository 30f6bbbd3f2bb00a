// A real window manager (Debian's openbox: reparenting, EWMH) on the test's private server,
// started by the test and ended with it, and what a test asks of it.
#pragma once

#include <X11/Xlib.h>
#include <sys/types.h>

#include <string>
#include <vector>

#include "support/driver.h"

namespace pictra_test {

class WindowManager {
 public:
  // Starts openbox and waits until it has started: it frames every window mapped from then on.
  WindowManager();
  ~WindowManager();  // ends it
  WindowManager(const WindowManager&) = delete;
  WindowManager& operator=(const WindowManager&) = delete;
  bool ready() const { return ready_; }

 private:
  pid_t pid_ = -1;
  bool ready_ = false;
};

bool have_openbox();

// Waits until the manager has framed pictra's window: WM_STATE set on it, and mapped in its
// frame. Fails the test on timeout.
::testing::AssertionResult framed(Pictra& pictra);

// Runs wmctrl with the arguments and waits for it; true when it succeeded.
bool wmctrl(const std::vector<std::string>& args);

}  // namespace pictra_test
