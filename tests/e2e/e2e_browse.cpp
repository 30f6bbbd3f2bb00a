// The browser end to end: the real binary in a directory of generated images, driven by real
// key presses and clicks; the page and the selection are read back from the window's pixels.
#include <gtest/gtest.h>  // before the X headers, whose macros clash with it

#include <X11/keysym.h>
#include <sys/wait.h>

#include <csignal>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "support/bmp_file.h"
#include "support/driver.h"
#include "support/geometry.h"
#include "support/tempdir.h"

namespace {

using namespace pictra_test;

constexpr int window_width = 600;
constexpr int window_height = 500;
constexpr int label_band = 20;
constexpr int max_images = 64;
// The area of a thumbnail whose mean colour names its image, and how far that mean may be from
// the image's colour: the dither's error left inside the area is a few units at most.
constexpr unsigned probe_side = 16;
constexpr double mean_tolerance = 8;

struct Level {
  int rows, cols;
};
constexpr Level level1{3, 4};
constexpr Level level2{5, 6};

// A BMP file of one colour.
std::string solid_bmp(int width, int height, int rgb) {
  return bmp24(RgbImage{width, height, std::vector<int>(width * height, rgb)});
}

// Image n's colour: distinct on every visual, the 8-bit colour cube included, and never black
// (which is what directories and empty cells show).
int colour_of(int n) {
  const int i = n + 1;
  constexpr int level = 51;
  return ((i / 36) % 6 * level) << 16 | ((i / 6) % 6 * level) << 8 | (i % 6) * level;
}

std::string image_name(int n) {
  char name[16];
  std::snprintf(name, sizeof name, "%02d.bmp", n);
  return name;
}

// What the window shows: for each cell the number of the image in it (-1 for none), and the
// selected cell (the one with the white label bar).
struct Page {
  std::vector<int> images;
  int selected = -1;
};

class Browser {
 public:
  explicit Browser(int images) {
    home_.write(".pictrarc", geometry_file(window_width, window_height));
    for (int n = 0; n < images; ++n)
      dir_.write(image_name(n), solid_bmp(8, 8, colour_of(n)));
  }

  const TempDir& dir() const { return dir_; }
  const TempDir& home() const { return home_; }

  Pictra& start() {
    pictra_ = std::make_unique<Pictra>(PictraOptions{home_.path(), dir_.path(), {}, {}, false});
    EXPECT_TRUE(pictra_->wait_title(std::string("pictra-0.31 - ") + dir_.path()));
    changes_ = pictra_->title_changes();
    return *pictra_;
  }
  Pictra& pictra() { return *pictra_; }

  // Waits for the one redraw that an action brings (every redraw ends by setting the title).
  void await_redraw() { ASSERT_TRUE(pictra_->wait_title_changes(++changes_)); }
  void press(KeySym key) {
    pictra_->key(key);
    await_redraw();
  }
  void click(int x, int y, unsigned button = Button1) {
    pictra_->click(x, y, button);
    await_redraw();
  }
  std::string title() { return pictra_->title(); }
  std::string grid_title(const std::string& sub = "") {
    return "pictra-0.31 - " + dir_.path() + sub;
  }

  Page page(Level level) {
    const WindowPixels pixels = pictra_->pixels();
    const int cell_width = window_width / level.cols;
    const int thumb_height = (window_height - level.rows * label_band) / level.rows;
    const std::uint32_t white = expected_pixel(pictra_->display(), 0xffffff);
    Page page;
    for (int r = 0; r < level.rows; ++r) {
      for (int c = 0; c < level.cols; ++c) {
        const int x = c * cell_width, y = r * (thumb_height + label_band);
        page.images.push_back(image_shown(pixels, x + 2, y + 2));
        // The right end of the bar, clear of the name.
        if (pixels.at(x + cell_width - 3, y + thumb_height + 2) == white) {
          page.selected = r * level.cols + c;
        }
      }
    }
    return page;
  }

  // The image whose colour the area at x, y of a thumbnail shows on average (dithered below 8
  // bits per channel; the colours are at least a cube step apart), -1 for none.
  int image_shown(const WindowPixels& pixels, int x, int y) {
    const MeanColour mean = area_mean(pictra_->display(), pixels, static_cast<unsigned>(x),
                                      static_cast<unsigned>(y), probe_side, probe_side);
    for (int n = 0; n < max_images; ++n) {
      if (mean.distance(colour_of(n)) <= mean_tolerance) return n;
    }
    return -1;
  }

