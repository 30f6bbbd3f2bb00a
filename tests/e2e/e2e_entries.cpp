// Unusual entries in the real binary's browser: paths longer than the kernel takes in one
// piece, a directory that cannot be entered, the working directory deleted under the browser,
// and names too long for their label or not valid in the locale's encoding.
#include <gtest/gtest.h>  // before the X headers, whose macros clash with it

#include <X11/keysym.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

constexpr char title_prefix[] = "pictra-0.31 - ";
// The window as the geometry file asks for it, and its cells at the starting level (5 x 6).
constexpr int window_width = 600;
constexpr int window_height = 500;
constexpr int cell_width = 100;
constexpr int thumb_height = 80;
constexpr int label_band = 20;
constexpr int cell_height = thumb_height + label_band;

std::string small_bmp() {
  return bmp24(RgbImage{4, 4, std::vector<int>(16, 0x804020)});
}

// The pixels of a cell's label band, row by row.
std::vector<std::uint32_t> label_band_of(const WindowPixels& pixels, int cell) {
  const int x0 = cell % 6 * cell_width;
  const int y0 = cell / 6 * cell_height + thumb_height;
  std::vector<std::uint32_t> band;
  for (int y = y0; y < y0 + label_band; ++y) {
    for (int x = x0; x < x0 + cell_width; ++x)
      band.push_back(pixels.at(x, y));
  }
  return band;
}

class Entries : public testing::Test {
 protected:
  void SetUp() override { home_.write(".pictrarc", geometry_file(window_width, window_height)); }

  Pictra& start(const std::string& cwd, std::vector<std::string> setenv = {}) {
    pictra_ =
        std::make_unique<Pictra>(PictraOptions{home_.path(), cwd, {}, std::move(setenv), false});
    EXPECT_TRUE(pictra_->wait_title(title_prefix + cwd));
    return *pictra_;
  }

  // Presses key and waits for the redraw it brings (every redraw ends by setting the title).
  void press(KeySym key) {
    const int before = pictra_->title_changes();
    pictra_->key(key);
    ASSERT_TRUE(pictra_->wait_title_changes(before + 1));
  }

  TempDir home_;
  TempDir dir_;
  std::unique_ptr<Pictra> pictra_;
};

// 26 levels of 200-byte names: over 5000 bytes, more than one path the kernel takes. Each is
// entered with Return on cell 1 (the list is "/.." and the one subdirectory), and each shows
// its own list: the directory at the bottom is entered from it, and BackSpace leads back up.
TEST_F(Entries, DirectoryOfAnyPathLengthIsEnteredAndListed) {
  const std::string level(200, 'd');
  constexpr int depth = 26;
  int at = open(dir_.path().c_str(), O_RDONLY | O_DIRECTORY);
  for (int i = 0; i < depth; ++i) {
    ASSERT_EQ(mkdirat(at, level.c_str(), 0700), 0);
    const int next = openat(at, level.c_str(), O_RDONLY | O_DIRECTORY);
    close(at);
    at = next;
  }
  ASSERT_EQ(mkdirat(at, "bottom", 0700), 0);
  close(at);

  Pictra& pictra = start(dir_.path());
  std::string path = dir_.path();
  for (int i = 0; i < depth; ++i) {
    press(XK_Right);
    pictra.key(XK_Return);
    path += "/" + level;
    ASSERT_TRUE(pictra.wait_title(title_prefix + path)) << "level " << i + 1;
  }
  ASSERT_GT(path.size(), 5000u);
  press(XK_Right);
  pictra.key(XK_Return);
  EXPECT_TRUE(pictra.wait_title(title_prefix + path + "/bottom"));
  pictra.key(XK_BackSpace);
  EXPECT_TRUE(pictra.wait_title(title_prefix + path));
  EXPECT_EQ(pictra.stderr_text(), "");
}

// A directory gone between the listing and Return is named on standard error; the list shown
// is the working directory's again, so Return on its second entry enters the directory there.
TEST_F(Entries, DirectoryThatCannotBeEnteredIsReportedAndTheListRenewed) {
  dir_.mkdir("a");
  dir_.mkdir("b");
  Pictra& pictra = start(dir_.path());
  ASSERT_EQ(rmdir(dir_.file("a").c_str()), 0);
  press(XK_Right);
  press(XK_Return);
  EXPECT_EQ(pictra.title(), title_prefix + dir_.path());
  EXPECT_EQ(pictra.stderr_text(), "Cannot enter directory a: No such file or directory\n");
  press(XK_Right);
  pictra.key(XK_Return);
  EXPECT_TRUE(pictra.wait_title(title_prefix + dir_.file("b")));
}

