// The JPEG module: reduced-scale decoding from the size wish, grey and four-component files
// (CMYK, YCCK) against ImageMagick, and files it must refuse without a word.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <jpeglib.h>

#include "formats/formats.h"
#include "formats/jpeg.h"
#include "support/tempdir.h"

namespace {

using pictra_test::command_output;

using pictra_test::TempDir;

// Samples of pixel (x, y) for a file being written, components of them per pixel.
using SampleFn = std::function<void(int x, int y, JSAMPLE* samples)>;

struct JpegLayout {
  int width = 0;
  int height = 0;
  int components = 3;
  J_COLOR_SPACE input = JCS_RGB;
  J_COLOR_SPACE stored = JCS_YCbCr;
};

// Writes a JPEG with the library itself; its default error handling ends the test on failure.
void write_jpeg(const std::string& path, const JpegLayout& layout, const SampleFn& sample) {
  jpeg_compress_struct encoder{};
  jpeg_error_mgr errors{};
  encoder.err = jpeg_std_error(&errors);
  jpeg_create_compress(&encoder);
  std::FILE* file = std::fopen(path.c_str(), "wb");
  ASSERT_NE(file, nullptr);
  jpeg_stdio_dest(&encoder, file);
  encoder.image_width = static_cast<JDIMENSION>(layout.width);
  encoder.image_height = static_cast<JDIMENSION>(layout.height);
  encoder.input_components = layout.components;
  encoder.in_color_space = layout.input;
  jpeg_set_defaults(&encoder);
  jpeg_set_colorspace(&encoder, layout.stored);
  jpeg_set_quality(&encoder, 95, TRUE);
  jpeg_start_compress(&encoder, TRUE);
  std::vector<JSAMPLE> row(static_cast<std::size_t>(layout.width * layout.components));
  while (encoder.next_scanline < encoder.image_height) {
    const int y = static_cast<int>(encoder.next_scanline);
    for (int x = 0; x < layout.width; ++x)
      sample(x, y, &row[std::size_t(x * layout.components)]);
    JSAMPROW rows[] = {row.data()};
    jpeg_write_scanlines(&encoder, rows, 1);
  }
  jpeg_finish_compress(&encoder);
  jpeg_destroy_compress(&encoder);
  std::fclose(file);
}

std::size_t open_descriptors() {
  return static_cast<std::size_t>(std::distance(
      std::filesystem::directory_iterator("/proc/self/fd"), std::filesystem::directory_iterator()));
}

int channel(int rgb, int shift) {
  return (rgb >> shift) & 0xff;
}

// Largest difference of any channel.
int distance(int a, int b) {
  int most = 0;
  for (int shift : {0, 8, 16})
    most = std::max(most, std::abs(channel(a, shift) - channel(b, shift)));
  return most;
}

// A smooth picture, so that lossy coding and scaling keep it close: red grows to the right,
// green downwards, blue is constant.
constexpr int big_w = 4000;
constexpr int big_h = 3000;
int gradient(int x, int y) {
  return (x * 255 / (big_w - 1)) << 16 | (y * 255 / (big_h - 1)) << 8 | 0x60;
}

// The scale is the smallest M/8 whose output still covers the image fitted into the wish.
TEST(JpegModule, WishPicksTheReducedScaleAndPixelsLandInPlace) {
  TempDir dir;
  const std::string path = dir.file("big.jpg");
  write_jpeg(path, {.width = big_w, .height = big_h}, [](int x, int y, JSAMPLE* s) {
    const int rgb = gradient(x, y);
    s[0] = JSAMPLE(channel(rgb, 16));
    s[1] = JSAMPLE(channel(rgb, 8));
    s[2] = JSAMPLE(channel(rgb, 0));
  });
  const std::string wide = dir.file("wide.jpg");
  write_jpeg(wide, {.width = 6000, .height = 4000},
             [](int, int, JSAMPLE* s) { s[0] = s[1] = s[2] = 90; });
  init_formats();
  ASSERT_EQ(formats[get_type(path.c_str())].load, jpeg::load);
  const struct {
    const std::string& file;
    Wish wish;
    std::uint32_t width, height;
  } cases[] = {
      {path, {160, 100}, 167, 125},      // a thumbnail cell: 1/8 (500 x 375), then 3 x 3 averaged
      {path, {0, 0}, 4000, 3000},        // the view: full size
      {path, {160, 0}, 4000, 3000},      // half a wish is no wish
      {path, {1000, 700}, 1000, 750},    // fitted 933 x 700: 2/8
      {path, {1001, 700}, 1000, 750},    // still height-bound: 2/8
      {path, {1001, 751}, 1500, 1125},   // fitted 1001 x 750: 2/8 falls short in width
      {path, {3999, 3000}, 4000, 3000},  // nothing below 8/8 covers it
      {path, {9000, 9000}, 4000, 3000},  // never enlarged
      {wide, {1820, 980}, 1500, 1000},   // a window of a landscape photo: 1/4
      {wide, {166, 120}, 188, 125},      // 1/8 (750 x 500), then 4 x 4 averaged
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.file << " wish " << c.wish.width << "x" << c.wish.height);
    const auto image = jpeg::load(c.file.c_str(), nullptr, c.wish);
    ASSERT_NE(image, nullptr);
    ASSERT_EQ(image->width, c.width);
    ASSERT_EQ(image->height, c.height);
    ASSERT_EQ(image->rgb.size(), std::size_t{c.width} * c.height * rgb_channels);
    EXPECT_EQ(image->full_width, &c.file == &path ? 4000u : 6000u);
    EXPECT_EQ(image->full_height, &c.file == &path ? 3000u : 4000u);
    EXPECT_EQ(image->pages, 1u);
    if (&c.file != &path) continue;
    const auto w = static_cast<std::int32_t>(c.width);
    const auto h = static_cast<std::int32_t>(c.height);
    // Corners, middle and an off-centre point, compared with the picture at the same place.
    const std::pair<int, int> points[] = {{0, 0},         {w - 1, 0},     {0, h - 1},
                                          {w - 1, h - 1}, {w / 2, h / 2}, {w / 5, h * 3 / 4}};
    for (auto [x, y] : points) {
      const int source =
          gradient(int(std::int64_t{x} * big_w / w), int(std::int64_t{y} * big_h / h));
      EXPECT_LE(distance(get_pixel(*image, x, y), source), 6) << "at " << x << "," << y;
    }
  }
}

