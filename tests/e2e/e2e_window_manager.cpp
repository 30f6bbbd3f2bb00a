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

#include <cstdlib>
#include <cstring>
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
  return geometry_file(p.width, p.height, p.x, p.y);
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

// A CARDINAL property's items. Xlib widens each with its sign; they are unsigned 32-bit values.
std::vector<long> cardinals(Display* display, Window window, const char* name) {
  const std::string bytes = window_property(display, window, name, "CARDINAL");
  std::vector<long> values(bytes.size() / sizeof(long));
  std::memcpy(values.data(), bytes.data(), values.size() * sizeof(long));
  for (long& value : values)
    value &= 0xffffffffL;
  return values;
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

// _NET_WM_ICON holds each installed icon, as its size twice and its pixels; they show
// something: clear in the corner, opaque in the middle.
void expect_icon(Display* display, Window window) {
  std::vector<long> expected;
  for (const long size : {16, 32, 48, 64}) {
    const std::vector<long> pixels = installed_icon(static_cast<int>(size));
    ASSERT_EQ(pixels.size(), static_cast<std::size_t>(size * size));
    EXPECT_EQ(pixels.front() >> 24, 0) << size;
    EXPECT_EQ(pixels[pixels.size() / 2 + static_cast<std::size_t>(size) / 2] >> 24, 0xff) << size;
    expected.insert(expected.end(), {size, size});
    expected.insert(expected.end(), pixels.begin(), pixels.end());
  }
  EXPECT_EQ(cardinals(display, window, "_NET_WM_ICON"), expected);
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
    ASSERT_TRUE(wmctrl({"-i", "-c", std::to_string(pictra_->window())}));
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

  EXPECT_EQ(window_property(display, window, "WM_CLASS", "STRING"),
            std::string("pictra\0Pictra\0", 14));
  for (const char* name : {"_NET_WM_NAME", "_NET_WM_ICON_NAME"})
    EXPECT_EQ(window_property(display, window, name, "UTF8_STRING"), title) << name;
  // Beyond Latin-1 the locale's names are COMPOUND_TEXT; the icon's is the title's.
  EXPECT_EQ(window_property(display, window, "WM_ICON_NAME", "COMPOUND_TEXT"),
            window_property(display, window, "WM_NAME", "COMPOUND_TEXT"));
  EXPECT_NE(window_property(display, window, "WM_NAME", "COMPOUND_TEXT"), "");
  EXPECT_EQ(cardinals(display, window, "_NET_WM_PID"), std::vector<long>{pictra.pid()});
  char host[256] = "";
  ASSERT_EQ(gethostname(host, sizeof host), 0);
  EXPECT_EQ(window_property(display, window, "WM_CLIENT_MACHINE", "STRING"), host);

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
  EXPECT_TRUE(near({hints.x, hints.y, hints.width, hints.height}, first_placement));
  EXPECT_TRUE(hints.min_width > 0 && hints.min_width <= first_placement.width &&
              hints.min_height > 0 && hints.min_height <= first_placement.height);
  expect_icon(display, window);

  // The manager put the window itself, not its frame, where the file says.
  EXPECT_TRUE(placed(pictra, first_placement));
  close_by_manager();
  EXPECT_EQ(saved(), geometry_text(first_placement));
}

// Moved and resized by the manager, the window comes back there at every start, in the view
// and in the grid, and the file stays as it is; fullscreen gives the place back.
TEST_F(UnderAWindowManager, ComesBackWhereTheManagerLeftIt) {
  home_.write(".pictrarc", geometry_text(first_placement));
  Pictra& moved = start();
  ASSERT_TRUE(placed(moved, first_placement));
  const Placement& to = moved_placement;
  ASSERT_TRUE(wmctrl({"-i", "-r", std::to_string(moved.window()), "-e",
                      "0," + std::to_string(to.x) + "," + std::to_string(to.y) + "," +
                          std::to_string(to.width) + "," + std::to_string(to.height)}));
  ASSERT_TRUE(placed(moved, moved_placement));
  close_by_manager();
  EXPECT_EQ(saved(), geometry_text(moved_placement));

  Pictra& view = start({image_name});
  ASSERT_TRUE(view.wait_title(std::string(title_prefix) + image_name + " (32x32)")) << view.title();
  EXPECT_TRUE(placed(view, moved_placement));
  Display* display = view.display();
  view.key(XK_f);
  EXPECT_TRUE(placed(view, {0, 0, DisplayWidth(display, DefaultScreen(display)),
                            DisplayHeight(display, DefaultScreen(display))}));
  view.key(XK_f);
  EXPECT_TRUE(placed(view, moved_placement));
  close_by_manager();
  EXPECT_EQ(saved(), geometry_text(moved_placement));

  // Any structure change ends the help screen, so it comes before any move.
  Pictra& grid = start();
  EXPECT_TRUE(placed(grid, moved_placement));
  grid.key(XK_h);
  ASSERT_TRUE(grid.wait_title(std::string(title_prefix) + "Help")) << grid.title();
  close_by_manager();
  EXPECT_EQ(saved(), geometry_text(moved_placement));
}

}  // namespace
