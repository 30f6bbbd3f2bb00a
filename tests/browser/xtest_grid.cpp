// The thumbnail grid on a real window over a real directory of BMP files: the cell geometry,
// every pixel of the drawn cells, the thumbnail cache and the pass cut short by a waiting key.
#include <gtest/gtest.h>  // before the X headers, whose macros clash with it

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "browser/browser.h"
#include "filelist/filelist.h"
#include "formats/formats.h"
#include "main/state.h"
#include "support/bmp_file.h"
#include "support/tempdir.h"
#include "support/xpixels.h"
#include "xsupport/xsupport.h"

namespace {

using namespace pictra_test;

constexpr int rgb_black = 0x000000;
constexpr int rgb_white = 0xffffff;
constexpr int rgb_green = 0x00ff00;
constexpr int rgb_cyan = 0x00ffff;
constexpr int rgb_gray = 0x808080;  // what the window shows before a pass

// The worked example: a 1000 x 700 window at level 2 has cells of 166 x (120 + 20).
constexpr int window_width = 1000;
constexpr int window_height = 700;
constexpr unsigned char example_level = 2;
constexpr std::uint32_t cell_width = 166;
constexpr std::uint32_t thumb_height = 120;
constexpr std::uint32_t cell_height = thumb_height + 20;
constexpr std::uint32_t columns = 6;
constexpr std::uint32_t cells = 30;

// The colour of source pixel (x, y) of every test image.
int source_rgb(int x, int y) {
  return ((x * 37) & 0xff) << 16 | ((y * 59) & 0xff) << 8 | ((x * 11 + y * 23) & 0xff);
}

// A BMP file of source_rgb.
std::string bmp24(int width, int height) {
  pictra_test::RgbImage image{width, height, {}};
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x)
      image.pixels.push_back(source_rgb(x, y));
  }
  return pictra_test::bmp24(image);
}

// The test images and the size each must be scaled to in a 166 x 120 picture area.
struct TestImage {
  const char* name;
  int width;
  int height;
  std::uint64_t scaled_width;
  std::uint64_t scaled_height;
};
constexpr TestImage images[] = {
    {"a.bmp", 400, 100, 166, 41},  // wider than the area: 100 * 166 / 400 rows
    {"b.bmp", 83, 60, 166, 120},   // the area's own ratio
    {"c.bmp", 30, 200, 18, 120},   // taller than the area: 30 * 120 / 200 columns
    {"d.bmp", 2000, 1, 166, 0},    // its height scales to nothing: the cell stays black
    {"e.bmp", 3, 2, 166, 110},     // smaller than the area: enlarged, 2 * 166 / 3 rows
};
constexpr int image_count = sizeof images / sizeof images[0];
// The list is "/..", "/sub", then the images in name order.
constexpr std::uint32_t first_image_cell = 2;

// The BMP module's load, counted, with the size wish it was given.
int (*real_bmp_load)(const char*, const char*, std::uint32_t, std::uint32_t) = nullptr;
int bmp_loads = 0;
std::vector<std::string> loaded;  // "path [selector]" of every load
std::uint32_t wished_width = 0;
std::uint32_t wished_height = 0;
int counting_bmp_load(const char* path, const char* selector, std::uint32_t want_w,
                      std::uint32_t want_h) {
  ++bmp_loads;
  loaded.push_back(std::string(path) + " [" + (selector ? selector : "<none>") + "]");
  wished_width = want_w;
  wished_height = want_h;
  return real_bmp_load(path, selector, want_w, want_h);
}

// The BMP module's unload, counted, and its get_width, answering reported_width when set.
void (*real_bmp_unload)() = nullptr;
int bmp_unloads = 0;
void counting_bmp_unload() {
  ++bmp_unloads;
  real_bmp_unload();
}
std::int64_t (*real_bmp_get_width)() = nullptr;
std::int64_t reported_width = 0;
std::int64_t reporting_bmp_get_width() {
  return reported_width ? reported_width : real_bmp_get_width();
}

// Waits until an event of type for the window is queued, with a deadline; takes it off.
bool wait_for_event(int type) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  XEvent event;
  while (!XCheckTypedWindowEvent(state.display, state.window, type, &event)) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd fd{ConnectionNumber(state.display), POLLIN, 0};
    poll(&fd, 1, static_cast<int>(left.count()));
  }
  return true;
}