TEST(JpegModule, GreyFileGivesEqualChannels) {
  TempDir dir;
  const std::string path = dir.file("grey.jpg");
  write_jpeg(
      path,
      {.width = 64, .height = 48, .components = 1, .input = JCS_GRAYSCALE, .stored = JCS_GRAYSCALE},
      [](int x, int y, JSAMPLE* s) { *s = JSAMPLE(x * 2 + y); });
  const auto image = jpeg::load(path.c_str(), nullptr, {});
  ASSERT_NE(image, nullptr);
  ASSERT_EQ(image->width, 64u);
  ASSERT_EQ(image->height, 48u);
  for (std::int32_t y = 0; y < 48; ++y) {
    for (std::int32_t x = 0; x < 64; ++x) {
      const int rgb = get_pixel(*image, x, y);
      ASSERT_EQ(channel(rgb, 16), channel(rgb, 8)) << x << "," << y;
      ASSERT_EQ(channel(rgb, 8), channel(rgb, 0)) << x << "," << y;
      ASSERT_LE(std::abs(channel(rgb, 0) - (x * 2 + y)), 3) << x << "," << y;
    }
  }
}

// Four-component files as print tools write them, compared with ImageMagick's RGB.
TEST(JpegModule, CmykAndYcckMatchTheReference) {
  TempDir dir;
  constexpr int size = 64;
  // Inverted CMYK as Adobe's tools store it: 255 means no ink. Covers light, dark and mixed.
  const SampleFn inks = [](int x, int y, JSAMPLE* s) {
    s[0] = JSAMPLE(x * 4);
    s[1] = JSAMPLE(y * 4);
    s[2] = JSAMPLE(255 - x * 2);
    s[3] = JSAMPLE(128 + y * 2);
  };
  const std::string cmyk = dir.file("cmyk.jpg");
  const std::string ycck = dir.file("ycck.jpg");
  const std::string magick = dir.file("magick.jpg");
  write_jpeg(
      cmyk, {.width = size, .height = size, .components = 4, .input = JCS_CMYK, .stored = JCS_CMYK},
      inks);
  write_jpeg(
      ycck, {.width = size, .height = size, .components = 4, .input = JCS_CMYK, .stored = JCS_YCCK},
      inks);
  command_output("convert -size 64x64 gradient:orange-navy -colorspace CMYK '" + magick + "'");
  for (const std::string& path : {cmyk, ycck, magick}) {
    SCOPED_TRACE(path);
    const std::string rgb = command_output("convert '" + path + "' -depth 8 rgb:-");
    ASSERT_EQ(rgb.size(), std::size_t{size * size * 3}) << "no reference decoding";
    const auto image = jpeg::load(path.c_str(), nullptr, {});
    ASSERT_NE(image, nullptr);
    ASSERT_EQ(image->width, std::uint32_t{size});
    ASSERT_EQ(image->height, std::uint32_t{size});
    int worst = 0;
    for (std::int32_t y = 0; y < size; ++y) {
      for (std::int32_t x = 0; x < size; ++x) {
        const auto* p =
            reinterpret_cast<const unsigned char*>(&rgb[std::size_t(3 * (y * size + x))]);
        worst = std::max(worst, distance(get_pixel(*image, x, y), p[0] << 16 | p[1] << 8 | p[2]));
      }
    }
    EXPECT_LE(worst, 2);
  }
}

