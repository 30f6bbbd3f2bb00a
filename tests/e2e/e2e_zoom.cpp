// Zoom, pan, mirror and fullscreen in the view, end to end: `pictra img.bmp` on a 600 x 450 BMP
// in a 400 x 300 window, so that the fit is exactly two thirds and actual size is larger than
// the window on both axes. What the window shows is worked out here from the definitions: the
// image turned, then mirrored, then scaled, and the window's top-left pixel on a given pixel of
// that; the origin follows the centre kept by zooms and the pans clamped at the edges.
#include <gtest/gtest.h>  // before the X headers, whose macros clash with it

#include <X11/keysym.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "support/bmp_file.h"
#include "support/driver.h"
#include "support/geometry.h"
#include "support/tempdir.h"
#include "support/window_manager.h"

namespace {

using namespace pictra_test;

constexpr int window_width = 400;
constexpr int window_height = 300;
constexpr int image_width = 600;
constexpr int image_height = 450;
constexpr char image_name[] = "img.bmp";
constexpr std::chrono::milliseconds look_again{20};

std::string view_title(const char* zoom = "") {
  return std::string("pictra-0.31 - ") + image_name + " (600x450)" + zoom;
}

// Every pixel different from its neighbours in all channels, and none black, so that a
// misplaced pixel and the border both show.
RgbImage test_image() {
  RgbImage image;
  image.width = image_width;
  image.height = image_height;
  for (int y = 0; y < image_height; ++y) {
    for (int x = 0; x < image_width; ++x) {
      const int r = 64 + (x * 7 + y * 3) % 192;
      const int g = 64 + (x * 3 + y * 11) % 192;
      const int b = 64 + (x * y + x + 5 * y) % 192;
      image.pixels.push_back(r << 16 | g << 8 | b);
    }
  }
  return image;
}

int round_half_up(double v) {
  return static_cast<int>(std::floor(v + 0.5));
}

int mix(int a, int b, double wb) {
  int out = 0;
  for (int shift = 16; shift >= 0; shift -= 8) {
    const double v = ((a >> shift) & 0xff) * (1.0 - wb) + ((b >> shift) & 0xff) * wb;
    out |= std::clamp(round_half_up(v), 0, 255) << shift;
  }
  return out;
}

// The enlarging rule: vertical mixes first, the last row and column repeated.
int bilinear(const RgbImage& image, double x, double y) {
  const int x0 = static_cast<int>(x), y0 = static_cast<int>(y);
  const int x1 = std::min(x0 + 1, image.width - 1), y1 = std::min(y0 + 1, image.height - 1);
  const int left = mix(image.at(x0, y0), image.at(x0, y1), y - y0);
  const int right = mix(image.at(x1, y0), image.at(x1, y1), y - y0);
  return mix(left, right, x - x0);
}

// What the view shows: turn (0..3 clockwise) then the mirrors, at num/den of actual size (at
// least 1, so the enlarging rule holds), the window's top-left on (ox, oy).
struct Look {
  int turn = 0;
  bool mirror_x = false;
  bool mirror_y = false;
  int num = 1;
  int den = 1;
  int ox = 0;
  int oy = 0;
};

int scaled_width(const Look& look) {
  return (look.turn % 2 ? image_height : image_width) * look.num / look.den;
}
int scaled_height(const Look& look) {
  return (look.turn % 2 ? image_width : image_height) * look.num / look.den;
}

std::vector<int> expected_view(const RgbImage& image, const Look& look, int width, int height) {
  const int sw = scaled_width(look), sh = scaled_height(look);
  // The image scaled in its own orientation.
  const int ow = look.turn % 2 ? sh : sw, oh = look.turn % 2 ? sw : sh;
  const double step = static_cast<double>(look.den) / look.num;
  std::vector<int> out(static_cast<std::size_t>(width) * height, 0);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      int dx = x + look.ox, dy = y + look.oy;
      if (dx < 0 || dy < 0 || dx >= sw || dy >= sh) continue;
      if (look.mirror_x) dx = sw - 1 - dx;
      if (look.mirror_y) dy = sh - 1 - dy;
      // Back through the clockwise turn.
      int sx = dx, sy = dy;
      if (look.turn == 1) sx = dy, sy = oh - 1 - dx;
      if (look.turn == 2) sx = ow - 1 - dx, sy = oh - 1 - dy;
      if (look.turn == 3) sx = ow - 1 - dy, sy = dx;
      out[static_cast<std::size_t>(y) * width + x] =
          look.num == look.den ? image.at(sx, sy) : bilinear(image, sx * step, sy * step);
    }
  }
  return out;
}

// Channels as the visual keeps them: exact at depth 24; below, within what the visual's
// levels (and a dithering that picks a neighbouring level) can be off by.
int channel_tolerance() {
  const int depth = test_depth();
  if (depth >= 24) return 0;
  return depth == 8 ? 96 : 16;
}

