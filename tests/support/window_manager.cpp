#include <gtest/gtest.h>  // before the X headers, whose macros clash with it

#include "support/window_manager.h"

#include <X11/Xatom.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>

extern char** environ;

namespace pictra_test {

namespace {

constexpr std::chrono::milliseconds look_again{20};
bool gone = false;  // set by the error handler when the window asked about no longer exists

bool has_property(Display* display, Window window, Atom property) {
  Atom type = 0;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char* data = nullptr;
  const bool found = XGetWindowProperty(display, window, property, 0, 1, False, AnyPropertyType,
                                        &type, &format, &count, &after, &data) == Success &&
                     type != None;
  if (data) XFree(data);
  return found;
}

pid_t spawn(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const std::string& arg : argv)
    args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawnp(&pid, args[0], nullptr, nullptr, args.data(), environ) != 0) return -1;
  return pid;
}

}  // namespace

bool have_openbox() {
  return std::system("command -v openbox >/dev/null 2>&1") == 0;
}

WindowManager::WindowManager() {
  // A connection of its own: the root's event mask is per connection, and the driver's stays.
  Display* display = XOpenDisplay(nullptr);
  if (!display) return;
  const Window root = DefaultRootWindow(display);
  // The client list is the last thing openbox sets as it starts, once it handles requests: a
  // window mapped earlier may never be framed. A manager that ended leaves its list behind, so
  // the list goes first, and the new one tells that this manager is running.
  const Atom client_list = XInternAtom(display, "_NET_CLIENT_LIST", False);
  XSelectInput(display, root, PropertyChangeMask);
  XDeleteProperty(display, root, client_list);
  XSync(display, False);
  pid_ = spawn({"openbox", "--sm-disable"});
  const auto until = std::chrono::steady_clock::now() + default_deadline;
  while (pid_ > 0) {
    ready_ = has_property(display, root, client_list);
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        until - std::chrono::steady_clock::now());
    if (ready_ || left.count() <= 0) break;
    // Until the next property change of the root.
    pollfd fd{ConnectionNumber(display), POLLIN, 0};
    if (!XPending(display)) poll(&fd, 1, static_cast<int>(left.count()));
    while (XPending(display)) {
      XEvent event;
      XNextEvent(display, &event);
    }
  }
  XCloseDisplay(display);
}

// Ends it, and waits until the server has let go of its check window: every request it sent
// is done then, so none lands after the next manager's start (its client list, say).
WindowManager::~WindowManager() {
  if (pid_ <= 0) return;
  Display* display = XOpenDisplay(nullptr);
  Window check = 0;
  if (display) {
    const Window root = DefaultRootWindow(display);
    const std::string named = window_property(display, root, "_NET_SUPPORTING_WM_CHECK", "WINDOW");
    if (named.size() == sizeof(long)) std::memcpy(&check, named.data(), sizeof check);
    auto previous = XSetErrorHandler([](Display*, XErrorEvent* error) {
      gone = error->error_code == BadWindow;
      return 0;
    });
    gone = false;
    if (check) XSelectInput(display, check, StructureNotifyMask);
    XSync(display, False);
    XSetErrorHandler(previous);
    if (gone) check = 0;
  }
  kill(pid_, SIGTERM);
  int status = 0;
  waitpid(pid_, &status, 0);
  const auto until = std::chrono::steady_clock::now() + default_deadline;
  for (bool destroyed = check == 0; !destroyed;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        until - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd fd{ConnectionNumber(display), POLLIN, 0};
    if (!XPending(display)) poll(&fd, 1, static_cast<int>(left.count()));
    while (XPending(display)) {
      XEvent event;
      XNextEvent(display, &event);
      destroyed =
          destroyed || (event.type == DestroyNotify && event.xdestroywindow.window == check);
    }
  }
  if (display) XCloseDisplay(display);
}

::testing::AssertionResult framed(Pictra& pictra) {
  Display* display = pictra.display();
  const Window window = pictra.window();
  const Atom wm_state = XInternAtom(display, "WM_STATE", False);
  const auto until = std::chrono::steady_clock::now() + default_deadline;
  for (;;) {
    XWindowAttributes attributes{};
    if (has_property(display, window, wm_state) &&
        XGetWindowAttributes(display, window, &attributes) && attributes.map_state == IsViewable) {
      return ::testing::AssertionSuccess();
    }
    if (std::chrono::steady_clock::now() >= until) {
      return ::testing::AssertionFailure() << "the manager never framed the window";
    }
    pictra.wait_title_changes(pictra.title_changes() + 1, look_again);
  }
}

bool wmctrl(const std::vector<std::string>& args) {
  std::vector<std::string> argv{"wmctrl"};
  argv.insert(argv.end(), args.begin(), args.end());
  const pid_t pid = spawn(argv);
  int status = 0;
  return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
         WEXITSTATUS(status) == 0;
}

}  // namespace pictra_test