void fill_window(int rgb) {
  GC gc = XCreateGC(state.display, state.window, 0, nullptr);
  XSetForeground(state.display, gc, expected_pixel(state.display, rgb));
  XFillRectangle(state.display, state.window, gc, 0, 0, window_width, window_height);
  XFreeGC(state.display, gc);
}

WindowPixels window_pixels() {
  XSync(state.display, False);
  return read_window(state.display, state.window);
}

std::string window_title() {
  char* name = nullptr;
  XFetchName(state.display, state.window, &name);
  std::string title = name ? name : "<none>";
  XFree(name);
  return title;
}

// What one cell must show.
struct CellContent {
  const char* name = nullptr;  // none for a cell past the end of the list
  int name_rgb = rgb_black;
  bool selected = false;
  const TestImage* image = nullptr;  // none for a blank cell
};

// Compares every pixel of the cell with what it must show: the label bar (cell rows 121 to 130,
// one pixel short of the cell's width), the scaled image in the top-left corner, black around
// them. Inside the name's ink box a pixel may also be in the name's colour, and some must be.
void expect_cell(const WindowPixels& window, std::uint32_t index, const CellContent& cell) {
  SCOPED_TRACE("cell " + std::to_string(index) + (cell.name ? std::string(" ") + cell.name : ""));
  const std::uint32_t left = cell_width * (index % columns), top = cell_height * (index / columns);
  constexpr std::uint32_t bar_top = thumb_height + 1, bar_bottom = thumb_height + 10;
  constexpr int baseline = thumb_height + 10;
  XRectangle ink{}, logical{};
  if (cell.name) {
    XmbTextExtents(state.fontset, cell.name, static_cast<int>(std::strlen(cell.name)), &ink,
                   &logical);
  }
  const std::uint32_t name_pixel = expected_pixel(state.display, cell.name_rgb);
  int wrong = 0, text = 0;
  for (std::uint32_t y = 0; y < cell_height; ++y) {
    for (std::uint32_t x = 0; x < cell_width; ++x) {
      int rgb = rgb_black;
      if (y >= bar_top && y <= bar_bottom && x < cell_width - 1) {
        rgb = cell.selected ? rgb_white : rgb_black;
      } else if (cell.image && x < cell.image->scaled_width && y < cell.image->scaled_height) {
        rgb = source_rgb(static_cast<int>(x * cell.image->width / cell.image->scaled_width),
                         static_cast<int>(y * cell.image->height / cell.image->scaled_height));
      }
      const std::uint32_t want = expected_pixel(state.display, rgb);
      const std::uint32_t got = window.at(left + x, top + y);
      const int ix = static_cast<int>(x), iy = static_cast<int>(y) - baseline;
      const bool in_ink = cell.name && ix >= ink.x && ix < ink.x + ink.width && iy >= ink.y &&
                          iy < ink.y + ink.height;
      if (in_ink && got == name_pixel) {
        if (want != name_pixel) ++text;
      } else if (got != want && ++wrong <= 3) {
        ADD_FAILURE() << "pixel (" << x << ", " << y << ") is " << std::hex
                      << pixel_to_rgb(state.display, got) << ", want " << rgb;
      }
    }
  }
  EXPECT_EQ(wrong, 0);
  if (cell.name) {
    EXPECT_GT(text, 0) << "no pixel of the name in its colour";
  }
}

// Checks the whole page: "/..", "/sub", the five images, then empty cells.
void expect_page(const WindowPixels& window, std::uint32_t selected) {
  for (std::uint32_t i = 0; i < cells; ++i) {
    CellContent cell;
    cell.selected = i == selected;
    if (i < first_image_cell) {
      cell.name = i == 0 ? "/.." : "/sub";
      cell.name_rgb = rgb_green;
    } else if (i < first_image_cell + image_count) {
      cell.image = &images[i - first_image_cell];
      cell.name = cell.image->name;
      cell.name_rgb = rgb_cyan;
    }
    if (cell.selected) cell.name_rgb = rgb_black;
    expect_cell(window, i, cell);
  }
}

