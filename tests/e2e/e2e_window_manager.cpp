// pictra under a real reparenting window manager (openbox, started by the test on its private
// server): what the window tells the manager, the geometry kept where the window really is on
// the screen from one start to the next, the manager's close in the grid, the view and the
// help screen, and fullscreen through the manager. None of it depends on the depth: it runs at
// 24 bits only.
#include <gtest/gtest.h>  // before the X headers, whose macros clash with it

#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "support/driver.h"
#include "support/geometry.h"
#include "support/tempdir.h"
#include "support/window_manager.h"

namespace {

using namespace pictra_test;

constexpr char title_prefix[] = "pictra-0.31 - ";
constexpr char image_name[] = "basn2c08.png";
constexpr std::chrono::milliseconds look_again{20};
// How far a window may come back from where it was left.
constexpr int kept_within = 2;

struct Placement {
  int x = 0;  // of the window itself on the screen, inside the manager's frame
  int y = 0;
  int width = 0;
  int height = 0;
};
constexpr Placement first_placement{401, 320, 400, 300};
constexpr Placement moved_placement{500, 200, 640, 480};

std::string geometry_text(const Placement& p) {
  return std::string(config_header) + "xpos=" + std::to_string(p.x) +
         "\nypos=" + std::to_string(p.y) + "\nwidth=" + std::to_string(p.width) +
         "\nheight=" + std::to_string(p.height) + "\n";
}

Placement placement(Display* display, Window window) {
  Placement p;
  Window root = 0, child = 0;
  int x = 0, y = 0;
  unsigned width = 0, height = 0, border = 0, depth = 0;
  XGetGeometry(display, window, &root, &x, &y, &width, &height, &border, &depth);
  XTranslateCoordinates(display, window, root, 0, 0, &p.x, &p.y, &child);
  p.width = static_cast<int>(width);
  p.height = static_cast<int>(height);
  return p;
}

bool near(const Placement& a, const Placement& b) {
  return std::abs(a.x - b.x) <= kept_within && std::abs(a.y - b.y) <= kept_within &&
         a.width == b.width && a.height == b.height;
}

// Waits until the window is placed as wanted. A move draws nothing, so the placement is looked
// at again after each drawing or a short while.
::testing::AssertionResult placed(Pictra& pictra, const Placement& wanted) {
  const auto until = std::chrono::steady_clock::now() + default_deadline;
  for (;;) {
    const int changes = pictra.title_changes();
    const Placement seen = placement(pictra.display(), pictra.window());
    if (near(seen, wanted)) return ::testing::AssertionSuccess();
    if (std::chrono::steady_clock::now() >= until) {
      return ::testing::AssertionFailure() << "the window is at " << seen.x << "," << seen.y << " "
                                           << seen.width << "x" << seen.height;
    }
    pictra.wait_title_changes(changes + 1, look_again);
  }
}

std::string hex(Window window) {
  char text[32];
  std::snprintf(text, sizeof text, "0x%lx", window);
  return text;
}

// A property's 32-bit items, or none.
std::vector<long> cardinals(Display* display, Window window, const char* name) {
  Atom type = 0;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char* data = nullptr;
  std::vector<long> values;
  if (XGetWindowProperty(display, window, XInternAtom(display, name, False), 0, LONG_MAX / 4, False,
                         XA_CARDINAL, &type, &format, &count, &after, &data) == Success &&
      data) {
    if (type == XA_CARDINAL && format == 32) {
      // Xlib widens each item with its sign; the items are unsigned 32-bit values.
      const long* items = reinterpret_cast<const long*>(data);
      for (unsigned long i = 0; i < count; ++i)
        values.push_back(items[i] & 0xffffffffL);
    }
    XFree(data);
  }
  return values;
}

std::string utf8_property(Display* display, Window window, const char* name) {
  Atom type = 0;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char* data = nullptr;
  std::string text;
  if (XGetWindowProperty(display, window, XInternAtom(display, name, False), 0, 4096, False,
                         XInternAtom(display, "UTF8_STRING", False), &type, &format, &count, &after,
                         &data) == Success &&
      data) {
    if (format == 8) text.assign(reinterpret_cast<const char*>(data), count);
    XFree(data);
  }
  return text;
}

std::string icon_name(Display* display, Window window) {
  XTextProperty property{};
  std::string text;
  if (!XGetWMIconName(display, window, &property) || !property.value) return text;
  char** list = nullptr;
  int count = 0;
  if (Xutf8TextPropertyToTextList(display, &property, &list, &count) >= Success && count > 0) {
    text = list[0];
  }
  if (list) XFreeStringList(list);
  XFree(property.value);
  return text;
}

// The installed icon of one size as ARGB values, read by ImageMagick.
std::vector<long> installed_icon(int size) {
  const std::string side = std::to_string(size);
  const std::string rgba =
      command_output("convert '" + std::string(PICTRA_BUILD_DIR) + "/icons/hicolor/" + side + "x" +
                     side + "/apps/pictra.png' -depth 8 rgba:-");
  std::vector<long> argb;
  for (std::size_t i = 0; i + 3 < rgba.size(); i += 4) {
    const auto byte = [&](std::size_t at) {
      return static_cast<long>(static_cast<unsigned char>(rgba[at]));
    };
    argb.push_back(byte(i + 3) << 24 | byte(i) << 16 | byte(i + 1) << 8 | byte(i + 2));
  }
  return argb;
}

// Every size of _NET_WM_ICON is the installed icon of that size, and shows something: clear in
// the corner, opaque in the middle.
void expect_icon(Display* display, Window window) {
  const std::vector<long> icon = cardinals(display, window, "_NET_WM_ICON");
  std::vector<int> sizes;
  for (std::size_t at = 0; at + 2 <= icon.size();) {
    const long width = icon[at], height = icon[at + 1];
    const std::size_t count = static_cast<std::size_t>(width * height);
    ASSERT_EQ(width, height);
    ASSERT_LE(at + 2 + count, icon.size());
    const std::vector<long> pixels(icon.begin() + static_cast<long>(at) + 2,
                                   icon.begin() + static_cast<long>(at + 2 + count));
    EXPECT_EQ(pixels, installed_icon(static_cast<int>(width))) << width;
    EXPECT_EQ(pixels.front() >> 24, 0) << width;
    EXPECT_EQ(pixels[count / 2 + static_cast<std::size_t>(width) / 2] >> 24, 0xff) << width;
    sizes.push_back(static_cast<int>(width));
    at += 2 + count;
  }
  EXPECT_EQ(sizes, (std::vector<int>{16, 32, 48, 64}));
}

class UnderAWindowManager : public ::testing::Test {
 protected:
  void SetUp() override {
    if (test_depth() != 24) GTEST_SKIP() << "nothing here depends on the depth";
    if (!have_openbox() || std::system("command -v wmctrl >/dev/null 2>&1") != 0) {
      GTEST_SKIP() << "no openbox or wmctrl";
    }
    manager_ = std::make_unique<WindowManager>();
    ASSERT_TRUE(manager_->ready());
    // A name beyond Latin-1, so that the UTF-8 names differ from what WM_NAME holds.
    const std::string made = home_.mkdir("Фото-ü");
    char real[PATH_MAX];
    pictures_ = realpath(made.c_str(), real) ? real : made;
    copy_test_data(std::string("pngsuite/") + image_name, home_,
                   "Фото-ü/" + std::string(image_name));
  }