bool close_enough(Display* display, std::uint32_t seen, int rgb) {
  const int tolerance = channel_tolerance();
  if (tolerance == 0) return seen == expected_pixel(display, rgb);
  const int got = pixel_to_rgb(display, seen);
  for (int shift = 16; shift >= 0; shift -= 8) {
    if (std::abs(((got >> shift) & 0xff) - ((rgb >> shift) & 0xff)) > tolerance) return false;
  }
  return true;
}

::testing::AssertionResult shows(Pictra& pictra, int width, int height,
                                 const std::vector<int>& expected) {
  return pictra_test::shows(pictra, static_cast<unsigned>(width), static_cast<unsigned>(height),
                            expected, close_enough);
}

// The origin that puts the image point under the window's centre before a zoom from old_scale
// there again at new_scale, clamped to the image's edges (or centred where the image is
// smaller than the window).
int kept_centre(int origin, int window, double old_scale, double new_scale, int scaled) {
  const double point = (origin + window / 2.0) / old_scale;
  const int wanted = static_cast<int>(std::llround(point * new_scale - window / 2.0));
  if (scaled <= window) return -((window - scaled) / 2);
  return std::clamp(wanted, 0, scaled - window);
}

class Zoom : public ::testing::Test {
 protected:
  Zoom() : image_(test_image()) {
    home_.write(".pictrarc", geometry_file(window_width, window_height));
    const std::string part = dir_.write("next.part", bmp24(image_));
    EXPECT_EQ(std::rename(part.c_str(), dir_.file(image_name).c_str()), 0);
  }

  Pictra& start(std::vector<std::string> args = {image_name}) {
    pictra_ = std::make_unique<Pictra>(
        PictraOptions{.home = home_.path(), .cwd = dir_.path(), .args = args, .setenv = {}});
    pictra_->window();
    return *pictra_;
  }

  ::testing::AssertionResult shows_look(const Look& look) {
    return shows(*pictra_, window_width, window_height,
                 expected_view(image_, look, window_width, window_height));
  }

  void ends() {
    const auto status = pictra_->wait_exit();
    ASSERT_TRUE(status.has_value()) << "pictra did not end";
    EXPECT_EQ(exit_code(*status), 0) << pictra_->stderr_text();
  }

  TempDir home_;
  TempDir dir_;
  RgbImage image_;
  std::unique_ptr<Pictra> pictra_;
};

// "1" from the fit keeps the centre: the fit fills the window, so the image's centre (300, 225)
// stays under the window's (200, 150). Keys, Shift+arrows, the wheel and a drag then pan, and
// stop at the edges; a click leaves.
TEST_F(Zoom, ActualPixelsPanToTheEdgesAndAClickStillLeaves) {
  Pictra& pictra = start();
  ASSERT_TRUE(pictra.wait_title(view_title())) << pictra.title();
  pictra.key(XK_1);
  Look look{.ox = 100, .oy = 75};
  ASSERT_TRUE(shows_look(look));
  EXPECT_TRUE(pictra.wait_title(view_title(" 100%"))) << pictra.title();
  constexpr int max_x = image_width - window_width, max_y = image_height - window_height;
  enum Input { key, shift_key, wheel, shift_wheel, drag };
  struct Pan {
    Input input;
    unsigned what;  // key symbol, or button
    int dx, dy;     // the move of the window over the image, before clamping
    int drag_x = 0, drag_y = 0;
  };
  const Pan pans[] = {
      {key, XK_l, 40, 0},
      {shift_key, XK_Right, 40, 0},
      {key, XK_l, 40, 0},
      {key, XK_l, 40, 0},
      {key, XK_j, 0, 30},
      {key, XK_j, 0, 30},
      {key, XK_j, 0, 30},
      {key, XK_h, -40, 0},
      {shift_key, XK_Up, 0, -30},
      {shift_key, XK_Down, 0, 30},
      {wheel, Button4, 0, -30},
      {wheel, Button5, 0, 30},
      {shift_wheel, Button4, -40, 0},
      // The image follows the pointer: moving it 50 right and 20 down shows what was left
      // and above.
      {drag, 0, -50, -20, 50, 20},
      {drag, 0, 500, 400, -500, -400},
      {shift_key, XK_Left, -40, 0},
      {key, XK_k, 0, -30},
      {shift_wheel, Button5, 40, 0},
  };
  for (const Pan& pan : pans) {
    switch (pan.input) {
      case key:
      case shift_key:
        pictra.key(pan.what, pan.input == shift_key);
        break;
      case wheel:
      case shift_wheel:
        pictra.click(200, 150, pan.what, pan.input == shift_wheel);
        break;
      case drag:
        pictra.drag(200, 150, 200 + pan.drag_x, 150 + pan.drag_y);
        break;
    }
    look.ox = std::clamp(look.ox + pan.dx, 0, max_x);
    look.oy = std::clamp(look.oy + pan.dy, 0, max_y);
    ASSERT_TRUE(shows_look(look)) << "origin " << look.ox << "," << look.oy;
  }
  EXPECT_EQ(pictra.title(), view_title(" 100%"));
  pictra.click(10, 10);
  ends();
}

