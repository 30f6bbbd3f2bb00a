// The bilinear sampler over real BMP files, and the rounding of its mixes.
#include <gtest/gtest.h>

#include <limits>

#include "formats/formats.h"
#include "support/bmp_file.h"
#include "support/tempdir.h"
#include "viewer/viewer.h"

namespace {

using pictra_test::RgbImage;

TEST(BlendRgb, RoundsEachChannelHalfUpWithinLimits) {
  struct Case {
    int a;
    int b;
    double wb;
    int expected;
    const char* what;
  };
  const Case cases[] = {
      {0x000001, 0x000000, 0.51, 0x000000, "a mix of 0.49 gives 0"},
      {0x000100, 0x000000, 0.5, 0x000100, "a mix of 0.5 gives 1"},
      {0xff0000, 0xfe0000, 0.51, 0xfe0000, "a mix of 254.49 gives 254"},
      {0xff0000, 0xfe0000, 0.5, 0xff0000, "a mix of 254.5 gives 255"},
      {0x000000, 0xffffff, 0.5, 0x808080, "black and white half and half"},
      {0x7f102030, 0x01102030, 0.25, 0x102030, "the top bytes are dropped"},
      {0x0a141e, 0x1e140a, 0.25, 0x0f1419, "channels mix apart: 15, 20, 25"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(blend_rgb(c.a, c.b, c.wb, 1.0 - c.wb), c.expected) << c.what;
  }
}

TEST(TruncToInt32, TruncatesTowardZeroAndSaturatesOutsideTheRange) {
  EXPECT_EQ(trunc_to_int32(99.75), 99);
  EXPECT_EQ(trunc_to_int32(-0.75), 0);
  EXPECT_EQ(trunc_to_int32(2147483647.5), 2147483647);
  EXPECT_EQ(trunc_to_int32(1e300), 2147483647);
  EXPECT_EQ(trunc_to_int32(std::numeric_limits<double>::quiet_NaN()), 2147483647);
  EXPECT_EQ(trunc_to_int32(-1e300), -2147483647 - 1);
}

// A 100 x 2 image written as a BMP file and loaded through the format table.
class SampleBilinear : public ::testing::Test {
 protected:
  static constexpr int width = 100;
  static constexpr int height = 2;

  void SetUp() override {
    init_formats();
    image_.width = width;
    image_.height = height;
    image_.pixels.assign(width * height, 0x405060);
    set(0, 0, 0x000000);  // black over white in column 0 ...
    set(1, 0, 0xffffff);
    set(0, 1, 0x000000);  // ... and the same in the row below
    set(1, 1, 0xffffff);
    set(2, 0, 0x000000);  // a lone blue 1 at (2, 1): the mixes round before they meet
    set(3, 0, 0x000000);
    set(2, 1, 0x000001);
    set(3, 1, 0x000000);
    set(5, 1, 0x123456);
    set(99, 0, 0x64c8fe);
    set(99, 1, 0x0a0a0a);
    const std::string path = dir_.write("sample.bmp", pictra_test::bmp24(image_));
    ASSERT_EQ(get_type(path.c_str()), format_bmp);
    loaded_ = formats[format_bmp].load(path.c_str(), "", 0, 0);
    ASSERT_TRUE(loaded_);
    ASSERT_EQ(formats[format_bmp].get_width(), width);
    ASSERT_EQ(formats[format_bmp].get_height(), height);
  }
  void TearDown() override { formats[format_bmp].unload(); }

  void set(int x, int y, int rgb) { image_.pixels[y * width + x] = rgb; }

  pictra_test::TempDir dir_;
  RgbImage image_;
  int loaded_ = 0;
};

TEST_F(SampleBilinear, MixesTheFourNeighboursInThreeRoundedSteps) {
  struct Case {
    double x;
    double y;
    int expected;
    const char* what;
  };
  const Case cases[] = {
      {5.0, 1.0, 0x123456, "exactly on a pixel, its colour unchanged"},
      {0.5, 0.0, 0x808080, "half way from black to white rounds 127.5 up"},
      {0.5, 0.5, 0x808080, "the same two columns mixed vertically first"},
      // The left column mixes 0 and 1 to 1 (0.5 rounded up), the right one gives 0, and half
      // of 1 rounds up again: 1, where the exact bilinear value 0.25 would give 0.
      {2.5, 0.5, 0x000001, "each mix rounds before the next"},
      // x1 = 100 lies outside: a quarter of 0x64c8fe is 25, 50 and 63.5 rounded up.
      {99.75, 0.0, 0x193240, "the last column fades toward black"},
      // y1 = 2 lies outside: three quarters of 0x123456 is 13.5, 39 and 64.5.
      {5.0, 1.25, 0x0e2741, "the last row fades toward black"},
      // Only (99, 1) is inside: 10 scaled by 0.5 and by 0.5 again, rounding 5 x 0.5 up.
      {99.5, 1.5, 0x030303, "the bottom-right corner fades by both fractions"},
      {100.0, 0.0, 0x000000, "a sample past the last column is black"},
      {0.0, 2.5, 0x000000, "a sample past the last row is black"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(sample_bilinear(format_bmp, c.x, c.y), c.expected)
        << c.what << " at (" << c.x << ", " << c.y << ")";
  }
}

}  // namespace
