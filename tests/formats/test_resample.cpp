// The resampler against independent computations: the bilinear rule for enlarging, exact area
// averages for shrinking, regions as parts of the whole, and the quarter turns.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>

#include "formats/formats.h"
#include "formats/resample.h"

namespace {

Image random_image(std::uint32_t w, std::uint32_t h, unsigned seed) {
  Image image;
  image.width = image.full_width = w;
  image.height = image.full_height = h;
  image.rgb = Raster(std::size_t{w} * h * rgb_channels);
  std::mt19937 random(seed);
  for (auto& c : image.rgb)
    c = static_cast<std::uint8_t>(random());
  return image;
}

int channel(const Image& image, std::int64_t x, std::int64_t y, int c) {
  return image.row(static_cast<std::uint32_t>(y))[x * rgb_channels + c];
}

int round_half_up(double v) {
  return static_cast<int>(std::floor(v + 0.5));
}

// The view's rule written out: position j x (source / destination), the column pair mixed
// vertically, then horizontally, each mix rounded half up; the last row and column repeat.
int bilinear(const Image& image, double x, double y, int c) {
  const auto x0 = static_cast<std::int64_t>(x), y0 = static_cast<std::int64_t>(y);
  const std::int64_t x1 = std::min<std::int64_t>(x0 + 1, image.width - 1);
  const std::int64_t y1 = std::min<std::int64_t>(y0 + 1, image.height - 1);
  const double fx = x - x0, fy = y - y0;
  const int left =
      round_half_up(channel(image, x0, y0, c) * (1 - fy) + channel(image, x0, y1, c) * fy);
  const int right =
      round_half_up(channel(image, x1, y0, c) * (1 - fy) + channel(image, x1, y1, c) * fy);
  return round_half_up(left * (1 - fx) + right * fx);
}

// The exact area average of the source under destination pixel (x, y).
double area_average(const Image& image, std::uint32_t dw, std::uint32_t dh, std::uint32_t x,
                    std::uint32_t y, int c) {
  const double sx = double(image.width) / dw, sy = double(image.height) / dh;
  double sum = 0;
  for (std::uint32_t v = 0; v < image.height; ++v) {
    const double oy = std::min((y + 1) * sy, v + 1.0) - std::max(y * sy, double(v));
    if (oy <= 0) continue;
    for (std::uint32_t u = 0; u < image.width; ++u) {
      const double ox = std::min((x + 1) * sx, u + 1.0) - std::max(x * sx, double(u));
      if (ox > 0) sum += ox * oy * channel(image, u, v, c);
    }
  }
  return sum / (sx * sy);
}

TEST(Resample, EnlargesByTheViewsBilinearRule) {
  const Image source = random_image(7, 5, 1);
  for (auto [w, h] : {std::pair{7u, 5u}, {20u, 9u}, {64u, 33u}, {7u, 40u}}) {
    const auto out = resample(source, w, h);
    ASSERT_TRUE(out);
    const double xs = double(source.width) / w, ys = double(source.height) / h;
    for (std::uint32_t y = 0; y < h; ++y)
      for (std::uint32_t x = 0; x < w; ++x)
        for (int c = 0; c < 3; ++c)
          ASSERT_EQ(channel(*out, x, y, c), bilinear(source, x * xs, y * ys, c))
              << w << "x" << h << " at " << x << "," << y;
  }
}

TEST(Resample, ShrinksToTheAreaAverage) {
  const Image source = random_image(61, 47, 2);
  for (auto [w, h] : {std::pair{30u, 23u}, {13u, 10u}, {60u, 46u}, {1u, 1u}, {61u, 5u}}) {
    const auto out = resample(source, w, h);
    ASSERT_TRUE(out);
    for (std::uint32_t y = 0; y < h; ++y)
      for (std::uint32_t x = 0; x < w; ++x)
        for (int c = 0; c < 3; ++c)
          ASSERT_NEAR(channel(*out, x, y, c), area_average(source, w, h, x, y, c), 1.0)
              << w << "x" << h << " at " << x << "," << y;
  }
}

TEST(Resample, FinestDetailBecomesItsAverage) {
  // One-pixel black and white stripes, halved: every pixel is the mid grey, no moire.
  Image stripes = random_image(64, 64, 3);
  for (std::uint32_t y = 0; y < 64; ++y)
    for (std::uint32_t x = 0; x < 64; ++x)
      for (int c = 0; c < 3; ++c)
        stripes.row(y)[x * 3 + c] = (x + y) % 2 ? 255 : 0;
  const auto out = resample(stripes, 32, 32);
  ASSERT_TRUE(out);
  for (std::uint8_t v : out->rgb)
    ASSERT_EQ(v, 128);
}

TEST(Resample, ARegionIsThatPartOfTheWhole) {
  const Image source = random_image(90, 70, 4);
  for (auto [w, h] : {std::pair{40u, 31u}, {200u, 150u}, {45u, 140u}}) {
    const auto whole = resample(source, w, h);
    const ScaleRegion region{w, h, w / 3, h / 4, w / 2, h / 2};
    const auto part = resample(source, region);
    ASSERT_TRUE(whole && part);
    for (std::uint32_t y = 0; y < region.height; ++y)
      for (std::uint32_t x = 0; x < region.width; ++x)
        for (int c = 0; c < 3; ++c)
          ASSERT_EQ(channel(*part, x, y, c), channel(*whole, x + region.x, y + region.y, c));
  }
  EXPECT_FALSE(resample(source, ScaleRegion{10, 10, 5, 0, 6, 10})) << "past the right edge";
  EXPECT_FALSE(resample(source, 0, 10));
}

TEST(TurnImage, TurnsClockwiseByQuarters) {
  const Image source = random_image(5, 3, 5);
  for (int turns : {0, 1, 2, 3, -1, 6}) {
    const auto out = turn_image(source, turns);
    ASSERT_TRUE(out);
    const int t = ((turns % 4) + 4) % 4;
    ASSERT_EQ(out->width, t % 2 ? 3u : 5u);
    for (std::uint32_t sy = 0; sy < 3; ++sy)
      for (std::uint32_t sx = 0; sx < 5; ++sx) {
        // Where a clockwise quarter turn repeated t times takes (sx, sy).
        std::int64_t x = sx, y = sy, w = 5, h = 3;
        for (int i = 0; i < t; ++i) {
          const std::int64_t nx = h - 1 - y, ny = x;
          x = nx;
          y = ny;
          std::swap(w, h);
        }
        for (int c = 0; c < 3; ++c)
          ASSERT_EQ(channel(*out, x, y, c), channel(source, sx, sy, c)) << turns;
      }
  }
}

// Odd and even sizes, and a single column or row, where the middle stays put.
TEST(MirrorImage, SwapsColumnsRowsOrBoth) {
  struct Size2 {
    std::uint32_t w, h;
  };
  for (const Size2 size : {Size2{5, 4}, Size2{4, 3}, Size2{1, 3}, Size2{3, 1}}) {
    const Image source = random_image(size.w, size.h, 7);
    for (const bool left_right : {false, true}) {
      for (const bool top_bottom : {false, true}) {
        Image out = source;
        mirror_image(out, left_right, top_bottom);
        for (std::uint32_t y = 0; y < size.h; ++y)
          for (std::uint32_t x = 0; x < size.w; ++x) {
            const std::uint32_t sx = left_right ? size.w - 1 - x : x;
            const std::uint32_t sy = top_bottom ? size.h - 1 - y : y;
            for (int c = 0; c < 3; ++c)
              ASSERT_EQ(channel(out, x, y, c), channel(source, sx, sy, c))
                  << size.w << "x" << size.h << " " << left_right << top_bottom;
          }
      }
    }
  }
}

}  // namespace
