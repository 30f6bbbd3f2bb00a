// The image view end to end: `pictra FILE` on a generated BMP in a 400 x 300 window, driven by
// real key presses, clicks and window events. What the window shows is compared pixel by pixel
// with the fit, the bilinear mixes and the quarter turns worked out here from their definitions.
// The image is enlarged, so the drawing follows the bilinear rule exactly.
#include <gtest/gtest.h>  // before the X headers, whose macros clash with it

#include <X11/keysym.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "support/bmp_file.h"
#include "support/driver.h"
#include "support/geometry.h"
#include "support/tempdir.h"

namespace {

using namespace pictra_test;

constexpr unsigned window_width = 400;
constexpr unsigned window_height = 300;
constexpr char image_name[] = "img.bmp";
constexpr char error_message[] = "Error while displaying image.\n";

std::string view_title(const RgbImage& image) {
  return std::string("pictra-0.31 - ") + image_name + " (" + std::to_string(image.width) + "x" +
         std::to_string(image.height) + ")";
}

// Colours that change from pixel to pixel in all three channels, so that every mix and every
// misplaced pixel shows.
RgbImage test_image(int width, int height) {
  RgbImage image;
  image.width = width;
  image.height = height;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const int r = (x * 5 + y * 3 + 40) & 0xff;
      const int g = (x * x + y * 7) & 0xff;
      const int b = (x * y * 13 + 17) & 0xff;
      image.pixels.push_back(r << 16 | g << 8 | b);
    }
  }
  return image;
}

// --- The view's pixels, from the definitions -------------------------------------------------

int round_half_up(double v) {
  if (v < 0.5) return 0;
  if (v >= 254.5) return 255;
  return static_cast<int>(std::floor(v + 0.5));
}

int mix(int a, int b, double wb) {
  int out = 0;
  for (int shift = 16; shift >= 0; shift -= 8) {
    const double v = ((a >> shift) & 0xff) * (1.0 - wb) + ((b >> shift) & 0xff) * wb;
    out |= round_half_up(v) << shift;
  }
  return out;
}

// The last row and column repeat past the edge.
int bilinear(const RgbImage& image, double x, double y) {
  const int x0 = static_cast<int>(x), y0 = static_cast<int>(y);
  const int x1 = std::min(x0 + 1, image.width - 1), y1 = std::min(y0 + 1, image.height - 1);
  const double fx = x - x0, fy = y - y0;
  const int left = mix(image.at(x0, y0), image.at(x0, y1), fy);
  const int right = mix(image.at(x1, y0), image.at(x1, y1), fy);
  return mix(left, right, fx);
}

// RGB value of every pixel of a width x height window showing image at rotation: the image
// enlarged into the box seen from the image's side, turned with the box, and centred in the
// window (the odd pixel of a border left or above).
std::vector<int> expected_view(const RgbImage& image, unsigned width, unsigned height,
                               int rotation) {
  const int turn = rotation & 3;
  const std::uint64_t bw = turn % 2 ? height : width, bh = turn % 2 ? width : height;
  const std::uint64_t iw = image.width, ih = image.height;
  std::uint64_t dw = bw, dh = bh;
  if (double(iw) / double(ih) > double(bw) / double(bh)) {
    dh = ih * bw / iw;
  } else {
    dw = iw * bh / ih;
  }
  std::vector<int> out(static_cast<std::size_t>(width) * height, 0);
  if (dw == 0 || dh == 0) return out;
  // The drawing as the window shows it, and where it starts.
  const std::uint64_t shown_w = turn % 2 ? dh : dw, shown_h = turn % 2 ? dw : dh;
  const std::uint64_t left = (width - shown_w) / 2, top = (height - shown_h) / 2;
  const double x_step = double(iw) / double(dw), y_step = double(ih) / double(dh);
  for (std::uint64_t y = top; y < top + shown_h; ++y) {
    for (std::uint64_t x = left; x < left + shown_w; ++x) {
      // (j, k): the pixel of the upright drawing that this window pixel shows.
      const std::uint64_t u = x - left, v = y - top;
      const std::uint64_t j = turn == 0 ? u : turn == 1 ? v : turn == 2 ? dw - 1 - u : dw - 1 - v;
      const std::uint64_t k = turn == 0 ? v : turn == 1 ? dh - 1 - u : turn == 2 ? dh - 1 - v : u;
      out[static_cast<std::size_t>(y) * width + x] = bilinear(image, j * x_step, k * y_step);
    }
  }
  return out;
}