// Each step keeps the image point under the window's centre there, as far as the edges let;
// below the window's size the image is centred; "0" is the fit of the start again.
TEST_F(Zoom, StepsKeepTheCentreAndZeroFitsAgain) {
  Pictra& pictra = start();
  ASSERT_TRUE(pictra.wait_title(view_title())) << pictra.title();
  const WindowPixels fitted = pictra.pixels();
  // From the fit (2/3) "+" goes to the next step up, 1, and "-" to the next down, 1/2.
  pictra.key(XK_plus);
  Look look{.ox = 100, .oy = 75};
  ASSERT_TRUE(shows_look(look));
  pictra.key(XK_h);
  pictra.key(XK_k);
  look.ox = 60, look.oy = 45;
  ASSERT_TRUE(shows_look(look));
  struct Step {
    KeySym key;
    int num, den;
    const char* title;
  };
  const Step steps[] = {{XK_equal, 3, 2, " 150%"},
                        {XK_KP_Add, 2, 1, " 200%"},
                        {XK_minus, 3, 2, " 150%"},
                        {XK_KP_Subtract, 1, 1, " 100%"},
                        {XK_plus, 3, 2, " 150%"}};
  for (const Step& step : steps) {
    const double old_scale = static_cast<double>(look.num) / look.den;
    look.num = step.num, look.den = step.den;
    const double new_scale = static_cast<double>(look.num) / look.den;
    look.ox = kept_centre(look.ox, window_width, old_scale, new_scale, scaled_width(look));
    look.oy = kept_centre(look.oy, window_height, old_scale, new_scale, scaled_height(look));
    pictra.key(step.key);
    ASSERT_TRUE(shows_look(look)) << step.title;
    // The title follows the drawing it belongs to.
    EXPECT_TRUE(pictra.wait_title(view_title(step.title))) << pictra.title();
  }
  // Smaller than the window: 1/2 is 300 x 225, centred, the rest black.
  pictra.key(XK_1);
  pictra.key(XK_minus);
  pictra.key(XK_minus);
  ASSERT_TRUE(pictra.wait_title(view_title(" 50%"))) << pictra.title();
  const WindowPixels half = pictra.pixels();
  for (int y = 0; y < window_height; ++y) {
    for (int x = 0; x < window_width; ++x) {
      const bool inside = x >= 50 && x < 350 && y >= 37 && y < 262;
      const bool black = half.at(x, y) == expected_pixel(pictra.display(), 0);
      ASSERT_NE(inside, black) << "at " << x << "," << y;
    }
  }
  pictra.key(XK_0);
  ASSERT_TRUE(pictra.wait_title(view_title())) << pictra.title();
  EXPECT_EQ(pictra.pixels().pixels, fitted.pixels);
  pictra.key(XK_Escape);
  ends();
}

// At actual size centred on the image's centre, every turn and mirror keeps that centre, so
// the origin is half the displayed size less half the window; what is shown is the image
// turned first and mirrored after.
TEST_F(Zoom, MirrorsCombineWithTurns) {
  Pictra& pictra = start();
  ASSERT_TRUE(pictra.wait_title(view_title())) << pictra.title();
  // At fit the mirror flips the fitted drawing in place.
  const WindowPixels fitted = pictra.pixels();
  pictra.key(XK_bar);
  // Below 24 bits the dithering runs over the flipped drawing anew: colours within tolerance.
  std::vector<int> flipped(fitted.pixels.size());
  for (int y = 0; y < window_height; ++y) {
    for (int x = 0; x < window_width; ++x)
      flipped[y * window_width + x] =
          pixel_to_rgb(pictra.display(), fitted.at(window_width - 1 - x, y));
  }
  EXPECT_TRUE(shows(pictra, window_width, window_height, flipped));
  pictra.key(XK_bar);
  pictra.key(XK_1);
  struct Step {
    KeySym key;
    int turn;
    bool mirror_x, mirror_y;
  };
  const Step steps[] = {
      {XK_bar, 0, true, false},         {XK_Right, 1, true, false}, {XK_underscore, 1, true, true},
      {XK_bar, 1, false, true},         {XK_Right, 2, false, true}, {XK_Right, 3, false, true},
      {XK_underscore, 3, false, false}, {XK_bar, 3, true, false},   {XK_Left, 2, true, false},
  };
  for (const Step& step : steps) {
    pictra.key(step.key);
    Look look{.turn = step.turn, .mirror_x = step.mirror_x, .mirror_y = step.mirror_y};
    look.ox = scaled_width(look) / 2 - window_width / 2;
    look.oy = scaled_height(look) / 2 - window_height / 2;
    ASSERT_TRUE(shows_look(look)) << "turn " << step.turn << " mirrors " << step.mirror_x
                                  << step.mirror_y;
  }
  pictra.key(XK_Escape);
  ends();
}

