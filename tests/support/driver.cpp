#include <gtest/gtest.h>  // before the X headers, whose macros clash with it

#include "support/driver.h"

#include <X11/XKBlib.h>
#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <climits>
#include <clocale>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "support/tempdir.h"

namespace pictra_test {

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::chrono::milliseconds recheck{20};

// Every key symbol the program reacts to, plus a few it must ignore. The program looks keys up
// unshifted (index 0 of the key's symbols), and the server's keymap has some of these only on a
// shifted level (plus) or behind NumLock (the keypad digits). Before the program starts, each
// one missing from index 0 gets a spare key code of its own, so key() can always press it.
constexpr std::array prepared_keysyms = {
    XK_plus,    XK_minus,    XK_h,      XK_q,           XK_r,     XK_a,    XK_BackSpace, XK_Return,
    XK_Escape,  XK_Home,     XK_Left,   XK_Up,          XK_Right, XK_Down, XK_Prior,     XK_Next,
    XK_End,     XK_KP_Enter, XK_KP_Add, XK_KP_Subtract, XK_KP_2,  XK_KP_4, XK_KP_6,      XK_KP_8,
    XK_Shift_L, XK_Tab,      XK_space,  XK_equal,       XK_0,     XK_1,    XK_f,         XK_j,
    XK_k,       XK_l,        XK_bar,    XK_underscore,  XK_period};

int ignore_x_errors(Display*, XErrorEvent*) {
  return 0;
}

KeyCode unshifted_keycode(Display* display, KeySym keysym) {
  int min_code = 0, max_code = 0;
  XDisplayKeycodes(display, &min_code, &max_code);
  for (int code = min_code; code <= max_code; ++code) {
    if (XkbKeycodeToKeysym(display, static_cast<KeyCode>(code), 0, 0) == keysym) {
      return static_cast<KeyCode>(code);
    }
  }
  return 0;
}

KeyCode spare_keycode(Display* display) {
  int min_code = 0, max_code = 0;
  XDisplayKeycodes(display, &min_code, &max_code);
  for (int code = max_code; code >= min_code; --code) {
    int per_code = 0;
    KeySym* syms = XGetKeyboardMapping(display, static_cast<KeyCode>(code), 1, &per_code);
    bool empty = true;
    for (int i = 0; i < per_code; ++i)
      empty = empty && syms[i] == NoSymbol;
    XFree(syms);
    if (empty) return static_cast<KeyCode>(code);
  }
  return 0;
}

void prepare_keymap(Display* display) {
  bool changed = false;
  for (KeySym keysym : prepared_keysyms) {
    if (unshifted_keycode(display, keysym)) continue;
    const KeyCode code = spare_keycode(display);
    if (!code) {
      ADD_FAILURE() << "no spare key code for keysym " << keysym;
      continue;
    }
    KeySym syms[1] = {keysym};
    XChangeKeyboardMapping(display, code, 1, syms, 1);
    XSync(display, False);
    // Our own connection must see the new mapping for the lookups above and in key().
    XEvent mapping{};
    mapping.xmapping.type = MappingNotify;
    mapping.xmapping.display = display;
    mapping.xmapping.request = MappingKeyboard;
    mapping.xmapping.first_keycode = code;
    mapping.xmapping.count = 1;
    XRefreshKeyboardMapping(&mapping.xmapping);
    changed = true;
  }
  if (changed) XSync(display, False);
}

int pid_fd(pid_t pid) {
  return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
}

int remaining_ms(Clock::time_point until) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

[[noreturn]] void exec_child(const PictraOptions& options, const std::string& capture_dir) {
  if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(126);
  if (options.home.empty()) {
    unsetenv("HOME");
  } else {
    setenv("HOME", options.home.c_str(), 1);
  }
  if (options.unset_display) unsetenv("DISPLAY");
  for (const std::string& entry : options.setenv) {
    const auto equals = entry.find('=');
    setenv(entry.substr(0, equals).c_str(), entry.substr(equals + 1).c_str(), 1);
  }
  const int in = open((capture_dir + "/stdin").c_str(), O_RDONLY);
  const int out = open((capture_dir + "/stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  const int err = open((capture_dir + "/stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (in < 0 || out < 0 || err < 0) _exit(126);
  dup2(in, STDIN_FILENO);
  dup2(out, STDOUT_FILENO);
  dup2(err, STDERR_FILENO);
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(PICTRA_BINARY));
  for (const std::string& arg : options.args)
    argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  execv(PICTRA_BINARY, argv.data());
  _exit(127);
}

}  // namespace

std::string window_property(Display* display, Window window, const char* name, const char* type) {
  Atom got = 0;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char* data = nullptr;
  std::string bytes;
  if (XGetWindowProperty(display, window, XInternAtom(display, name, False), 0, LONG_MAX / 4, False,
                         XInternAtom(display, type, False), &got, &format, &count, &after,
                         &data) == Success &&
      data) {
    const std::size_t item = format == 32 ? sizeof(long) : static_cast<std::size_t>(format / 8);
    if (format != 0) bytes.assign(reinterpret_cast<const char*>(data), count * item);
    XFree(data);
  }
  return bytes;
}

int exit_code(int wait_status) {
  return WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : -1;
}

Pictra::Pictra(PictraOptions options, const std::string& input) {
  std::setlocale(LC_ALL, "C.UTF-8");
  XSetErrorHandler(ignore_x_errors);
  display_ = XOpenDisplay(nullptr);
  if (display_) {
    prepare_keymap(display_);
    XSelectInput(display_, DefaultRootWindow(display_), SubstructureNotifyMask);
    XSync(display_, False);
  }
  char pattern[] = "/tmp/pictra-capture-XXXXXX";
  if (!mkdtemp(pattern)) ADD_FAILURE() << "mkdtemp failed";
  capture_dir_ = pattern;
  {
    std::ofstream file(capture_dir_ + "/stdin", std::ios::binary);
    file << input;
  }
  pid_ = fork();
  if (pid_ == 0) exec_child(options, capture_dir_);
  if (pid_ < 0) ADD_FAILURE() << "fork failed";
}

Pictra::~Pictra() {
  if (pid_ > 0 && !status_) {
    kill(pid_, SIGKILL);
    int status = 0;
    waitpid(pid_, &status, 0);
  }
  if (display_) XCloseDisplay(display_);
  std::error_code ignored;
  std::filesystem::remove_all(capture_dir_, ignored);
}

bool Pictra::handle_pending_events() {
  bool any = false;
  while (display_ && XPending(display_)) {
    XEvent event;
    XNextEvent(display_, &event);
    any = true;
    switch (event.type) {
      case CreateNotify:
        // A window manager's popups are override-redirect; pictra's window is not.
        if (!window_ && event.xcreatewindow.parent == DefaultRootWindow(display_) &&
            !event.xcreatewindow.override_redirect) {
          window_ = event.xcreatewindow.window;
          XSelectInput(display_, window_, PropertyChangeMask | StructureNotifyMask);
        }
        break;
      case MapNotify:
        if (event.xmap.window == window_) mapped_ = true;
        break;
      case PropertyNotify:
        if (event.xproperty.window == window_ && event.xproperty.atom == XA_WM_NAME) {
          ++title_changes_;
        }
        break;
      default:
        break;
    }
  }
  return any;
}

// Handles what is queued, or waits for the next event from the server until the deadline.
void Pictra::pump(Clock::time_point until) {
  if (!display_ || handle_pending_events()) return;
  pollfd fd{ConnectionNumber(display_), POLLIN, 0};
  if (poll(&fd, 1, remaining_ms(until)) > 0) handle_pending_events();
}

Window Pictra::window(std::chrono::milliseconds deadline) {
  if (!display_) {
    ADD_FAILURE() << "no display to find pictra's window on";
    return 0;
  }
  const auto until = Clock::now() + deadline;
  while (!(window_ && mapped_) && Clock::now() < until) {
    pump(std::min(until, Clock::now() + recheck));
    // Under a window manager the window is mapped inside its frame, out of the root's sight,
    // possibly before the watch on the window itself began.
    XWindowAttributes attributes{};
    if (window_ && XGetWindowAttributes(display_, window_, &attributes) &&
        attributes.map_state == IsViewable) {
      mapped_ = true;
    }
  }
  EXPECT_TRUE(window_ && mapped_) << "pictra's window did not appear; stdout: " << stdout_text()
                                  << " stderr: " << stderr_text();
  return window_;
}

std::string Pictra::title() {
  if (!display_) return {};
  if (!window_) window();
  XTextProperty property{};
  if (!XGetWMName(display_, window_, &property) || !property.value) return {};
  std::string text;
  char** list = nullptr;
  int count = 0;
  if (Xutf8TextPropertyToTextList(display_, &property, &list, &count) >= Success && count > 0) {
    text = list[0];
    XFreeStringList(list);
  } else {
    text.assign(reinterpret_cast<char*>(property.value), property.nitems);
  }
  XFree(property.value);
  return text;
}

int Pictra::title_changes() {
  handle_pending_events();
  return title_changes_;
}

bool Pictra::wait_title(const std::string& text, std::chrono::milliseconds deadline) {
  const auto until = Clock::now() + deadline;
  if (!window_) window(deadline);
  while (true) {
    handle_pending_events();
    if (title() == text) return true;
    if (Clock::now() >= until) return false;
    pump(until);
  }
}

bool Pictra::wait_title_changes(int count, std::chrono::milliseconds deadline) {
  const auto until = Clock::now() + deadline;
  while (title_changes() < count) {
    if (Clock::now() >= until) return false;
    pump(until);
  }
  return true;
}

void Pictra::key(KeySym keysym, bool shift, bool control) {
  if (!window_) window();
  const KeyCode code = unshifted_keycode(display_, keysym);
  ASSERT_NE(code, 0) << "keysym " << keysym << " has no unshifted key; add it to the driver";
  XSetInputFocus(display_, window_, RevertToPointerRoot, CurrentTime);
  const KeyCode shift_code = unshifted_keycode(display_, XK_Shift_L);
  const KeyCode control_code = unshifted_keycode(display_, XK_Control_L);
  if (control) XTestFakeKeyEvent(display_, control_code, True, CurrentTime);
  if (shift) XTestFakeKeyEvent(display_, shift_code, True, CurrentTime);
  XTestFakeKeyEvent(display_, code, True, CurrentTime);
  XTestFakeKeyEvent(display_, code, False, CurrentTime);
  if (shift) XTestFakeKeyEvent(display_, shift_code, False, CurrentTime);
  if (control) XTestFakeKeyEvent(display_, control_code, False, CurrentTime);
  XSync(display_, False);
}

void Pictra::move_pointer(int x, int y) {
  if (!window_) window();
  int root_x = 0, root_y = 0;
  Window child = 0;
  XTranslateCoordinates(display_, window_, DefaultRootWindow(display_), x, y, &root_x, &root_y,
                        &child);
  XTestFakeMotionEvent(display_, DefaultScreen(display_), root_x, root_y, CurrentTime);
}

void Pictra::click(int x, int y, unsigned button, bool shift) {
  move_pointer(x, y);
  const KeyCode shift_code = unshifted_keycode(display_, XK_Shift_L);
  if (shift) XTestFakeKeyEvent(display_, shift_code, True, CurrentTime);
  XTestFakeButtonEvent(display_, button, True, CurrentTime);
  XTestFakeButtonEvent(display_, button, False, CurrentTime);
  if (shift) XTestFakeKeyEvent(display_, shift_code, False, CurrentTime);
  XSync(display_, False);
}

void Pictra::drag(int from_x, int from_y, int to_x, int to_y) {
  move_pointer(from_x, from_y);
  XTestFakeButtonEvent(display_, Button1, True, CurrentTime);
  // Through the middle, so that the program sees motion before the release.
  move_pointer((from_x + to_x) / 2, (from_y + to_y) / 2);
  move_pointer(to_x, to_y);
  XTestFakeButtonEvent(display_, Button1, False, CurrentTime);
  XSync(display_, False);
}

void Pictra::send_expose(int count) {
  if (!window_) window();
  XEvent event{};
  event.xexpose.type = Expose;
  event.xexpose.window = window_;
  event.xexpose.count = count;
  XSendEvent(display_, window_, False, ExposureMask, &event);
  XFlush(display_);
}

void Pictra::fill_window(int rgb) {
  if (!window_) window();
  GC gc = XCreateGC(display_, window_, 0, nullptr);
  XSetForeground(display_, gc, expected_pixel(display_, rgb));
  XWindowAttributes attributes{};
  XGetWindowAttributes(display_, window_, &attributes);
  XFillRectangle(display_, window_, gc, 0, 0, static_cast<unsigned>(attributes.width),
                 static_cast<unsigned>(attributes.height));
  XFreeGC(display_, gc);
  XSync(display_, False);
}

void Pictra::resize(unsigned width, unsigned height) {
  if (!window_) window();
  XResizeWindow(display_, window_, width, height);
  XSync(display_, False);
}

void Pictra::destroy_window() {
  if (!window_) window();
  XDestroyWindow(display_, window_);
  XSync(display_, False);
}

WindowPixels Pictra::pixels() {
  if (!window_) window();
  XSync(display_, False);
  return read_window(display_, window_);
}

std::optional<int> Pictra::wait_exit(std::chrono::milliseconds deadline) {
  if (status_) return status_;
  const int fd = pid_fd(pid_);
  if (fd >= 0) {
    pollfd p{fd, POLLIN, 0};
    poll(&p, 1, static_cast<int>(deadline.count()));
    close(fd);
  }
  int status = 0;
  if (waitpid(pid_, &status, WNOHANG) == pid_) status_ = status;
  return status_;
}

void Pictra::signal(int sig) {
  kill(pid_, sig);
}

std::string Pictra::stdout_text() const {
  return read_file(capture_dir_ + "/stdout");
}
std::string Pictra::stderr_text() const {
  return read_file(capture_dir_ + "/stderr");
}

::testing::AssertionResult shows(Pictra& pictra, unsigned width, unsigned height,
                                 const std::vector<int>& expected, PixelMatch match) {
  constexpr std::chrono::milliseconds look_again{20};
  const auto until = std::chrono::steady_clock::now() + default_deadline;
  for (;;) {
    const int changes = pictra.title_changes();
    const WindowPixels seen = pictra.pixels();
    std::ostringstream differences;
    int count = 0;
    if (seen.width != width || seen.height != height) {
      differences << " window is " << seen.width << "x" << seen.height;
      count = 1;
    } else {
      for (unsigned y = 0; y < height; ++y) {
        for (unsigned x = 0; x < width; ++x) {
          const std::size_t i = static_cast<std::size_t>(y) * width + x;
          if (match(pictra.display(), seen.pixels[i], expected[i])) continue;
          if (++count <= 5) {
            differences << " (" << x << "," << y << ") has rgb " << std::hex
                        << pixel_to_rgb(pictra.display(), seen.pixels[i]) << " for " << expected[i]
                        << std::dec;
          }
        }
      }
    }
    if (count == 0) return ::testing::AssertionSuccess();
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        until - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      return ::testing::AssertionFailure() << count << " pixels differ:" << differences.str();
    }
    pictra.wait_title_changes(changes + 1, std::min(left, look_again));
  }
}

}  // namespace pictra_test
