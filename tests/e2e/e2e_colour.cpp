// Colour end to end: transparency over black and over the checkerboard the a key brings, at
// every depth (dithered below 24 bits), and the display's profile taken from the root window.
#include <gtest/gtest.h>  // before the X headers, whose macros clash with it

#include <X11/Xatom.h>
#include <X11/keysym.h>

#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "support/driver.h"
#include "support/geometry.h"
#include "support/tempdir.h"

namespace {

using namespace pictra_test;

constexpr unsigned window_width = 400;
constexpr unsigned window_height = 300;
constexpr int opaque = 0x804020;

void run(const std::string& command) {
  ASSERT_EQ(std::system(("(" + command + ") >/dev/null 2>&1").c_str()), 0) << command;
}

// `pictra img.png` in a window the image's size, so that nothing is resampled.
class Colour : public ::testing::Test {
 protected:
  Colour() { home_.write(".pictrarc", geometry_file(window_width, window_height)); }

  Pictra& start() {
    pictra_ = std::make_unique<Pictra>(
        PictraOptions{.home = home_.path(), .cwd = dir_.path(), .args = {"img.png"}, .setenv = {}});
    pictra_->window();
    return *pictra_;
  }

  TempDir home_;
  TempDir dir_;
  std::unique_ptr<Pictra> pictra_;
};

bool within_one(Display* display, std::uint32_t pixel, int rgb) {
  const int shown = pixel_to_rgb(display, pixel);
  for (int c = 0; c < 3; ++c)
    if (std::abs(channel_of(shown, c) - channel_of(rgb, c)) > 1) return false;
  return true;
}

// The left half opaque, the right half clear over white that must not show; a goes to the
// checkerboard of 16-pixel squares and back.
TEST_F(Colour, TransparencyOverBlackAndTheCheckerboard) {
  run("convert -size 200x300 'xc:#804020' -size 200x300 'xc:rgba(255,255,255,0)' +append -depth 8 "
      "PNG32:'" +
      dir_.file("img.png") + "'");
  std::vector<int> black(window_width * window_height), checkered(black.size());
  for (unsigned y = 0; y < window_height; ++y) {
    for (unsigned x = 0; x < window_width; ++x) {
      const bool clear = x >= window_width / 2;
      black[y * window_width + x] = clear ? 0 : opaque;
      checkered[y * window_width + x] = !clear                  ? opaque
                                        : (x / 16 + y / 16) % 2 ? 0x999999
                                                                : 0x666666;
    }
  }
  Pictra& pictra = start();
  EXPECT_TRUE(shows(pictra, window_width, window_height, black, within_dither));
  pictra.key(XK_a, true);  // A: Shift+a
  EXPECT_TRUE(shows(pictra, window_width, window_height, checkered, within_dither));
  pictra.key(XK_a, true);
  EXPECT_TRUE(shows(pictra, window_width, window_height, black, within_dither));
}

// The root window's _ICC_PROFILE names an Adobe RGB (1998) screen, by the profile Debian ships
// with Ghostscript: sRGB colours are converted to it, as transicc converts them.
TEST_F(Colour, DisplayProfileOfTheRootWindow) {
  if (test_depth() != 24) GTEST_SKIP() << "the conversion does not depend on the depth";
  const std::string icc_file = "/usr/share/color/icc/ghostscript/a98.icc";
  const std::string icc = read_file(icc_file);
  ASSERT_FALSE(icc.empty());

  const int colours[] = {0xff0000, 0x20c040, 0x2040c0, 0x808080};
  std::string input, patches;
  for (const int c : colours) {
    input += std::to_string(c >> 16) + " " + std::to_string(c >> 8 & 255) + " " +
             std::to_string(c & 255) + "\n";
    char name[16];
    std::snprintf(name, sizeof name, "xc:#%06x", c);
    patches += std::string(" -size 100x300 ") + name;
  }
  run("convert" + patches + " +append '" + dir_.file("img.png") + "'");
  std::istringstream out(command_output("printf '" + input + "' | transicc -s -n -t0 '-o" +
                                        icc_file + "' 2>/dev/null"));
  std::vector<int> expected(window_width * window_height);
  for (unsigned column = 0; column < std::size(colours); ++column) {
    double r = 0, g = 0, b = 0;
    ASSERT_TRUE(out >> r >> g >> b);
    const int rgb = int(r + 0.5) << 16 | int(g + 0.5) << 8 | int(b + 0.5);
    for (unsigned y = 0; y < window_height; ++y)
      for (unsigned x = column * 100; x < (column + 1) * 100; ++x)
        expected[y * window_width + x] = rgb;
  }

  Display* display = XOpenDisplay(nullptr);
  ASSERT_NE(display, nullptr);
  const Atom property = XInternAtom(display, "_ICC_PROFILE", False);
  XChangeProperty(display, DefaultRootWindow(display), property, XA_CARDINAL, 8, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(icc.data()), int(icc.size()));
  XSync(display, False);
  Pictra& pictra = start();
  EXPECT_TRUE(shows(pictra, window_width, window_height, expected, within_one));
  XDeleteProperty(display, DefaultRootWindow(display), property);
  XCloseDisplay(display);
}

}  // namespace