// Waits until the window is width x height; each drawing changes the title, and the size is
// looked at again after a short while in any case.
bool reaches_size(Pictra& pictra, int width, int height) {
  const auto until = std::chrono::steady_clock::now() + default_deadline;
  for (;;) {
    const int changes = pictra.title_changes();
    const WindowPixels seen = pictra.pixels();
    if (static_cast<int>(seen.width) == width && static_cast<int>(seen.height) == height) {
      return true;
    }
    if (std::chrono::steady_clock::now() >= until) return false;
    pictra.wait_title_changes(changes + 1, look_again);
  }
}

// The size the geometry file keeps (a window manager may have moved the window meanwhile). The
// file is rewritten on leaving fullscreen, before the redraw that sets the title: a read may
// meet it half-written, so it is read again after each drawing until the deadline.
bool keeps_window_size(Pictra& pictra, const std::string& rc) {
  const auto until = std::chrono::steady_clock::now() + default_deadline;
  for (;;) {
    const int changes = pictra.title_changes();
    if (read_file(rc).find("width=400\nheight=300\n") != std::string::npos) return true;
    if (std::chrono::steady_clock::now() >= until) return false;
    pictra.wait_title_changes(changes + 1, look_again);
  }
}

// "f" covers the screen and comes back, in the view (redrawn fitted to and centred on the
// screen) and in the grid, and the geometry file keeps the window's own size throughout.
void check_fullscreen(Pictra& view, const RgbImage& image, const std::string& rc) {
  Display* display = view.display();
  const int screen_width = DisplayWidth(display, DefaultScreen(display));
  const int screen_height = DisplayHeight(display, DefaultScreen(display));
  view.key(XK_f);
  // 600 x 450 fitted into the screen and enlarged.
  const bool width_decides = screen_width * image_height <= screen_height * image_width;
  Look fit = width_decides ? Look{.num = screen_width, .den = image_width}
                           : Look{.num = screen_height, .den = image_height};
  // Centred on the screen.
  fit.ox = -((screen_width - scaled_width(fit)) / 2);
  fit.oy = -((screen_height - scaled_height(fit)) / 2);
  EXPECT_TRUE(shows(view, screen_width, screen_height,
                    expected_view(image, fit, screen_width, screen_height)));
  EXPECT_TRUE(keeps_window_size(view, rc)) << read_file(rc);
  view.key(XK_f);
  EXPECT_TRUE(reaches_size(view, window_width, window_height));
  EXPECT_TRUE(keeps_window_size(view, rc)) << read_file(rc);
}

// The grid lays itself out for the screen and back.
void check_grid_fullscreen(Pictra& grid, const std::string& rc) {
  Display* display = grid.display();
  grid.key(XK_f);
  EXPECT_TRUE(reaches_size(grid, DisplayWidth(display, DefaultScreen(display)),
                           DisplayHeight(display, DefaultScreen(display))));
  EXPECT_TRUE(keeps_window_size(grid, rc)) << read_file(rc);
  grid.key(XK_f);
  EXPECT_TRUE(reaches_size(grid, window_width, window_height));
  EXPECT_TRUE(keeps_window_size(grid, rc)) << read_file(rc);
}

TEST_F(Zoom, FullscreenWithoutAWindowManager) {
  Pictra& pictra = start();
  ASSERT_TRUE(pictra.wait_title(view_title())) << pictra.title();
  check_fullscreen(pictra, image_, home_.file(".pictrarc"));
  pictra.key(XK_Escape);
  ends();
  Pictra& grid = start({});
  check_grid_fullscreen(grid, home_.file(".pictrarc"));
  grid.key(XK_Escape);
  ends();
}

// The manager starts after the window is up, so the driver finds pictra's window before any
// of the manager's, and the switch waits until the manager has framed the window.
TEST_F(Zoom, FullscreenThroughAWindowManager) {
  if (!have_openbox()) GTEST_SKIP() << "no openbox";
  Pictra& pictra = start();
  ASSERT_TRUE(pictra.wait_title(view_title())) << pictra.title();
  WindowManager manager;
  ASSERT_TRUE(manager.ready());
  ASSERT_TRUE(framed(pictra));
  check_fullscreen(pictra, image_, home_.file(".pictrarc"));
  pictra.key(XK_Escape);
  ends();
}

}  // namespace
