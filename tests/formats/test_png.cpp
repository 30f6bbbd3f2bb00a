// The PNG module against the whole PNG test suite, with ImageMagick as the independent decoder.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "formats/formats.h"
#include "formats/png.h"
#include "support/tempdir.h"

namespace {

using pictra_test::command_output;

using pictra_test::TempDir;

const std::string suite_dir = std::string(PICTRA_TEST_DATA) + "/pngsuite";

// The suite's deliberately damaged files are the ones whose names start with 'x'.
std::vector<std::string> suite_files(bool damaged) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(suite_dir)) {
    const std::string name = entry.path().filename();
    if (entry.path().extension() != ".png" || name.rfind("PngSuite", 0) == 0) continue;
    if ((name[0] == 'x') == damaged) names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

struct Reference {
  std::int64_t width = -1;
  std::int64_t height = -1;
  std::vector<int> pixels;  // RGB values, rows top to bottom
};

// ImageMagick's decoding as a 16-bit binary PPM, each channel reduced to its high byte here, as
// the loader's 16-bit reduction does. Alpha is switched off, so the colour channels are kept as
// stored rather than blended with a background; the colour space is declared sRGB, or
// ImageMagick would re-encode files with a linear gamma (gAMA 1.0) for output. With these
// options it agrees byte for byte with netpbm's pngtopnm.
Reference reference(const std::string& path) {
  const std::string ppm =
      command_output("convert '" + path + "' -set colorspace sRGB -alpha off -depth 16 ppm:-");
  Reference ref;
  std::istringstream header(ppm);
  std::string magic;
  int maxval = 0;
  header >> magic >> ref.width >> ref.height >> maxval;
  if (magic != "P6" || maxval != 65535) return {};
  std::size_t at = static_cast<std::size_t>(header.tellg()) + 1;  // one whitespace byte
  const std::size_t count = static_cast<std::size_t>(ref.width * ref.height);
  if (ppm.size() != at + count * 6) return {};
  auto high = [&](std::size_t i) { return static_cast<unsigned char>(ppm[at + 2 * i]); };
  for (std::size_t i = 0; i < count; ++i) {
    ref.pixels.push_back(high(3 * i) << 16 | high(3 * i + 1) << 8 | high(3 * i + 2));
  }
  return ref;
}

std::size_t open_descriptors() {
  return static_cast<std::size_t>(std::distance(
      std::filesystem::directory_iterator("/proc/self/fd"), std::filesystem::directory_iterator()));
}

TEST(PngSuite, EveryValidFileDecodesPixelEqualToTheReference) {
  const auto names = suite_files(false);
  ASSERT_GT(names.size(), 150u);
  for (const auto& name : names) {
    SCOPED_TRACE(name);
    const std::string path = suite_dir + "/" + name;
    const Reference ref = reference(path);
    ASSERT_FALSE(ref.pixels.empty()) << "no reference decoding";
    const auto image = png::load(path.c_str(), nullptr, {});
    ASSERT_NE(image, nullptr);
    ASSERT_EQ(image->width, ref.width);
    ASSERT_EQ(image->height, ref.height);
    int mismatches = 0;
    for (std::int32_t y = 0; y < ref.height; ++y) {
      for (std::int32_t x = 0; x < ref.width; ++x) {
        const int want = ref.pixels[static_cast<std::size_t>(y * ref.width + x)];
        const int got = get_pixel(*image, x, y);
        if (got != want && mismatches++ == 0) {
          ADD_FAILURE() << "first difference at " << x << "," << y << ": got " << std::hex << got
                        << ", reference " << want;
        }
      }
    }
    EXPECT_EQ(mismatches, 0);
  }
}

// The damaged files fail without a word and leave no descriptor open. Besides the suite's, a
// 69-byte file whose header claims 1,000,000 x 1,000,000 pixels: it must fail once its data runs
// out, not first reserve a buffer for every row the header promises (minutes and gigabytes).
TEST(PngSuite, DamagedFilesFailAndTheNextLoadWorks) {
  TempDir dir;
  std::vector<std::string> paths;
  for (const auto& name : suite_files(true))
    paths.push_back(suite_dir + "/" + name);
  ASSERT_GE(paths.size(), 14u);
  paths.push_back(dir.write(
      "huge.png",
      std::string("\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR\0\x0f\x42\x40\0\x0f\x42\x40\x08\x02\0\0\0"
                  "\xd3\x0f\xaf\x2a\0\0\0\x0cIDAT\x78\x9c\x63\x60\xa0\x3d\0\0\0\x64\0\x01"
                  "\x86\x64\x3c\x35\0\0\0\0IEND\xae\x42\x60\x82",
                  69)));
  const std::size_t descriptors = open_descriptors();
  for (const auto& path : paths) {
    SCOPED_TRACE(path);
    testing::internal::CaptureStderr();
    EXPECT_EQ(png::load(path.c_str(), nullptr, {}), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(open_descriptors(), descriptors);
  }
}

// A wish reduces plain and interlaced files alike while they decode: the same picture both
// ways gives the same reduced image, each pixel the average of its box in the full decode.
TEST(PngModule, WishReducesPlainAndInterlacedAlike) {
  TempDir dir;
  const std::string plain = dir.file("plain.png");
  const std::string interlaced = dir.file("interlaced.png");
  command_output("convert -size 203x151 plasma:fractal -seed 7 -depth 8 '" + plain + "'");
  command_output("convert '" + plain + "' -interlace PNG '" + interlaced + "'");
  const auto full = png::load(plain.c_str(), nullptr, {});
  ASSERT_NE(full, nullptr);
  for (const std::string& path : {plain, interlaced}) {
    SCOPED_TRACE(path);
    const auto small = png::load(path.c_str(), nullptr, {50, 50});
    ASSERT_NE(small, nullptr);
    // 203 x 151 fitted into 50 x 50 is 50 x 37: a factor of 4 still covers it.
    ASSERT_EQ(small->width, 51u);
    ASSERT_EQ(small->height, 38u);
    EXPECT_EQ(small->full_width, 203u);
    EXPECT_EQ(small->full_height, 151u);
    int worst = 0;
    for (std::uint32_t y = 0; y < small->height; ++y) {
      for (std::uint32_t x = 0; x < small->width; ++x) {
        for (std::size_t c = 0; c < rgb_channels; ++c) {
          int sum = 0;
          int count = 0;
          for (std::uint32_t v = y * 4; v < std::min(y * 4 + 4, 151u); ++v) {
            for (std::uint32_t u = x * 4; u < std::min(x * 4 + 4, 203u); ++u, ++count)
              sum += full->row(v)[u * rgb_channels + c];
          }
          const int want = (sum + count / 2) / count;
          worst = std::max(worst, std::abs(small->row(y)[x * rgb_channels + c] - want));
        }
      }
    }
    EXPECT_EQ(worst, 0);
  }
}

// Files that are not PNG, reached through the format table by name as the program does: they
// fail without a word and leave no descriptor open.
TEST(PngModule, NonPngFilesFailSilentlyThroughTheTable) {
  init_formats();
  TempDir dir;
  // Start of a JPEG file (SOI, APP0 "JFIF"), then an empty file and one shorter than the check.
  const std::string jpeg("\xff\xd8\xff\xe0\x00\x10JFIF\x00\x01\x01\x00\x00\x01\x00\x01\x00\x00",
                         20);
  const struct {
    const char* name;
    std::string bytes;
  } cases[] = {{"x.png", jpeg}, {"empty.png", ""}, {"short.PNG", "\x89PN"}};
  const std::size_t descriptors = open_descriptors();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir.write(c.name, c.bytes);
    const int type = get_type(path.c_str());
    ASSERT_EQ(type, format_png);
    testing::internal::CaptureStderr();
    EXPECT_EQ(formats[type].load(path.c_str(), nullptr, {}), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(open_descriptors(), descriptors);
  }
  EXPECT_EQ(png::load(dir.file("missing.png").c_str(), nullptr, {}), nullptr);
  EXPECT_EQ(png::load(nullptr, nullptr, {}), nullptr);
}

}  // namespace