class Grid : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    init_formats();
    real_bmp_load = formats[format_bmp].load;
    formats[format_bmp].load = counting_bmp_load;
    real_bmp_unload = formats[format_bmp].unload;
    formats[format_bmp].unload = counting_bmp_unload;
    real_bmp_get_width = formats[format_bmp].get_width;
    formats[format_bmp].get_width = reporting_bmp_get_width;
    x_Init(nullptr);
    state.config = {0, 0, window_width, window_height};
    x_OpenWindow();
    ASSERT_TRUE(wait_for_event(Expose)) << "the window was never shown";
  }
  static void TearDownTestSuite() {
    x_FreePicture(state.blank_picture);
    state.blank_picture = nullptr;
    XDestroyWindow(state.display, state.window);
    x_Cleanup(0);
    formats[format_bmp].load = real_bmp_load;
    formats[format_bmp].unload = real_bmp_unload;
    formats[format_bmp].get_width = real_bmp_get_width;
  }

  void SetUp() override {
    ASSERT_NE(getcwd(start_dir, sizeof start_dir), nullptr);
    for (const TestImage& image : images)
      dir.write(image.name, bmp24(image.width, image.height));
    dir.mkdir("sub");
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    scan_dir();
    state.config.width = window_width;
    state.config.height = window_height;
    state.thumbsize = example_level;
    state.selected = first_image_cell;
    state.interrupted = 0;
    layout_grid();
    XSync(state.display, True);  // nothing left over in the queue to cut a pass short
    bmp_loads = 0;
    bmp_unloads = 0;
    loaded.clear();
    reported_width = 0;
  }
  void TearDown() override {
    ASSERT_EQ(chdir(start_dir), 0);
    clear_files(state.top);
  }

  char start_dir[PATH_MAX]{};
  TempDir dir;
};

