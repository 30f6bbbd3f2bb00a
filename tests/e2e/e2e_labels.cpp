// The labels under the cells of the real binary: a long name stays inside its cell, and a name
// that is not valid in the locale's encoding still shows every byte.
#include <gtest/gtest.h>  // before the X headers, whose macros clash with it

#include <X11/keysym.h>
#include <cstdio>

#include <memory>
#include <string>
#include <vector>

#include "support/bmp_file.h"
#include "support/driver.h"
#include "support/tempdir.h"

namespace {

using namespace pictra_test;

constexpr char title_prefix[] = "pictra-0.31 - ";
constexpr char config_header[] = "\n# pictrarc - configuration file for pictra\n\n";
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

class Labels : public testing::Test {
 protected:
  Pictra& start(std::vector<std::string> setenv = {}) {
    home_.write(".pictrarc", std::string(config_header) +
                                 "xpos=0\nypos=0\nwidth=" + std::to_string(window_width) +
                                 "\nheight=" + std::to_string(window_height) + "\n");
    pictra_ = std::make_unique<Pictra>(
        PictraOptions{home_.path(), dir_.path(), {}, std::move(setenv), false});
    EXPECT_TRUE(pictra_->wait_title(title_prefix + dir_.path()));
    return *pictra_;
  }

  TempDir home_;
  TempDir dir_;
  std::unique_ptr<Pictra> pictra_;
};

// The list is "/..", the long name, "b.bmp". The long name reaches the right edge of its own
// cell, and its neighbour's label looks exactly as it does beside a short name.
TEST_F(Labels, LongNameIsClippedToItsCell) {
  const std::string long_name = dir_.write("a" + std::string(200, 'W') + ".bmp", small_bmp());
  dir_.write("b.bmp", small_bmp());
  Pictra& pictra = start();
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
  const int before = pictra.title_changes();
  pictra.key(XK_r);
  ASSERT_TRUE(pictra.wait_title_changes(before + 1));
  EXPECT_EQ(label_band_of(beside_long, 2), label_band_of(pictra.pixels(), 2));
}

// Under a UTF-8 locale a name with a byte that is no UTF-8 shows "?" in its place: its label is
// the same as that of the name with "?" written there (cells 1 and 2, neither selected).
TEST_F(Labels, InvalidUtf8ShowsAQuestionMark) {
  dir_.write("x?y.bmp", small_bmp());
  dir_.write("x\xffy.bmp", small_bmp());
  Pictra& pictra = start({"LC_ALL=C.UTF-8"});
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