  Pictra& start(std::vector<std::string> args = {}) {
    pictra_ = std::make_unique<Pictra>(PictraOptions{
        .home = home_.path(), .cwd = pictures_, .args = args, .setenv = {"LANG=C.UTF-8"}});
    EXPECT_TRUE(framed(*pictra_));
    return *pictra_;
  }

  // The manager's close, asked of it as its close button would: the program ends as on q.
  void close_by_manager() {
    ASSERT_TRUE(wmctrl({"-i", "-c", hex(pictra_->window())}));
    const auto status = pictra_->wait_exit();
    ASSERT_TRUE(status.has_value()) << "pictra did not end on the manager's close";
    EXPECT_EQ(exit_code(*status), 0) << pictra_->stderr_text();
  }

  std::string saved() const { return read_file(home_.file(".pictrarc")); }

  TempDir home_;
  std::string pictures_;
  std::unique_ptr<WindowManager> manager_;
  std::unique_ptr<Pictra> pictra_;
};

TEST_F(UnderAWindowManager, TellsTheManagerItsNamesHintsAndIcon) {
  home_.write(".pictrarc", geometry_text(first_placement));
  Pictra& pictra = start();
  const std::string title = title_prefix + pictures_;
  ASSERT_TRUE(pictra.wait_title(title)) << pictra.title();
  Display* display = pictra.display();
  const Window window = pictra.window();

  XClassHint names{};
  ASSERT_TRUE(XGetClassHint(display, window, &names));
  EXPECT_STREQ(names.res_name, "pictra");
  EXPECT_STREQ(names.res_class, "Pictra");
  XFree(names.res_name);
  XFree(names.res_class);
  EXPECT_EQ(utf8_property(display, window, "_NET_WM_NAME"), title);
  EXPECT_EQ(utf8_property(display, window, "_NET_WM_ICON_NAME"), title);
  EXPECT_EQ(icon_name(display, window), title);

  EXPECT_EQ(cardinals(display, window, "_NET_WM_PID"), std::vector<long>{pictra.pid()});
  char host[256] = "";
  ASSERT_EQ(gethostname(host, sizeof host), 0);
  XTextProperty machine{};
  ASSERT_TRUE(XGetWMClientMachine(display, window, &machine));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(machine.value), machine.nitems), host);
  XFree(machine.value);

  Atom* protocols = nullptr;
  int protocol_count = 0;
  ASSERT_TRUE(XGetWMProtocols(display, window, &protocols, &protocol_count));
  const std::vector<Atom> listed(protocols, protocols + protocol_count);
  XFree(protocols);
  EXPECT_EQ(listed, std::vector<Atom>{XInternAtom(display, "WM_DELETE_WINDOW", False)});

  XSizeHints hints{};
  long supplied = 0;
  ASSERT_TRUE(XGetWMNormalHints(display, window, &hints, &supplied));
  EXPECT_EQ(hints.flags & (USPosition | USSize | PMinSize), USPosition | USSize | PMinSize);
  EXPECT_EQ(hints.x, first_placement.x);
  EXPECT_EQ(hints.y, first_placement.y);
  EXPECT_EQ(hints.width, first_placement.width);
  EXPECT_EQ(hints.height, first_placement.height);
  EXPECT_GT(hints.min_width, 0);
  EXPECT_LE(hints.min_width, first_placement.width);
  EXPECT_GT(hints.min_height, 0);
  EXPECT_LE(hints.min_height, first_placement.height);
  expect_icon(display, window);

  // The manager put the window itself, not its frame, where the file says.
  EXPECT_TRUE(placed(pictra, first_placement));
  close_by_manager();
  EXPECT_EQ(saved(), geometry_text(first_placement));
}

