// The row builder behind the formats that cannot scale while decoding, against averages
// computed here from the full rows.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "formats/builder.h"

namespace {

constexpr std::uint32_t source_w = 10;
constexpr std::uint32_t source_h = 7;

std::vector<std::uint8_t> random_rows(unsigned seed) {
  std::vector<std::uint8_t> rgb(std::size_t{source_w} * source_h * rgb_channels);
  std::mt19937 random(seed);
  for (auto& c : rgb)
    c = static_cast<std::uint8_t>(random());
  return rgb;
}

// Feeds the given rows of source (in that order) and finishes.
std::unique_ptr<Image> build(const std::vector<std::uint8_t>& source, Wish wish,
                             const std::vector<std::uint32_t>& order) {
  ImageBuilder builder;
  if (!builder.start(source_w, source_h, wish)) return nullptr;
  const std::size_t row_bytes = std::size_t{source_w} * rgb_channels;
  for (std::uint32_t y : order) {
    std::copy_n(source.begin() + y * row_bytes, row_bytes, builder.row(y));
    builder.commit(y);
  }
  return builder.finish();
}

// The rounded average of the factor x factor box at output (x, y) over the committed rows;
// black when the box holds none.
int box_average(const std::vector<std::uint8_t>& source, std::uint32_t factor, std::uint32_t x,
                std::uint32_t y, std::size_t c, std::uint32_t committed_rows) {
  int sum = 0;
  int count = 0;
  for (std::uint32_t v = y * factor; v < std::min((y + 1) * factor, committed_rows); ++v) {
    for (std::uint32_t u = x * factor; u < std::min((x + 1) * factor, source_w); ++u, ++count)
      sum += source[(std::size_t{v} * source_w + u) * rgb_channels + c];
  }
  return count ? (sum + count / 2) / count : 0;
}

TEST(ImageBuilder, WishShrinksByAWholeFactorAndAverages) {
  const auto source = random_rows(3);
  std::vector<std::uint32_t> top_down(source_h), bottom_up(source_h);
  for (std::uint32_t y = 0; y < source_h; ++y) {
    top_down[y] = y;
    bottom_up[y] = source_h - 1 - y;
  }
  const struct {
    const char* what;
    Wish wish;
    std::vector<std::uint32_t> order;
    std::uint32_t factor, width, height;
    std::uint32_t committed_rows;  // the first rows, as a truncated file gives them
  } cases[] = {
      {"no wish: as given", {0, 0}, top_down, 1, 10, 7, 7},
      {"wish above the size: as given", {20, 20}, top_down, 1, 10, 7, 7},
      // 10 x 7 fitted into 3 x 3 is 3 x 2: a factor of 3 still covers it, 4 would not.
      {"fitted 3 x 2: factor 3, partial boxes at the edges", {3, 3}, top_down, 3, 4, 3, 7},
      {"rows bottom up", {3, 3}, bottom_up, 3, 4, 3, 7},
      {"fitted 5 x 3: factor 2", {5, 100}, top_down, 2, 5, 4, 7},
      {"truncated after 4 rows: the rest stays black", {3, 3}, {0, 1, 2, 3}, 3, 4, 3, 4},
      {"truncated, full size", {}, {0, 1, 2}, 1, 10, 7, 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const auto image = build(source, c.wish, c.order);
    ASSERT_NE(image, nullptr);
    ASSERT_EQ(image->width, c.width);
    ASSERT_EQ(image->height, c.height);
    EXPECT_EQ(image->full_width, source_w);
    EXPECT_EQ(image->full_height, source_h);
    for (std::uint32_t y = 0; y < c.height; ++y) {
      for (std::uint32_t x = 0; x < c.width; ++x) {
        for (std::size_t ch = 0; ch < rgb_channels; ++ch) {
          ASSERT_EQ(image->row(y)[x * rgb_channels + ch],
                    box_average(source, c.factor, x, y, ch, c.committed_rows))
              << x << "," << y;
        }
      }
    }
  }
}

// A row given as one colour comes out as the same row written out, at any factor.
TEST(ImageBuilder, AFilledRowEqualsThatRowWritten) {
  const std::uint8_t colour[rgb_channels] = {200, 10, 77};
  auto source = random_rows(5);
  const std::size_t row_bytes = std::size_t{source_w} * rgb_channels;
  for (std::uint32_t y = 4; y < source_h; ++y)
    for (std::size_t i = 0; i < row_bytes; ++i)
      source[y * row_bytes + i] = colour[i % rgb_channels];
  for (Wish wish : {Wish{}, Wish{5, 3}, Wish{2, 1}}) {
    std::vector<std::uint32_t> all(source_h);
    for (std::uint32_t y = 0; y < source_h; ++y)
      all[y] = y;
    const auto written = build(source, wish, all);
    ImageBuilder builder;
    ASSERT_TRUE(builder.start(source_w, source_h, wish));
    for (std::uint32_t y = 0; y < 4; ++y) {
      std::copy_n(source.begin() + y * row_bytes, row_bytes, builder.row(y));
      builder.commit(y);
    }
    // A row alone, then the rest in one call that crosses bands and runs past the end.
    builder.fill(4, 1, colour);
    builder.fill(5, source_h, colour);
    const auto filled = builder.finish();
    ASSERT_TRUE(written && filled);
    EXPECT_EQ(filled->rgb, written->rgb) << "wish " << wish.width << "x" << wish.height;
  }
}

TEST(ImageBuilder, TheCapRefusesOverLargeSizes) {
  ImageBuilder builder;
  EXPECT_FALSE(builder.start(0, 5, {}));
  EXPECT_FALSE(builder.start(5, 0, {}));
  EXPECT_FALSE(builder.start(65535, 65535, {100, 100}));  // refused even when reduced
  EXPECT_FALSE(builder.start(max_image_pixels + 1, 1, {}));
  EXPECT_FALSE(builder.start(std::uint64_t{1} << 32, std::uint64_t{1} << 32, {}));
  EXPECT_EQ(make_image(std::uint64_t{1} << 15, (std::uint64_t{1} << 15) + 1), nullptr);
  EXPECT_EQ(make_image(0, 1), nullptr);
  // Exactly the cap is allowed; reduced, only the reduced image is allocated.
  ASSERT_TRUE(builder.start(std::uint64_t{1} << 15, std::uint64_t{1} << 15, {64, 64}));
  const auto image = builder.finish();
  ASSERT_NE(image, nullptr);
  EXPECT_EQ(image->width, 64u);
  EXPECT_EQ(image->full_width, 32768u);
}

}  // namespace
