// The thumbnail grid on a real window over a real directory of BMP files: the cell geometry,
// every pixel of the drawn cells, the thumbnail cache and the pass cut short by a waiting key.
#include <gtest/gtest.h>  // before the X headers, whose macros clash with it

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "browser/browser.h"
#include "filelist/filelist.h"
#include "formats/formats.h"
#include "formats/pool.h"
#include "formats/resample.h"
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

// The BMP module's load, counted, with the size wish it was given. The pool's workers call it.
std::unique_ptr<Image> (*real_bmp_load)(const char*, const char*, Wish) = nullptr;
std::mutex load_mutex;
int bmp_loads = 0;
std::vector<std::string> loaded;  // "path [selector]" of every load, in order
std::uint32_t wished_width = 0;
std::uint32_t wished_height = 0;
// While held, a load of a file named held_name waits: the test decides when its result comes.
std::condition_variable gate_opened;
bool gate_held = false;
constexpr char held_name[] = "held.bmp";

std::unique_ptr<Image> counting_bmp_load(const char* path, const char* selector, Wish wish) {
  {
    std::unique_lock lock(load_mutex);
    if (std::strcmp(path, held_name) == 0) gate_opened.wait(lock, [] { return !gate_held; });
    ++bmp_loads;
    loaded.push_back(std::string(path) + " [" + (selector ? selector : "<none>") + "]");
    wished_width = wish.width;
    wished_height = wish.height;
  }
  return real_bmp_load(path, selector, wish);
}