// The working directory deleted under the browser: the next rescan (r) or redraw (an exposure)
// shows "/.." alone, every other cell black; the title has no path left to show. BackSpace
// still leads out.
TEST_F(Entries, DeletedDirectoryShowsOnlyTheWayOut) {
  for (const bool rescan : {true, false}) {
    SCOPED_TRACE(rescan ? "r" : "exposure");
    const std::string gone = dir_.mkdir("gone");
    const std::string image = dir_.write("gone/00.bmp", small_bmp());
    Pictra& pictra = start(gone);
    ASSERT_EQ(unlink(image.c_str()), 0);
    ASSERT_EQ(rmdir(gone.c_str()), 0);
    if (rescan) {
      pictra.key(XK_r);
    } else {
      pictra.send_expose(0);
    }
    ASSERT_TRUE(pictra.wait_title(title_prefix));
    const WindowPixels pixels = pictra.pixels();
    const std::uint32_t black = expected_pixel(pictra.display(), 0x000000);
    const std::uint32_t white = expected_pixel(pictra.display(), 0xffffff);
    int others = 0;
    for (int y = 0; y < window_height; ++y) {
      for (int x = 0; x < window_width; ++x) {
        const bool first_label =
            x < cell_width && y >= thumb_height && y < thumb_height + label_band;
        others += !first_label && pixels.at(x, y) != black;
      }
    }
    EXPECT_EQ(others, 0) << "pixels left of the old page";
    // The selected "/.." in cell 0: a white bar.
    EXPECT_EQ(pixels.at(cell_width - 3, thumb_height + 2), white);
    pictra.key(XK_BackSpace);
    EXPECT_TRUE(pictra.wait_title(title_prefix + dir_.path()));
  }
}

// The list is "/..", the long name, "b.bmp". The long name reaches the right edge of its own
// cell, and its neighbour's label looks exactly as it does beside a short name.
TEST_F(Entries, LongNameIsClippedToItsCell) {
  const std::string long_name = dir_.write("a" + std::string(200, 'W') + ".bmp", small_bmp());
  dir_.write("b.bmp", small_bmp());
  Pictra& pictra = start(dir_.path());
  const WindowPixels beside_long = pictra.pixels();
  const std::uint32_t black = expected_pixel(pictra.display(), 0x000000);
  int near_edge = 0;
  for (int y = thumb_height; y < cell_height; ++y) {
    for (int x = 2 * cell_width - 8; x < 2 * cell_width - 1; ++x)
      near_edge += beside_long.at(x, y) != black;
  }
  EXPECT_GT(near_edge, 0) << "the long name does not reach its cell's edge";
  for (int y = thumb_height; y < cell_height; ++y)
    EXPECT_EQ(beside_long.at(2 * cell_width - 1, y), black) << "gap between the bars, row " << y;

  ASSERT_EQ(std::rename(long_name.c_str(), dir_.file("a.bmp").c_str()), 0);
  press(XK_r);
  EXPECT_EQ(label_band_of(beside_long, 2), label_band_of(pictra.pixels(), 2));
}

// Under a UTF-8 locale a name with a byte that is no UTF-8 shows "?" in its place: its label is
// the same as that of the name with "?" written there (cells 1 and 2, neither selected).
TEST_F(Entries, InvalidUtf8ShowsAQuestionMark) {
  dir_.write("x?y.bmp", small_bmp());
  dir_.write("x\xffy.bmp", small_bmp());
  Pictra& pictra = start(dir_.path(), {"LC_ALL=C.UTF-8"});
  const WindowPixels pixels = pictra.pixels();
  const std::vector<std::uint32_t> question = label_band_of(pixels, 1);
  EXPECT_EQ(label_band_of(pixels, 2), question);
  // Not two empty labels: the "?" name shows its text.
  const std::uint32_t black = expected_pixel(pictra.display(), 0x000000);
  int lit = 0;
  for (std::uint32_t pixel : question)
    lit += pixel != black;
  EXPECT_GT(lit, 20);
}

}  // namespace