// Exact at 24 bits; below, each pixel within what the dither may make of it.
::testing::AssertionResult shows(Pictra& pictra, unsigned width, unsigned height,
                                 const std::vector<int>& expected) {
  return pictra_test::shows(pictra, width, height, expected, within_dither);
}

// One run of `pictra img.bmp` in a fresh HOME whose geometry file asks for a 400 x 300 window
// at the origin.
class View : public ::testing::Test {
 protected:
  View() : image_(test_image(100, 50)) {
    home_.write(".pictrarc", geometry_file(window_width, window_height));
    write_image(image_);
  }

  void write_image(const RgbImage& image, const char* name = image_name) {
    // Written beside and renamed, so that a redraw never meets half a file.
    const std::string part = dir_.write("next.part", bmp24(image));
    ASSERT_EQ(std::rename(part.c_str(), dir_.file(name).c_str()), 0);
  }

  Pictra& start(const char* name = image_name) {
    pictra_ = std::make_unique<Pictra>(
        PictraOptions{.home = home_.path(), .cwd = dir_.path(), .args = {name}, .setenv = {}});
    pictra_->window();
    return *pictra_;
  }

  // Ends the run with status expected and returns what it printed.
  std::string ended(Pictra& pictra, int expected = 0) {
    const auto status = pictra.wait_exit();
    EXPECT_TRUE(status.has_value()) << "pictra did not end";
    if (status) {
      EXPECT_EQ(exit_code(*status), expected) << pictra.stderr_text();
    }
    return pictra.stdout_text();
  }

  ::testing::AssertionResult shows_turn(Pictra& pictra, int rotation) {
    return shows(pictra, window_width, window_height,
                 expected_view(image_, window_width, window_height, rotation));
  }

  TempDir home_;
  TempDir dir_;
  RgbImage image_;
  std::unique_ptr<Pictra> pictra_;
};

TEST_F(View, DrawsFittedSmoothedAndTurnedPixelExact) {
  Pictra& pictra = start();
  ASSERT_TRUE(pictra.wait_title(view_title(image_))) << pictra.title();
  EXPECT_TRUE(shows_turn(pictra, 0)) << "unrotated";
  struct Step {
    KeySym key;
    int rotation;
  };
  const Step steps[] = {{XK_Left, -1}, {XK_Right, 0}, {XK_Right, 1}, {XK_Right, 2},
                        {XK_Right, 3}, {XK_KP_6, 4},  {XK_KP_4, 3}};
  for (const Step& step : steps) {
    pictra.key(step.key);
    EXPECT_TRUE(shows_turn(pictra, step.rotation)) << "rotation " << step.rotation;
  }
  EXPECT_EQ(pictra.title(), view_title(image_));
  pictra.key(XK_Escape);
  EXPECT_EQ(ended(pictra), "");
}

TEST_F(View, ImageTooWideForAnyRowIsABlackWindowWithItsSize) {
  // 1 x 400 / 1000 rounds down to no rows at all.
  image_ = test_image(1000, 1);
  write_image(image_);
  Pictra& pictra = start();
  ASSERT_TRUE(pictra.wait_title(view_title(image_))) << pictra.title();
  EXPECT_TRUE(shows_turn(pictra, 0));
}

// The keys that leave the view end the command-line run, as do a button and the window
// destroyed from outside (which must not leave the view waiting for events that never come).
TEST_F(View, KeysButtonsAndADestroyedWindowEndTheCommandLineView) {
  enum Act { press, click, destroy };
  struct Way {
    Act act;
    KeySym key;
    const char* what;
  };
  const Way ways[] = {{press, XK_q, "q"},           {press, XK_Escape, "Escape"},
                      {press, XK_Return, "Return"}, {press, XK_r, "any other key"},
                      {click, 0, "button 1"},       {destroy, 0, "window destroyed"}};
  for (const Way& way : ways) {
    SCOPED_TRACE(way.what);
    Pictra& pictra = start();
    ASSERT_TRUE(pictra.wait_title(view_title(image_))) << pictra.title();
    switch (way.act) {
      case press:
        pictra.key(way.key);
        break;
      case click:
        pictra.click(10, 10);
        break;
      case destroy:
        // Only once no redraw is due: a window destroyed under a draw is an X error.
        pictra.key(XK_Left);
        ASSERT_TRUE(shows_turn(pictra, -1));
        pictra.destroy_window();
        break;
    }
    EXPECT_EQ(ended(pictra), "");
  }
}