TEST_F(Grid, LayoutFollowsWindowSizeAndLevel) {
  struct Case {
    const char* what;
    int width, height;
    unsigned char level;
    std::uint32_t cell_width, thumb_height;
    int visible;
  };
  const Case cases[] = {
      {"the worked example", 1000, 700, 2, 166, 120, 1},
      {"fewer, larger cells", 1000, 700, 1, 250, 213, 1},
      {"more, smaller cells", 1000, 700, 3, 111, 96, 1},
      {"a picture area of 10 rows is hidden", 1000, 154, 2, 166, 10, 0},
      {"one of 11 rows is shown", 1000, 155, 2, 166, 11, 1},
      {"no room for any picture", 1000, 100, 2, 166, 0, 0},
      {"lower still", 1000, 30, 2, 166, 0, 0},
      {"narrower than the columns", 5, 700, 2, 0, 120, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    set_file_thumb(state.top, first_image_cell,
                   x_CreatePicture(1, 1, static_cast<std::uint64_t>(state.bits_per_pixel)));
    state.config.width = c.width;
    state.config.height = c.height;
    state.thumbsize = c.level;
    layout_grid();
    EXPECT_EQ(state.cell_width, c.cell_width);
    EXPECT_EQ(state.thumb_height, c.thumb_height);
    EXPECT_EQ(state.grid_visible, c.visible);
    EXPECT_EQ(file_thumb_at(state.top, first_image_cell), nullptr) << "thumbnail kept";

    const Picture* blank = state.blank_picture;
    ASSERT_NE(blank, nullptr);
    EXPECT_EQ(blank->width, c.cell_width);
    EXPECT_EQ(blank->height, c.thumb_height + 20);
    EXPECT_EQ(blank->depth, static_cast<std::uint64_t>(state.bits_per_pixel));
    const std::size_t bytes = blank->width * blank->height * blank->depth / 8;
    // Black is pixel value 0 on every visual the program accepts.
    std::size_t nonzero = 0;
    for (std::size_t i = 0; i < bytes; ++i)
      nonzero += blank->data[i] != 0;
    EXPECT_EQ(nonzero, 0u);
  }
}

TEST_F(Grid, PassDrawsEveryCellAndReusesItsThumbnails) {
  redraw_grid(1, "");
  expect_page(window_pixels(), first_image_cell);
  EXPECT_EQ(bmp_loads, image_count);
  EXPECT_EQ(wished_width, cell_width);
  EXPECT_EQ(wished_height, thumb_height);
  EXPECT_EQ(state.interrupted, 0);
  EXPECT_EQ(state.event_pending, 0);
  char* cwd = realpath(dir.path().c_str(), nullptr);
  EXPECT_EQ(window_title(), std::string("pictra-0.31 - ") + cwd);
  std::free(cwd);

  // The selection on a cell past the end of the list: a white bar without a name. Every
  // thumbnail comes from the cache, also the black one of the image that scaled to nothing.
  fill_window(rgb_gray);
  state.selected = 20;
  redraw_grid(1, "");
  expect_page(window_pixels(), 20);
  EXPECT_EQ(bmp_loads, image_count);

  // A new layout drops the cache: every image is decoded again.
  layout_grid();
  redraw_grid(1, "");
  EXPECT_EQ(bmp_loads, 2 * image_count);
}

TEST_F(Grid, WaitingKeyStopsThePassAfterTheCurrentCell) {
  fill_window(rgb_gray);
  XEvent key{};
  key.xkey.type = KeyPress;
  key.xkey.display = state.display;
  key.xkey.window = state.window;
  key.xkey.root = RootWindow(state.display, state.screen);
  key.xkey.keycode = XKeysymToKeycode(state.display, XK_space);
  key.xkey.same_screen = True;
  XSendEvent(state.display, state.window, False, KeyPressMask, &key);
  XSync(state.display, False);  // the server has sent it back by the time the sync returns
  ASSERT_EQ(XPending(state.display), 1);

  redraw_grid(1, "");
  EXPECT_EQ(state.event_pending, 1);
  EXPECT_EQ(state.interrupted, 1);
  EXPECT_EQ(state.event.type, KeyPress);
  EXPECT_EQ(state.event.xkey.keycode, key.xkey.keycode);
  EXPECT_EQ(XPending(state.display), 0);
  // The directories cost no look at the queue; the first image was drawn, then the pass ended.
  EXPECT_EQ(bmp_loads, 1);
  EXPECT_NE(file_thumb_at(state.top, first_image_cell), nullptr);
  EXPECT_EQ(file_thumb_at(state.top, first_image_cell + 1), nullptr);

  const WindowPixels window = window_pixels();
  expect_cell(window, first_image_cell, {"a.bmp", rgb_black, true, &images[0]});
  // The picture areas after it keep what the window showed (the labels are all redrawn first).
  const std::uint32_t gray = expected_pixel(state.display, rgb_gray);
  int changed = 0;
  for (std::uint32_t i = first_image_cell + 1; i < cells; ++i) {
    const std::uint32_t left = cell_width * (i % columns), top = cell_height * (i / columns);
    for (std::uint32_t y = 0; y < thumb_height / 2; ++y) {
      for (std::uint32_t x = 0; x < cell_width; ++x)
        changed += window.at(left + x, top + y) != gray;
    }
  }
  EXPECT_EQ(changed, 0);

  // The next pass puts the cached cell back and goes on where the last one stopped.
  state.event_pending = 0;
  redraw_grid(1, "");
  EXPECT_EQ(state.interrupted, 0);
  EXPECT_EQ(bmp_loads, image_count);
  expect_page(window_pixels(), first_image_cell);
}

TEST_F(Grid, FilesThatYieldNoImageStayBlankAndAreTriedAgain) {
  const std::string other = dir.mkdir("other");
  dir.write("other/bad.bmp", "BM this is no bitmap");
  dir.write("other/big.bmp", bmp24(4, 4));
  ASSERT_EQ(chdir(other.c_str()), 0);
  scan_dir();  // "/..", bad.bmp, big.bmp
  state.selected = 0;
  layout_grid();
  // A damaged file, and a readable one whose width the module reports out of reach of
  // get_pixel's 32-bit coordinates or negative (a faulty module; taken as unsigned it is huge).
  for (std::int64_t width : {std::int64_t{INT32_MAX} + 1, std::int64_t{-1}}) {
    SCOPED_TRACE("width reported as " + std::to_string(width));
    reported_width = width;
    bmp_loads = bmp_unloads = 0;
    for (int pass = 1; pass <= 2; ++pass) {
      fill_window(rgb_gray);
      redraw_grid(1, "");
      EXPECT_EQ(bmp_loads, 2 * pass) << "not tried again";
      EXPECT_EQ(bmp_unloads, bmp_loads) << "unload missing after a load";
      EXPECT_EQ(file_thumb_at(state.top, 1), nullptr);
      EXPECT_EQ(file_thumb_at(state.top, 2), nullptr);
      const WindowPixels window = window_pixels();
      expect_cell(window, 1, {"bad.bmp", rgb_cyan, false, nullptr});
      expect_cell(window, 2, {"big.bmp", rgb_cyan, false, nullptr});
    }
  }
}

// A list of the sub-images of one file: each cell decodes the container, its entry's number as
// the selector, behind the sub-image prefix when one is set.
TEST_F(Grid, SubImagesAreDecodedFromTheirContainer) {
  clear_files(state.top);
  for (const char* name : {"/..", "00000000", "00000001"})
    insert_file(state.top, name);
  first_file(state.top);
  char prefix[] = "prefix";
  struct Case {
    char* subpath;
    std::vector<std::string> loads;
  };
  const Case cases[] = {
      {nullptr, {"a.bmp [00000000]", "a.bmp [00000001]"}},
      {prefix, {"a.bmp [prefix/00000000]", "a.bmp [prefix/00000001]"}},
  };
  for (const Case& c : cases) {
    state.subpath = c.subpath;
    loaded.clear();
    layout_grid();
    redraw_grid(1, "a.bmp");
    EXPECT_EQ(loaded, c.loads);
    expect_cell(window_pixels(), 1, {"00000000", rgb_cyan, false, &images[0]});
  }
  state.subpath = nullptr;
}

TEST_F(Grid, WindowsWithoutRoomDrawNoPictures) {
  struct Case {
    const char* what;
    int width, height;
  };
  // Too low for pictures, nothing at all is drawn. Narrower than the columns, the cells have no
  // width: the labels go to the left edge, without bars, and no image is decoded.
  const Case cases[] = {{"too low", window_width, 100}, {"too narrow", 5, window_height}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    state.config.width = c.width;
    state.config.height = c.height;
    state.selected = columns - 1;  // its label is the last drawn at the row's left edge
    layout_grid();
    fill_window(rgb_gray);
    redraw_grid(1, "");
    const WindowPixels window = window_pixels();
    const std::uint32_t white = expected_pixel(state.display, rgb_white);
    const std::uint32_t gray = expected_pixel(state.display, rgb_gray);
    int whites = 0, grays = 0;
    for (std::uint32_t pixel : window.pixels) {
      whites += pixel == white;
      grays += pixel == gray;
    }
    EXPECT_EQ(whites, 0) << "a label bar was drawn";
    if (!state.grid_visible) {
      EXPECT_EQ(grays, window_width * window_height);
    }
    EXPECT_EQ(bmp_loads, 0);
  }
}

// A directory deleted under the browser lists only the way out: every cell is cleared of its
// thumbnail and label, and the title keeps just its prefix, having no path to show.
TEST_F(Grid, DeletedDirectoryListsOnlyTheWayOutAndClearsTheCells) {
  redraw_grid(1, "");
  const std::string gone = dir.mkdir("gone");
  ASSERT_EQ(chdir(gone.c_str()), 0);
  ASSERT_EQ(rmdir(gone.c_str()), 0);

  testing::internal::CaptureStdout();
  redraw_grid(0, "");
  std::fflush(stdout);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_STREQ(file_name_at(state.top, 0), "/..");
  EXPECT_EQ(file_name_at(state.top, 1), nullptr);
  EXPECT_EQ(state.selected, 0u);
  EXPECT_EQ(window_title(), "pictra-0.31 - ");
  const WindowPixels window = window_pixels();
  const std::uint32_t black = expected_pixel(state.display, rgb_black);
  int others = 0;
  for (unsigned y = 0; y < window.height; ++y) {
    for (unsigned x = 0; x < columns * cell_width; ++x) {
      const bool first_label = x < cell_width && y >= thumb_height && y < thumb_height + 20;
      others += !first_label && window.at(x, y) != black;
    }
  }
  EXPECT_EQ(others, 0) << "pixels left of the old page";
}

}  // namespace
