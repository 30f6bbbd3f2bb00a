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
    ASSERT_EQ(png::load(path.c_str(), nullptr, 0, 0), 1);
    ASSERT_EQ(png::get_width(), ref.width);
    ASSERT_EQ(png::get_height(), ref.height);
    int mismatches = 0;
    for (std::int32_t y = 0; y < ref.height; ++y) {
      for (std::int32_t x = 0; x < ref.width; ++x) {
        const int want = ref.pixels[static_cast<std::size_t>(y * ref.width + x)];
        const int got = png::get_pixel(x, y, 1);
        if (got != want && mismatches++ == 0) {
          ADD_FAILURE() << "first difference at " << x << "," << y << ": got " << std::hex << got
                        << ", reference " << want;
        }
      }
    }
    EXPECT_EQ(mismatches, 0);
    // Outside the image is black, also just past each edge.
    const auto w = static_cast<std::int32_t>(ref.width);
    const auto h = static_cast<std::int32_t>(ref.height);
    EXPECT_EQ(png::get_pixel(w, 0, 1), 0);
    EXPECT_EQ(png::get_pixel(0, h, 1), 0);
    EXPECT_EQ(png::get_pixel(-1, 0, 1), 0);
    EXPECT_EQ(png::get_pixel(0, -1, 1), 0);
    png::unload();
  }
}

// The damaged files fail without ending the program, leave nothing behind once unloaded, and
// a good file loads normally after each. Besides the suite's, a 69-byte file whose header
// claims 1,000,000 x 1,000,000 pixels: it must fail once its data runs out, not first reserve
// a buffer for every row the header promises (minutes and gigabytes).
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
  const std::string good = suite_dir + "/basn2c08.png";
  const std::size_t descriptors = open_descriptors();
  for (const auto& path : paths) {
    SCOPED_TRACE(path);
    EXPECT_EQ(png::load(path.c_str(), nullptr, 0, 0), 0);
    EXPECT_EQ(png::get_pixel(0, 0, 1), 0);
    png::unload();
    EXPECT_EQ(open_descriptors(), descriptors);

    ASSERT_EQ(png::load(good.c_str(), nullptr, 0, 0), 1);
    EXPECT_EQ(png::get_width(), 32);
    EXPECT_EQ(png::get_pixel(0, 0, 1), 0xffffff);  // its top-left pixel is white
    png::unload();
  }
}

// Files that are not PNG, reached through the format table by name as the program does: they
// fail without a word, and unload closes the file.
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
    EXPECT_EQ(formats[type].load(path.c_str(), nullptr, 0, 0), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    formats[type].unload();
    EXPECT_EQ(open_descriptors(), descriptors);
  }
  // Nothing to open, and unloading twice, are harmless.
  EXPECT_EQ(png::load(dir.file("missing.png").c_str(), nullptr, 0, 0), 0);
  png::unload();
  png::unload();
  EXPECT_EQ(png::load(nullptr, nullptr, 0, 0), 0);
  png::unload();
}

}  // namespace