// Left is pressed and its turn awaited first: events the server generated by itself (the
// exposure at mapping) come before any the test sends, so once the turn shows, only the test's
// own events are left in the program's queue.
TEST_F(View, ExposuresRepaintTheKeptDrawing) {
  Pictra& pictra = start();
  pictra.key(XK_Left);
  ASSERT_TRUE(shows_turn(pictra, -1));
  const int before = pictra.title_changes();
  pictra.fill_window(0x00ff00);
  for (int count : {3, 2, 1, 0})
    pictra.send_expose(count);
  EXPECT_TRUE(shows_turn(pictra, -1));
  // A repaint is no new drawing: the title, set by every drawing, stays.
  EXPECT_EQ(pictra.title_changes(), before);
  pictra.key(XK_Escape);
  EXPECT_EQ(ended(pictra), "");
}

// The shown image is decoded once: with the file gone, exposures repaint and turns draw from
// what the view keeps.
TEST_F(View, ExposuresAndTurnsReadNoFile) {
  Pictra& pictra = start();
  ASSERT_TRUE(shows_turn(pictra, 0));
  ASSERT_EQ(std::remove(dir_.file(image_name).c_str()), 0);
  pictra.fill_window(0xff0000);
  pictra.send_expose(0);
  EXPECT_TRUE(shows_turn(pictra, 0)) << "exposure";
  for (int rotation : {1, 2}) {
    pictra.key(XK_Right);
    EXPECT_TRUE(shows_turn(pictra, rotation)) << "rotation " << rotation;
  }
  pictra.key(XK_Escape);
  EXPECT_EQ(ended(pictra), "");
}

TEST_F(View, ResizeRedrawsAtTheNewSizeAndIsSaved) {
  Pictra& pictra = start();
  ASSERT_TRUE(shows_turn(pictra, 0));
  constexpr unsigned width = 240, height = 320;
  pictra.resize(width, height);
  EXPECT_TRUE(shows(pictra, width, height, expected_view(image_, width, height, 0)));
  pictra.key(XK_Right);
  EXPECT_TRUE(shows(pictra, width, height, expected_view(image_, width, height, 1)));
  // Saved once the geometry has stayed for a second, at the latest when the program ends.
  pictra.key(XK_q);
  EXPECT_EQ(ended(pictra), "");
  EXPECT_EQ(read_file(home_.file(".pictrarc")), geometry_file(width, height));
}

// The command-line start renders once: the mapping's exposure repaints the drawing, and the
// only other render is the turn.
TEST_F(View, CommandLineStartDrawsOnce) {
  Pictra& pictra = start();
  ASSERT_TRUE(shows_turn(pictra, 0));
  // Once the title is the image's, the drawing's title change has been made; a sync brings
  // its notice to the test.
  ASSERT_TRUE(pictra.wait_title(view_title(image_)));
  XSync(pictra.display(), False);
  const int first_drawing = pictra.title_changes();
  pictra.key(XK_Right);
  ASSERT_TRUE(shows_turn(pictra, 1));
  pictra.key(XK_Escape);
  EXPECT_EQ(ended(pictra), "");
  // Every title change reaches the test before the window is gone: only the turn's came since.
  EXPECT_EQ(pictra.title_changes(), first_drawing + 1);
}