// Files the module refuses fail without a message and without a descriptor left open; a
// truncated file shows what it held, also without a message.
TEST(JpegModule, RefusedFilesFailSilentlyAndTruncatedOnesLoadSilently) {
  TempDir dir;
  const std::string good = dir.file("good.jpg");
  write_jpeg(good, {.width = 16, .height = 8}, [](int, int, JSAMPLE* s) {
    s[0] = 200;
    s[1] = 100;
    s[2] = 50;
  });
  const std::string png_bytes("\x89PNG\r\n\x1a\n\0\0\0\rIHDR\0\0\0\x10\0\0\0\x08\x08\x02\0\0\0",
                              29);
  const std::string two_components = dir.file("two.jpg");
  // Two samples per pixel have no colour meaning; reading them as RGB would overrun the rows.
  write_jpeg(
      two_components,
      {.width = 16, .height = 8, .components = 2, .input = JCS_UNKNOWN, .stored = JCS_UNKNOWN},
      [](int, int, JSAMPLE* s) { s[0] = s[1] = 9; });
  // A few header bytes may declare a size that would take gigabytes to invent data for.
  const std::string good_bytes = pictra_test::read_file(good);
  std::string huge_bytes = good_bytes;
  const auto frame = huge_bytes.find("\xff\xc0");
  ASSERT_NE(frame, std::string::npos);
  huge_bytes.replace(frame + 5, 4, "\xff\xdc\xff\xdc");  // 65500 x 65500
  const std::string cases[] = {
      dir.write("x.jpg", png_bytes),     dir.write("empty.jpg", ""), two_components,
      dir.write("huge.jpg", huge_bytes), dir.file("missing.jpg"),    dir.mkdir("folder.jpg")};
  const std::size_t descriptors = open_descriptors();
  for (const auto& path : cases) {
    SCOPED_TRACE(path);
    testing::internal::CaptureStderr();
    EXPECT_EQ(jpeg::load(path.c_str(), nullptr, {160, 100}), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(open_descriptors(), descriptors);
  }

  // Cut a little way into the entropy-coded data: the library makes up the rest and would warn.
  const auto scan = good_bytes.find("\xff\xda");
  ASSERT_NE(scan, std::string::npos);
  const std::string truncated = dir.write("truncated.jpg", good_bytes.substr(0, scan + 20));
  testing::internal::CaptureStderr();
  const auto image = jpeg::load(truncated.c_str(), nullptr, {});
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  ASSERT_NE(image, nullptr);
  EXPECT_EQ(image->width, 16u);
  EXPECT_EQ(image->height, 8u);
  EXPECT_EQ(open_descriptors(), descriptors);
}

}  // namespace
