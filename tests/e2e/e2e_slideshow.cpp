// The slideshow and the info line end to end: `pictra -S` on a folder of flat-colour pictures,
// the steps read from the title, and the info line compared pixel for pixel with the band this
// test draws itself with the window's font on the same server.
#include <gtest/gtest.h>  // before the X headers, whose macros clash with it

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>
#include <sys/stat.h>

#include <clocale>
#include <cmath>
#include <cstdio>
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
constexpr int picture_width = 80;
constexpr int picture_height = 60;
constexpr const char* names[] = {"a.bmp", "b.bmp", "c.bmp", "d.bmp", "e.bmp"};
constexpr int colours[] = {0xff0000, 0x00ff00, 0x0000ff, 0xffff00, 0xff00ff};
constexpr auto step_deadline = 5s;

std::string title_of(const std::string& name, int width, int height) {
  return "pictra-0.31 - " + name + " (" + std::to_string(width) + "x" + std::to_string(height) +
         ")";
}

// The band the program must draw: dark grey, the text in white four columns in, with two rows
// above and below one line of the window's font.
class Band {
 public:
  explicit Band(Display* display) : display_(display) {
    std::setlocale(LC_ALL, "");
    for (const char* pattern : {"-*-*-medium-r-*-12-*", "fixed"}) {
      char** missing = nullptr;
      int count = 0;
      char* fallback = nullptr;
      set_ = XCreateFontSet(display, pattern, &missing, &count, &fallback);
      if (missing) XFreeStringList(missing);
      if (set_) break;
    }
  }
  ~Band() {
    if (set_) XFreeFontSet(display_, set_);
  }
  Band(const Band&) = delete;
  Band& operator=(const Band&) = delete;

  int height() const { return XExtentsOfFontSet(set_)->max_logical_extent.height + 4; }

  // Whether the bottom rows of pixels are the band with text.
  ::testing::AssertionResult matches(const WindowPixels& pixels, const std::string& text) const {
    const unsigned rows = static_cast<unsigned>(height());
    if (pixels.height < rows) return ::testing::AssertionFailure() << "window too low";
    const Window root = DefaultRootWindow(display_);
    const Pixmap pixmap = XCreatePixmap(display_, root, pixels.width, rows,
                                        static_cast<unsigned>(DefaultDepth(display_, 0)));
    GC gc = XCreateGC(display_, pixmap, 0, nullptr);
    XSetForeground(display_, gc, expected_pixel(display_, 0x333333));
    XFillRectangle(display_, pixmap, gc, 0, 0, pixels.width, rows);
    XSetForeground(display_, gc, expected_pixel(display_, 0xffffff));
    Xutf8DrawString(display_, pixmap, set_, gc, 4,
                    2 - XExtentsOfFontSet(set_)->max_logical_extent.y, text.c_str(),
                    static_cast<int>(text.size()));
    XImage* image = XGetImage(display_, pixmap, 0, 0, pixels.width, rows, AllPlanes, ZPixmap);
    int wrong = 0;
    for (unsigned y = 0; y < rows; ++y)
      for (unsigned x = 0; x < pixels.width; ++x)
        wrong += XGetPixel(image, static_cast<int>(x), static_cast<int>(y)) !=
                 pixels.at(x, pixels.height - rows + y);
    XDestroyImage(image);
    XFreeGC(display_, gc);
    XFreePixmap(display_, pixmap);
    if (wrong == 0) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << wrong << " pixels differ from the band \"" << text << "\"";
  }

 private:
  Display* display_;
  XFontSet set_ = nullptr;
};

// The file's size as the info line gives it: bytes below a KiB, else KiB to one decimal.
std::string file_size(const std::string& path) {
  struct stat st {};
  stat(path.c_str(), &st);
  char text[32];
  if (st.st_size < 1024) {
    std::snprintf(text, sizeof text, "%lld B", static_cast<long long>(st.st_size));
  } else {
    std::snprintf(text, sizeof text, "%.1f KiB", static_cast<double>(st.st_size) / 1024);
  }
  return text;
}

// The percent of a picture_width x picture_height picture fitted into width x height.
int fit_percent(int width, int height) {
  const int fitted = picture_width * height > picture_height * width
                         ? width
                         : picture_width * height / picture_height;
  return static_cast<int>(std::lround(fitted * 100.0 / picture_width));
}

class Slideshow : public ::testing::Test {
 protected:
  Slideshow() {
    home_.write(".pictrarc", geometry_file(window_width, window_height));
    for (int i = 0; i < 5; ++i) {
      RgbImage image;
      image.width = picture_width;
      image.height = picture_height;
      image.pixels.assign(picture_width * picture_height, colours[i]);
      dir_.write(names[i], bmp24(image));
    }
  }