// `pictra FILE` steps through the images of FILE's directory with the stepping keys, in list
// order, skipping the subdirectory and staying put at either end; quick bursts end on the
// entry they select and nothing else shows after it.
TEST_F(View, SteppingKeysWalkTheFolderOfTheFile) {
  ASSERT_EQ(std::remove(dir_.file(image_name).c_str()), 0);
  const char* names[] = {"a.bmp", "b.bmp", "c.bmp", "d.bmp"};
  std::vector<RgbImage> images;
  for (int i = 0; i < 4; ++i) {
    images.push_back(test_image(100 + 10 * i, 50));
    write_image(images.back(), names[i]);
  }
  dir_.mkdir("sub");
  auto title = [&](int i) {
    return std::string("pictra-0.31 - ") + names[i] + " (" + std::to_string(images[i].width) +
           "x50)";
  };
  Pictra& pictra = start("b.bmp");
  ASSERT_TRUE(pictra.wait_title(title(1))) << pictra.title();
  struct Step {
    KeySym key;
    int shown;
  };
  const Step steps[] = {{XK_Down, 2},  {XK_space, 3},     {XK_Next, 3}, {XK_Up, 2},
                        {XK_Prior, 1}, {XK_BackSpace, 0}, {XK_Up, 0},   {XK_KP_2, 1}};
  for (const Step& step : steps) {
    pictra.key(step.key);
    ASSERT_TRUE(pictra.wait_title(title(step.shown)))
        << XKeysymToString(step.key) << ": " << pictra.title();
  }
  // From b, each round runs into the end and back: b c d d c d c, then c d d d c d c.
  for (int i = 0; i < 2; ++i) {
    for (KeySym key : {XK_Down, XK_Down, XK_Down, XK_Up, XK_Down, XK_Up})
      pictra.key(key);
  }
  // The turn comes after the whole burst, so once it shows, the burst is over.
  pictra.key(XK_Left);
  EXPECT_TRUE(shows(pictra, window_width, window_height,
                    expected_view(images[2], window_width, window_height, -1)));
  EXPECT_EQ(pictra.title(), title(2));
  pictra.key(XK_Escape);
  EXPECT_EQ(ended(pictra), "");
}

// Contents decide over names, so the file's bytes as well as its name must show no format.
TEST_F(View, FileOfNoFormatPrintsTheMessage) {
  dir_.write("img.xyz", "no image format begins like this");
  Pictra& pictra = start("img.xyz");
  EXPECT_EQ(ended(pictra, 1), error_message);
}

}  // namespace

// A fit that comes out at exactly 1:1 shows the decoded pixels unchanged. A tiny JPEG with
// strong chroma in a window of its own size was decoded at 7/8 (whose output is rounded up to
// the same 4 x 4) and came out up to 30 levels away; djpeg's full decode is the reference.
TEST(ViewJpeg, AFitAtOneToOneShowsTheDecodedPixels) {
  if (test_depth() != 24) GTEST_SKIP() << "an exact comparison needs 8 bits a channel";
  constexpr unsigned side = 4;
  TempDir home, dir;
  home.write(".pictrarc", geometry_file(side, side));
  std::string ppm = "P6\n4 4\n255\n";
  const int colours[] = {0x20 << 16 | 0xb3, 0x74 << 16 | 0x07 << 8 | 0x64, 0xf0 << 16 | 0x27 << 8,
                         0xff << 16 | 0x62 << 8 | 0x20};
  for (unsigned y = 0; y < side; ++y) {
    for (unsigned x = 0; x < side; ++x) {
      const int rgb = colours[(x + y) % 4];
      ppm += {char(rgb >> 16), char(rgb >> 8 & 0xff), char(rgb & 0xff)};
    }
  }
  const std::string source = dir.write("tiny.ppm", ppm);
  const std::string jpeg = dir.file("tiny.jpg");
  ASSERT_EQ(command_output("cjpeg -quality 90 '" + source + "' > '" + jpeg + "' && echo ok"),
            "ok\n");
  const std::string decoded = command_output("djpeg -pnm '" + jpeg + "'");
  const std::string header = "P6\n4 4\n255\n";
  ASSERT_EQ(decoded.substr(0, header.size()), header);
  std::vector<int> expected;
  for (std::size_t at = header.size(); at + 2 < decoded.size(); at += 3) {
    const auto byte = [&](std::size_t i) { return int(static_cast<unsigned char>(decoded[i])); };
    expected.push_back(byte(at) << 16 | byte(at + 1) << 8 | byte(at + 2));
  }
  ASSERT_EQ(expected.size(), std::size_t{side * side});
  Pictra pictra({.home = home.path(), .cwd = dir.path(), .args = {"tiny.jpg"}, .setenv = {}});
  pictra.window();
  EXPECT_TRUE(pictra_test::shows(pictra, side, side, expected,
                                 [](Display* display, std::uint32_t pixel, int rgb) {
                                   return pixel_to_rgb(display, pixel) == rgb;
                                 }));
  pictra.key(XK_q);
  EXPECT_TRUE(pictra.wait_exit().has_value());
}