int loads() {
  std::lock_guard lock(load_mutex);
  return bmp_loads;
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
// The image's pixels are dithered below 8 bits per channel: each must be within the dither's
// reach of its source colour; the bar, the name and the black are exact.
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
  // The grid places the resampler's image of the file as decoded for the cell; the decoders
  // and the resampler are tested on their own.
  std::unique_ptr<Image> scaled;
  if (cell.image && cell.image->scaled_height > 0) {
    const auto decoded = real_bmp_load(cell.image->name, "", {cell_width, thumb_height});
    EXPECT_TRUE(decoded);
    if (decoded) {
      scaled = resample(*decoded, static_cast<std::uint32_t>(cell.image->scaled_width),
                        static_cast<std::uint32_t>(cell.image->scaled_height));
    }
  }
  int wrong = 0, text = 0;
  for (std::uint32_t y = 0; y < cell_height; ++y) {
    for (std::uint32_t x = 0; x < cell_width; ++x) {
      int rgb = rgb_black;
      bool in_image = false;
      if (y >= bar_top && y <= bar_bottom && x < cell_width - 1) {
        rgb = cell.selected ? rgb_white : rgb_black;
      } else if (scaled && x < scaled->width && y < scaled->height) {
        rgb = get_pixel(*scaled, x, y);
        in_image = true;
      }
      const std::uint32_t want = expected_pixel(state.display, rgb);
      const std::uint32_t got = window.at(left + x, top + y);
      const int ix = static_cast<int>(x), iy = static_cast<int>(y) - baseline;
      const bool in_ink = cell.name && ix >= ink.x && ix < ink.x + ink.width && iy >= ink.y &&
                          iy < ink.y + ink.height;
      const bool right = in_image ? within_dither(state.display, got, rgb) : got == want;
      if (in_ink && got == name_pixel) {
        if (want != name_pixel) ++text;
      } else if (!right && ++wrong <= 3) {
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
    x_Init(nullptr);
    pool = new DecodePool(2);
    state.pool = pool;
    start_thumbnails();
    state.config = {0, 0, window_width, window_height};
    x_OpenWindow();
    ASSERT_TRUE(wait_for_event(Expose)) << "the window was never shown";
  }
  static void TearDownTestSuite() {
    delete pool;
    state.pool = nullptr;
    clear_thumb_cache();
    x_FreePicture(state.blank_picture);
    state.blank_picture = nullptr;
    XDestroyWindow(state.display, state.window);
    x_Cleanup(0);
    formats[format_bmp].load = real_bmp_load;
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
    // Each test starts cold: the files are new, but a reused inode could still hit.
    clear_thumb_cache();
    std::lock_guard lock(load_mutex);
    bmp_loads = 0;
    loaded.clear();
  }
  void TearDown() override {
    ASSERT_EQ(chdir(start_dir), 0);
    clear_files(state.top);
  }

  char start_dir[PATH_MAX]{};
  TempDir dir;
  static DecodePool* pool;
};

DecodePool* Grid::pool = nullptr;

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
    state.config.width = c.width;
    state.config.height = c.height;
    state.thumbsize = c.level;
    layout_grid();
    EXPECT_EQ(state.cell_width, c.cell_width);
    EXPECT_EQ(state.thumb_height, c.thumb_height);
    EXPECT_EQ(state.grid_visible, c.visible);

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
  EXPECT_EQ(loads(), image_count);
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
  EXPECT_EQ(loads(), image_count);

  // The thumbnails are kept for the session: a new layout of the same cells, a rescan and a
  // visit elsewhere decode nothing again.
  layout_grid();
  scan_dir();
  state.selected = first_image_cell;
  redraw_grid(1, "");
  EXPECT_EQ(loads(), image_count);
  expect_page(window_pixels(), first_image_cell);

  // Another cell size is another thumbnail; back at this size the old ones are still there.
  state.thumbsize = example_level + 1;
  layout_grid();
  redraw_grid(1, "");
  EXPECT_EQ(loads(), 2 * image_count);
  state.thumbsize = example_level;
  layout_grid();
  redraw_grid(1, "");
  EXPECT_EQ(loads(), 2 * image_count);

  // A file whose modification time changed is decoded again, and only that one.
  const std::string changed = dir.file(images[2].name);
  const timespec times[2] = {{0, UTIME_OMIT}, {1234567, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, changed.c_str(), times, 0), 0);
  redraw_grid(1, "");
  EXPECT_EQ(loads(), 2 * image_count + 1);
}

TEST_F(Grid, CacheEvictsTheLeastRecentlyUsedAndTheAheadFirstWithinItsBound) {
  const std::uint64_t side = 512;  // 1 MiB at 32 bits per pixel, 512 KiB at 16, 256 KiB at 8
  const std::size_t bytes = side * side * static_cast<std::size_t>(state.bits_per_pixel) / 8;
  const std::size_t fit = thumb_cache_bytes / bytes;
  auto key = [](std::uint64_t n) {
    ThumbKey k;
    k.inode = n;
    return k;
  };
  for (std::uint64_t n = 0; n < fit + 10; ++n) {
    keep_thumb(key(n), x_CreatePicture(side, side, state.bits_per_pixel), n == 5);
    if (n == 0) find_thumb(key(0));   // used again at once: still the least recent later on
    if (n == 20) find_thumb(key(1));  // used late: survives
    EXPECT_LE(thumb_cache_used(), thumb_cache_bytes);
  }
  EXPECT_EQ(find_thumb(key(5)), nullptr) << "the one decoded ahead goes first";
  EXPECT_EQ(find_thumb(key(0)), nullptr);
  EXPECT_NE(find_thumb(key(1)), nullptr);
  EXPECT_NE(find_thumb(key(fit + 9)), nullptr);
  clear_thumb_cache();
  EXPECT_EQ(thumb_cache_used(), 0u);
}

// A waiting key ends the pass at once; the decoding goes on, and the next pass puts what came
// meanwhile and waits for the rest, decoding no file twice.
TEST_F(Grid, WaitingKeyIsAnsweredAtOnceWhileDecodingGoesOn) {
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

  state.event_pending = 0;
  redraw_grid(1, "");
  EXPECT_EQ(state.interrupted, 0);
  EXPECT_EQ(loads(), image_count);
  expect_page(window_pixels(), first_image_cell);
}

// Paging on drops the queued work of the page left: its files are never decoded, those of the
// new page are.
TEST_F(Grid, APageChangeDropsTheOldPagesWork) {
  const std::string many = dir.mkdir("many");
  constexpr int pages = 3;
  for (int i = 0; i < pages * static_cast<int>(cells); ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "many/%03d.bmp", i);
    dir.write(name, bmp24(1200, 900));
  }
  ASSERT_EQ(chdir(many.c_str()), 0);
  scan_dir();  // "/..", then 000.bmp ... in order
  state.selected = 0;
  layout_grid();
  XEvent expose{};
  expose.xexpose.type = Expose;
  expose.xexpose.display = state.display;
  expose.xexpose.window = state.window;
  XSendEvent(state.display, state.window, False, ExposureMask, &expose);
  XSync(state.display, False);
  redraw_grid(1, "");  // cut short at once by the exposure, the first page queued
  ASSERT_EQ(state.interrupted, 1);
  for (std::uint32_t i = 0; i < 2 * cells; ++i)
    state.top = state.top->nextfile;
  state.event_pending = 0;
  redraw_grid(1, "");
  EXPECT_EQ(state.interrupted, 0);
  std::lock_guard lock(load_mutex);
  int first_page = 0, last_page = 0;
  for (const std::string& load : loaded) {
    const int number = std::atoi(load.c_str());
    first_page += number < static_cast<int>(cells) - 1;
    // The page shown holds files 59 to 88 ("/.." comes first); 89 is decoded ahead after it.
    last_page +=
        number >= 2 * static_cast<int>(cells) - 1 && number < 3 * static_cast<int>(cells) - 1;
  }
  EXPECT_LT(first_page, static_cast<int>(cells) / 2) << "the page left was decoded anyway";
  EXPECT_EQ(last_page, static_cast<int>(cells));
}