  // The index of the image the title names, or -1.
  int shown(Pictra& pictra) {
    const std::string title = pictra.title();
    for (int i = 0; i < 5; ++i)
      if (title == title_of(names[i], picture_width, picture_height)) return i;
    return -1;
  }

  // The info line of image i in a window of width x height, and the fields given after it.
  std::string info(int i, int width, int height, const std::string& more, Band& band) {
    return std::string(names[i]) + "  " + std::to_string(i + 1) + "/5  80x60  " +
           file_size(dir_.file(names[i])) + "  " +
           std::to_string(fit_percent(width, height - band.height())) + "%" + more;
  }

  // Waits until the window shows the info line of the image the title names, unchanged by a
  // step while it is read.
  ::testing::AssertionResult shows_info(Pictra& pictra, Band& band, const std::string& more) {
    const auto until = std::chrono::steady_clock::now() + default_deadline;
    ::testing::AssertionResult last = ::testing::AssertionFailure() << "no image titled";
    for (;;) {
      const int changes = pictra.title_changes();
      const int before = shown(pictra);
      const WindowPixels pixels = pictra.pixels();
      if (before >= 0 && shown(pictra) == before) {
        last = band.matches(pixels, info(before, static_cast<int>(pixels.width),
                                         static_cast<int>(pixels.height), more, band));
        if (last) return last;
      }
      if (std::chrono::steady_clock::now() >= until) return last;
      pictra.wait_title_changes(changes + 1, 100ms);
    }
  }

  TempDir home_;
  TempDir dir_;
};

TEST_F(Slideshow, StepsInOrderWrapsAndFollowsItsKeysWithTheInfoLine) {
  Pictra pictra({home_.path(), dir_.path(), {"-S", "0.3", "c.bmp"}, {}, false});
  // c d e, then round to a b c.
  for (int i : {2, 3, 4, 0, 1, 2}) {
    ASSERT_TRUE(pictra.wait_title(title_of(names[i], picture_width, picture_height), step_deadline))
        << "step to " << names[i] << ": " << pictra.title();
  }
  Band band(pictra.display());
  // The line shows the delay while the show runs; its keys halve and double it.
  pictra.key(XK_i);
  EXPECT_TRUE(shows_info(pictra, band, "  slideshow 0.3 s"));
  pictra.key(XK_bracketright);
  EXPECT_TRUE(shows_info(pictra, band, "  slideshow 0.6 s"));
  pictra.key(XK_bracketleft);
  pictra.key(XK_bracketleft);
  EXPECT_TRUE(shows_info(pictra, band, "  slideshow 0.15 s"));
  // s stops it: the line loses the delay, and it holds across a typed step and fullscreen.
  pictra.key(XK_s);
  ASSERT_TRUE(shows_info(pictra, band, ""));
  const int stopped = shown(pictra);
  pictra.key(XK_Down);
  ASSERT_TRUE(pictra.wait_title(title_of(names[(stopped + 1) % 5], 80, 60)) || stopped == 4);
  EXPECT_TRUE(shows_info(pictra, band, ""));
  pictra.key(XK_f);
  Display* display = pictra.display();
  const auto screen_width = static_cast<unsigned>(DisplayWidth(display, 0));
  const auto until = std::chrono::steady_clock::now() + default_deadline;
  while (pictra.pixels().width != screen_width && std::chrono::steady_clock::now() < until)
    pictra.wait_title_changes(pictra.title_changes() + 1, 100ms);
  EXPECT_TRUE(shows_info(pictra, band, ""));
  // i again hides it: no row of the band is left, and the picture is fitted to the screen.
  pictra.key(XK_i);
  const auto gone = std::chrono::steady_clock::now() + default_deadline;
  const std::uint32_t dark = expected_pixel(display, 0x333333);
  const std::uint32_t colour = expected_pixel(display, colours[shown(pictra)]);
  for (;;) {
    const WindowPixels pixels = pictra.pixels();
    bool banded = false;
    for (unsigned x = 0; x < pixels.width; ++x)
      banded = banded || pixels.at(x, pixels.height - 1) == dark;
    // 4:3 in the screen's height: the picture's last row is the window's.
    const unsigned fitted = pixels.width * 3 / 4;
    const unsigned last = fitted < pixels.height ? (pixels.height + fitted) / 2 - 1 : 0;
    if (!banded && pixels.at(pixels.width / 2, last) == colour) break;
    ASSERT_LT(std::chrono::steady_clock::now(), gone) << "the info line stays";
    pictra.wait_title_changes(pictra.title_changes() + 1, 100ms);
  }
  pictra.key(XK_Escape);
  const auto status = pictra.wait_exit();
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(exit_code(*status), 0) << pictra.stderr_text();
}