  // Cell centre in window coordinates.
  static std::pair<int, int> cell_centre(Level level, int cell) {
    const int cell_width = window_width / level.cols;
    const int cell_height = (window_height - level.rows * label_band) / level.rows + label_band;
    return {(cell % level.cols) * cell_width + cell_width / 2,
            (cell / level.cols) * cell_height + cell_height / 2};
  }

 private:
  TempDir home_;
  TempDir dir_;
  int changes_ = 0;
  std::unique_ptr<Pictra> pictra_;
};

// The list of n images in a directory is "/..", 00.bmp, 01.bmp, ...: cell k of a page starting
// at list entry t shows image t + k - 1.
std::vector<int> expected_page(int first_entry, int entries, int cells) {
  std::vector<int> images;
  for (int k = 0; k < cells; ++k) {
    const int entry = first_entry + k;
    images.push_back(entry >= 1 && entry < entries ? entry - 1 : -1);
  }
  return images;
}

TEST(Browse, CursorPageHomeEndAndSizeKeysMoveSelectionAndPage) {
  constexpr int images = 40;
  constexpr int entries = images + 1;  // with "/.."
  Browser browser(images);
  browser.start();

  struct Step {
    const char* what;
    KeySym key;
    Level level;
    int first_entry;
    int selected;
    bool shift = false;
  };
  // "+" comes as Shift and the "=" key, as on a US keyboard, and on a key of its own; both it
  // and "=" enlarge, "-" shrinks with or without Shift.
  const Step steps[] = {
      {"Right", XK_Right, level2, 0, 1},
      {"Down", XK_Down, level2, 0, 7},
      {"Page down", XK_Next, level2, 12, 28},
      {"Home", XK_Home, level2, 0, 0},
      {"End", XK_End, level2, 11, 29},
      {"Page up", XK_Prior, level2, 0, 0},
      {"keypad 6", XK_KP_6, level2, 0, 1},
      {"keypad plus: larger cells", XK_KP_Add, level1, 0, 1},
      {"minus: back", XK_minus, level2, 0, 1},
      {"equal", XK_equal, level1, 0, 1},
      {"keypad minus", XK_KP_Subtract, level2, 0, 1},
      {"Shift and equal: plus", XK_equal, level1, 0, 1, true},
      {"Shift and minus", XK_minus, level2, 0, 1, true},
      {"plus on a key of its own", XK_plus, level1, 0, 1},
      {"minus again", XK_minus, level2, 0, 1},
      {"Left", XK_Left, level2, 0, 0},
  };
  for (const Step& step : steps) {
    browser.pictra().key(step.key, step.shift);
    browser.await_redraw();
    const Page page = browser.page(step.level);
    const int cells = step.level.rows * step.level.cols;
    EXPECT_EQ(page.images, expected_page(step.first_entry, entries, cells)) << step.what;
    EXPECT_EQ(page.selected, step.selected) << step.what;
  }
}

TEST(Browse, ActivationEntersDirectoriesAndStepsThroughImages) {
  Browser browser(4);
  browser.dir().mkdir("sub");
  browser.dir().write("sub/s0.bmp", solid_bmp(4, 4, 0xff0000));
  browser.start();
  const std::string here = browser.grid_title();

  // Return on /sub (cell 1), then BackSpace back.
  browser.press(XK_Right);
  browser.press(XK_Return);
  EXPECT_EQ(browser.title(), browser.grid_title("/sub"));
  browser.press(XK_BackSpace);
  EXPECT_EQ(browser.title(), here);

  // A click on /sub, then the middle button back to the parent.
  auto [sub_x, sub_y] = Browser::cell_centre(level2, 1);
  browser.click(sub_x, sub_y);
  EXPECT_EQ(browser.title(), browser.grid_title("/sub"));
  browser.click(sub_x, sub_y, Button2);
  EXPECT_EQ(browser.title(), here);

  // List: "/..", "/sub", 00.bmp ... 03.bmp. A click on 01.bmp (cell 3) views it; Down and Up
  // step through the neighbours, staying put at the last image and before the directories.
  auto [image_x, image_y] = Browser::cell_centre(level2, 3);
  browser.click(image_x, image_y);
  EXPECT_EQ(browser.title(), "pictra-0.31 - 01.bmp (8x8)");
  const struct {
    KeySym key;
    const char* title;
  } steps[] = {{XK_Down, "02.bmp"}, {XK_KP_2, "03.bmp"}, {XK_Down, "03.bmp"}, {XK_Up, "02.bmp"},
               {XK_Up, "01.bmp"},   {XK_KP_8, "00.bmp"}, {XK_Up, "00.bmp"}};
  std::string shown = "01.bmp";
  for (const auto& step : steps) {
    // A step that stays on the image shown draws nothing new.
    if (shown == step.title) {
      browser.pictra().key(step.key);
    } else {
      browser.press(step.key);
    }
    shown = step.title;
    EXPECT_EQ(browser.title(), std::string("pictra-0.31 - ") + step.title + " (8x8)");
  }
  // Leaving the view returns to the grid with the last image shown selected.
  browser.press(XK_Escape);
  EXPECT_EQ(browser.title(), here);
  EXPECT_EQ(browser.page(level2).selected, 2);
}

TEST(Browse, DownInTheViewAtTheLastCellScrollsThePage) {
  constexpr int images = 40;
  Browser browser(images);
  browser.start();
  browser.press(XK_End);
  browser.press(XK_Home);
  for (int i = 0; i < 4; ++i)
    browser.press(XK_Down);
  for (int i = 0; i < 5; ++i)
    browser.press(XK_Right);
  ASSERT_EQ(browser.page(level2).selected, 29);
  browser.press(XK_Return);
  EXPECT_EQ(browser.title(), "pictra-0.31 - 28.bmp (8x8)");
  browser.press(XK_Down);
  EXPECT_EQ(browser.title(), "pictra-0.31 - 29.bmp (8x8)");
  browser.press(XK_Return);  // any other key leaves the view
  const Page page = browser.page(level2);
  EXPECT_EQ(page.images, expected_page(1, images + 1, 30));
  EXPECT_EQ(page.selected, 29);
}

TEST(Browse, RescanAndHelp) {
  Browser browser(2);
  browser.start();
  browser.dir().write("05.bmp", solid_bmp(8, 8, colour_of(5)));
  browser.press(XK_r);
  EXPECT_EQ(browser.page(level2).images[3], 5);

  browser.press(XK_h);
  EXPECT_EQ(browser.title(), "pictra-0.31 - Help");
  // Any key ends the help without its usual meaning: q does not quit here.
  browser.press(XK_q);
  EXPECT_EQ(browser.title(), browser.grid_title());
  browser.press(XK_h);
  browser.click(10, 10);  // and a click activates nothing
  EXPECT_EQ(browser.title(), browser.grid_title());
  EXPECT_FALSE(browser.pictra().wait_exit(0ms));
}

TEST(Browse, QuitKeysEndWithStatusZero) {
  for (bool shift : {false, true}) {
    for (KeySym key : {XK_q, XK_Escape}) {
      Browser browser(1);
      browser.start();
      browser.pictra().key(key, shift);
      const auto status = browser.pictra().wait_exit();
      ASSERT_TRUE(status) << "key " << key << " shift " << shift;
      EXPECT_EQ(exit_code(*status), 0);
    }
  }
}

TEST(Browse, ExposeBurstRedrawsOnce) {
  Browser browser(3);
  Pictra& pictra = browser.start();
  const int before = pictra.title_changes();
  for (int count : {3, 2, 1, 0})
    pictra.send_expose(count);
  // A neutral key afterwards redraws the labels once more; the events are handled in order, so
  // once its redraw is seen, the burst's redraws are all counted.
  pictra.key(XK_a);
  ASSERT_TRUE(pictra.wait_title_changes(before + 2));
  pictra.key(XK_a);
  ASSERT_TRUE(pictra.wait_title_changes(before + 3));
  EXPECT_EQ(pictra.title_changes(), before + 3);
}

TEST(Browse, ResizeLaysOutAnewAndIsSaved) {
  Browser browser(3);
  Pictra& pictra = browser.start();
  pictra.resize(360, 240);
  browser.await_redraw();
  // Two columns less wide: cell 1 (image 00) now starts at x = 60. The resize's exposure may
  // cut the first pass short; the next one puts the cell.
  for (int redraws = 0; browser.image_shown(pictra.pixels(), 62, 2) != 0 && redraws < 3; ++redraws)
    browser.await_redraw();
  EXPECT_EQ(browser.image_shown(pictra.pixels(), 62, 2), 0);
  // Saved once the geometry has stayed for a second, at the latest when the program ends.
  pictra.key(XK_q);
  ASSERT_TRUE(pictra.wait_exit().has_value());
  EXPECT_EQ(read_file(browser.home().file(".pictrarc")), geometry_file(360, 240));
}

TEST(Browse, DestroyedWindowEndsWithStatusZero) {
  Browser browser(1);
  Pictra& pictra = browser.start();
  pictra.destroy_window();
  const auto status = pictra.wait_exit();
  ASSERT_TRUE(status);
  EXPECT_EQ(exit_code(*status), 0) << pictra.stdout_text() << pictra.stderr_text();
}

}  // namespace