TEST_F(Grid, FilesThatYieldNoImageStayBlankAndAreTriedAgain) {
  const std::string other = dir.mkdir("other");
  dir.write("other/bad.bmp", "BM this is no bitmap");
  ASSERT_EQ(chdir(other.c_str()), 0);
  scan_dir();  // "/..", bad.bmp
  state.selected = 0;
  layout_grid();
  for (int pass = 1; pass <= 2; ++pass) {
    fill_window(rgb_gray);
    redraw_grid(1, "");
    EXPECT_EQ(loads(), pass) << "not tried again";
    ThumbKey key;
    ASSERT_TRUE(thumb_key("bad.bmp", "", state.cell_width, state.thumb_height, key));
    EXPECT_EQ(find_thumb(key), nullptr);
    expect_cell(window_pixels(), 1, {"bad.bmp", rgb_cyan, false, nullptr});
  }
}

// A thumbnail that comes back after its pass was cut short goes to the cache and onto no
// window: by then the view or the help screen may own the window, and the pass's GC is gone. A
// file that yields no image once put the blank cell with that GC and crashed.
TEST_F(Grid, AResultAfterItsPassWasCutShortDrawsNothing) {
  const std::string other = dir.mkdir("late");
  dir.write(std::string("late/") + held_name, "BM this is no bitmap");
  ASSERT_EQ(chdir(other.c_str()), 0);
  scan_dir();  // "/..", held.bmp
  state.selected = 0;
  layout_grid();
  {
    std::lock_guard lock(load_mutex);
    gate_held = true;
  }
  XEvent key{};
  key.xkey.type = KeyPress;
  key.xkey.display = state.display;
  key.xkey.window = state.window;
  key.xkey.keycode = XKeysymToKeycode(state.display, XK_Return);
  XSendEvent(state.display, state.window, False, KeyPressMask, &key);
  XSync(state.display, False);
  redraw_grid(1, "");
  ASSERT_EQ(state.interrupted, 1);
  state.event_pending = 0;

  fill_window(rgb_gray);  // the window is someone else's now
  {
    std::lock_guard lock(load_mutex);
    gate_held = false;
  }
  gate_opened.notify_all();
  pollfd result{state.pool->wake_fd(), POLLIN, 0};
  ASSERT_EQ(poll(&result, 1, 20000), 1) << "the held decode never came back";
  state.pool->dispatch();
  const WindowPixels window = window_pixels();
  const std::uint32_t gray = expected_pixel(state.display, rgb_gray);
  int drawn = 0;
  for (int y = 0; y < window_height; ++y) {
    for (int x = 0; x < window_width; ++x)
      drawn += window.at(x, y) != gray;
  }
  EXPECT_EQ(drawn, 0) << "a pixel was drawn after the pass had ended";

  redraw_grid(1, "");  // the next pass shows the cell, and tries the file again
  EXPECT_EQ(state.interrupted, 0);
  EXPECT_EQ(loads(), 2);
  expect_cell(window_pixels(), 1, {held_name, rgb_cyan, false, nullptr});
}

// A list of the sub-images of one file: each cell decodes the container, its entry's number as
// the selector.
TEST_F(Grid, SubImagesAreDecodedFromTheirContainer) {
  clear_files(state.top);
  for (const char* name : {"/..", "00000000", "00000001"})
    insert_file(state.top, name);
  first_file(state.top);
  layout_grid();
  redraw_grid(1, "a.bmp");
  // Two workers take the cells; which starts first is theirs to settle.
  std::vector<std::string> seen;
  {
    std::lock_guard lock(load_mutex);
    seen = loaded;
  }
  std::sort(seen.begin(), seen.end());
  EXPECT_EQ(seen, (std::vector<std::string>{"a.bmp [00000000]", "a.bmp [00000001]"}));
  expect_cell(window_pixels(), 1, {"00000000", rgb_cyan, false, &images[0]});
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
    EXPECT_EQ(loads(), 0);
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