// Moved and resized by the manager, the window comes back there at every start, in the grid
// and in the view, and the file stays as it is; the grid's fullscreen gives the place back.
TEST_F(UnderAWindowManager, ComesBackWhereTheManagerLeftIt) {
  home_.write(".pictrarc", geometry_text(first_placement));
  Pictra& moved = start();
  ASSERT_TRUE(placed(moved, first_placement));
  const Placement& to = moved_placement;
  ASSERT_TRUE(wmctrl({"-i", "-r", hex(moved.window()), "-e",
                      "0," + std::to_string(to.x) + "," + std::to_string(to.y) + "," +
                          std::to_string(to.width) + "," + std::to_string(to.height)}));
  ASSERT_TRUE(placed(moved, moved_placement));
  close_by_manager();
  EXPECT_EQ(saved(), geometry_text(moved_placement));

  Pictra& view = start({image_name});
  ASSERT_TRUE(view.wait_title(std::string(title_prefix) + image_name + " (32x32)")) << view.title();
  EXPECT_TRUE(placed(view, moved_placement));
  close_by_manager();
  EXPECT_EQ(saved(), geometry_text(moved_placement));

  Pictra& grid = start();
  EXPECT_TRUE(placed(grid, moved_placement));
  Display* display = grid.display();
  grid.key(XK_f);
  EXPECT_TRUE(placed(grid, {0, 0, DisplayWidth(display, DefaultScreen(display)),
                            DisplayHeight(display, DefaultScreen(display))}));
  grid.key(XK_f);
  EXPECT_TRUE(placed(grid, moved_placement));
  grid.key(XK_h);
  ASSERT_TRUE(grid.wait_title(std::string(title_prefix) + "Help")) << grid.title();
  close_by_manager();
  EXPECT_EQ(saved(), geometry_text(moved_placement));
}

}  // namespace