// Waits until one of the texts shows as the info line.
::testing::AssertionResult shows_one_of(Pictra& pictra, const Band& band,
                                        const std::vector<std::string>& texts) {
  const auto until = std::chrono::steady_clock::now() + default_deadline;
  for (;;) {
    const int changes = pictra.title_changes();
    const WindowPixels pixels = pictra.pixels();
    for (const std::string& text : texts)
      if (band.matches(pixels, text)) return ::testing::AssertionSuccess() << text;
    if (std::chrono::steady_clock::now() >= until)
      return ::testing::AssertionFailure() << "not shown: " << texts.front();
    pictra.wait_title_changes(changes + 1, 100ms);
  }
}

// Every way of cutting name in the middle that keeps at least as much of its end, each followed
// by rest.
std::vector<std::string> cuts_of(const std::string& name, const std::string& rest) {
  std::vector<std::string> cuts{name + rest};
  for (std::size_t head = 0; head < name.size(); ++head) {
    for (std::size_t tail = head; head + tail < name.size(); ++tail)
      cuts.push_back(name.substr(0, head) + "\u2026" + name.substr(name.size() - tail) + rest);
  }
  return cuts;
}

// The info line of a JPEG names the date it was taken and the camera; in a window too narrow
// for all of it the name is cut in the middle, keeping more of its end. The depths are covered
// above, so one is enough here.
TEST_F(Slideshow, InfoLineOfAJpegCarriesDateAndCamera) {
  if (test_depth() != 24) GTEST_SKIP() << "the band's depths are checked above";
  const std::string file = dir_.file("photo.jpg");
  command_output("convert -size 80x60 xc:red '" + file + "'");
  command_output(
      "exiftool -q -overwrite_original '-DateTimeOriginal=2024:05:06 07:08:09' "
      "'-Model=TestCam 9' '" +
      file + "'");
  Pictra pictra({home_.path(), dir_.path(), {"photo.jpg"}, {}, false});
  ASSERT_TRUE(pictra.wait_title(title_of("photo.jpg", 80, 60))) << pictra.title();
  Band band(pictra.display());
  pictra.key(XK_i);
  // After "/..": a.bmp to e.bmp, then photo.jpg.
  auto rest = [&](int width, int height) {
    return "  6/6  80x60  " + file_size(file) + "  " +
           std::to_string(fit_percent(width, height - band.height())) +
           "%  2024-05-06 07:08:09  TestCam 9";
  };
  const std::string name = "photo.jpg";
  std::vector<std::string> cuts = cuts_of(name, rest(window_width, window_height));
  cuts.erase(cuts.begin());  // too long to be shown whole
  EXPECT_TRUE(shows_one_of(pictra, band, cuts));
  pictra.resize(640, 300);
  EXPECT_TRUE(shows_one_of(pictra, band, {name + rest(640, 300)}));
  pictra.key(XK_Escape);
  ASSERT_TRUE(pictra.wait_exit().has_value());
}

// In the grid, i shows the folder with the selected entry, the number of images and the
// entry's size, and s starts a slideshow from the selected image at the delay of -S.
TEST_F(Slideshow, GridInfoLineAndSlideshowFromTheSelection) {
  if (test_depth() != 24) GTEST_SKIP() << "the band's depths are checked above";
  Pictra pictra({home_.path(), dir_.path(), {"-S", "0.3"}, {}, false});
  ASSERT_TRUE(pictra.wait_title("pictra-0.31 - " + dir_.path())) << pictra.title();
  Band band(pictra.display());
  pictra.key(XK_Right);  // from "/.." to a.bmp
  pictra.key(XK_i);
  EXPECT_TRUE(shows_one_of(
      pictra, band,
      cuts_of(dir_.path() + "/a.bmp", "  5 images  " + file_size(dir_.file("a.bmp")))));
  pictra.key(XK_s);
  for (int i : {0, 1, 2}) {
    ASSERT_TRUE(pictra.wait_title(title_of(names[i], picture_width, picture_height), step_deadline))
        << "step to " << names[i] << ": " << pictra.title();
  }
  pictra.key(XK_Escape);
  ASSERT_TRUE(pictra.wait_title("pictra-0.31 - " + dir_.path())) << pictra.title();
  pictra.key(XK_q);
  ASSERT_TRUE(pictra.wait_exit().has_value());
}

}  // namespace
