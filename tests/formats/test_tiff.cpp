// The TIFF module on files made by ImageMagick: directories, the selector, and pixels compared
// with ImageMagick's own decode of the same file.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "formats/formats.h"
#include "formats/tiff.h"
#include "support/tempdir.h"

namespace {

using pictra_test::command_output;
using pictra_test::TempDir;
using Names = std::vector<std::string>;

constexpr int width = 7;
constexpr int height = 5;

// The source image's colour at (x, y), counted from the top left as displayed.
int source_rgb(int x, int y) {
  return (x * 40 & 0xff) << 16 | (y * 60 & 0xff) << 8 | ((x + y) * 25 & 0xff);
}

// A binary PPM of source_rgb; with deep, 16 bits per sample whose low bytes differ from their
// high bytes, so that reducing them to 8 bits is seen.
std::string ppm(int w, int h, bool deep = false) {
  std::string out =
      "P6 " + std::to_string(w) + " " + std::to_string(h) + (deep ? " 65535\n" : " 255\n");
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      const int rgb = source_rgb(x, y);
      for (const int shift : {16, 8, 0}) {
        const int sample = rgb >> shift & 0xff;
        if (deep) {
          const int wide = sample * 256 + (x * 37 + y * 11 + shift) % 256;
          out.push_back(static_cast<char>(wide >> 8));
          out.push_back(static_cast<char>(wide & 0xff));
        } else {
          out.push_back(static_cast<char>(sample));
        }
      }
    }
  }
  return out;
}

void run(const std::string& command) {
  ASSERT_EQ(std::system((command + " 2>&1").c_str()), 0) << command;
}

// What ImageMagick decodes from a file: its size and pixels, top row first.
struct Decoded {
  int w = 0;
  int h = 0;
  std::vector<int> rgb;
};

Decoded reference(const std::string& file) {
  Decoded d;
  const std::string size = command_output("identify -format '%w %h' '" + file + "'");
  EXPECT_EQ(std::sscanf(size.c_str(), "%d %d", &d.w, &d.h), 2) << file;
  const std::string bytes = command_output("convert '" + file + "' -depth 8 rgb:-");
  EXPECT_EQ(bytes.size(), static_cast<std::size_t>(d.w) * d.h * 3) << file;
  for (std::size_t i = 0; i + 2 < bytes.size(); i += 3) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(bytes[i + k]); };
    d.rgb.push_back(byte(0) << 16 | byte(1) << 8 | byte(2));
  }
  return d;
}

int channel_distance(int a, int b) {
  int worst = 0;
  for (const int shift : {16, 8, 0}) {
    worst = std::max(worst, std::abs((a >> shift & 0xff) - (b >> shift & 0xff)));
  }
  return worst;
}

// Loads file as the program does, its orientation applied, and compares every pixel with
// expected, upside down when flipped.
void expect_decodes_as(const std::string& file, const char* selector, const Decoded& expected,
                       int tolerance = 0, bool flipped = false) {
  const auto image = load_image(file.c_str(), selector, {});
  ASSERT_NE(image, nullptr) << file;
  ASSERT_EQ(image->width, static_cast<std::uint32_t>(expected.w)) << file;
  ASSERT_EQ(image->height, static_cast<std::uint32_t>(expected.h)) << file;
  int worst = 0;
  for (int y = 0; y < expected.h; ++y) {
    const int source_y = flipped ? expected.h - 1 - y : y;
    for (int x = 0; x < expected.w; ++x) {
      const int got = get_pixel(*image, x, y);
      worst = std::max(
          worst,
          channel_distance(got, expected.rgb[static_cast<std::size_t>(source_y) * expected.w + x]));
    }
  }
  EXPECT_LE(worst, tolerance) << file;
}

class Tiff : public testing::Test {
 protected:
  void SetUp() override { init_formats(); }

  // A three-directory file of 7x5, 4x3 and 6x2 images of source_rgb.
  std::string three() {
    dir.write("d0.ppm", ppm(width, height));
    dir.write("d1.ppm", ppm(4, 3));
    dir.write("d2.ppm", ppm(6, 2));
    const std::string file = dir.file("three.tif");
    run("convert " + dir.file("d0.ppm") + " " + dir.file("d1.ppm") + " " + dir.file("d2.ppm") +
        " -depth 8 " + file);
    return file;
  }

  TempDir dir;
};

TEST_F(Tiff, PixelsMatchAnIndependentDecode) {
  dir.write("src.ppm", ppm(width, height));
  dir.write("src16.ppm", ppm(width, height, true));
  const std::string src = dir.file("src.ppm");
  struct Case {
    const char* name;
    std::string command;
    int tolerance;  // 16 bits reduced to 8 may round differently by one
  };
  const Case cases[] = {
      {"rgb.tif", "convert " + src + " -depth 8 -compress none", 0},
      {"lzw.tif", "convert " + src + " -depth 8 -compress lzw -define tiff:rows-per-strip=2", 0},
      {"grey.tif", "convert " + src + " -colorspace Gray -depth 8", 0},
      {"palette.tif", "convert " + src + " -type Palette", 0},
      {"deep.tif", "convert " + dir.file("src16.ppm") + " -depth 16", 1},
      {"bilevel.tif",
       "convert " + src + " -colorspace Gray -threshold 50% -depth 1 -compress group4", 0},
  };
  for (const Case& c : cases) {
    const std::string file = dir.file(c.name);
    run(c.command + " " + file);
    expect_decodes_as(file, "", reference(file), c.tolerance);
  }

  // The top left as displayed is (0, 0).
  const auto image = tiff::load(dir.file("rgb.tif").c_str(), nullptr, {});
  ASSERT_NE(image, nullptr);
  EXPECT_EQ(get_pixel(*image, 0, 0), source_rgb(0, 0));
  EXPECT_EQ(get_pixel(*image, width - 1, height - 1), source_rgb(width - 1, height - 1));
  EXPECT_EQ(get_pixel(*image, width - 1, 0), source_rgb(width - 1, 0));
  EXPECT_EQ(image->pages, 1u);
}

// Wide files read in several bands: rows split across strips of odd height, tiles (uncompressed
// ones of a size that is no multiple of a kilobyte among them), one strip
// taller than a band (read as one larger band), and a file stored bottom up, which is turned
// over after the bands are joined.
TEST_F(Tiff, BandsJoinWithoutSeams) {
  // Bands hold 16 MiB of RGBA: 1024 rows of this width, so the picture takes two.
  const std::string picture = dir.write("wide.ppm", ppm(4096, 1100));
  struct Case {
    const char* name;
    const char* options;
    bool flipped;
  };
  const Case cases[] = {
      {"strips.tif", "-define tiff:rows-per-strip=7 -compress lzw", false},
      {"tiles.tif", "-define tiff:tile-geometry=256x256", false},
      {"small-tiles.tif", "-define tiff:tile-geometry=48x16 -compress none", false},
      {"one-strip.tif", "-define tiff:rows-per-strip=1100 -compress zip", false},
      {"bottom-up.tif", "-orient bottom-left -define tiff:rows-per-strip=64", true},
  };
  const Decoded expected = reference(picture);
  for (const Case& c : cases) {
    const std::string file = dir.file(c.name);
    run("convert " + picture + " " + c.options + " " + file);
    expect_decodes_as(file, "", expected, 0, c.flipped);
  }
}

TEST_F(Tiff, SelectorPicksTheDirectory) {
  const std::string file = three();
  struct Case {
    const char* selector;
    std::string reference_of;
  };
  const Case cases[] = {
      {"2", file + "[2]"},
      {"1", file + "[1]"},
      {"x", file + "[0]"},  // not a number: directory 0
      {"", file + "[0]"},
      {nullptr, file + "[0]"},
      // No such directory: the library stays on the one it read on opening.
      {"9", file + "[0]"},
      {"-1", file + "[0]"},
      {"99999999999999999999", file + "[0]"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.selector ? c.selector : "none");
    expect_decodes_as(file, c.selector, reference(c.reference_of));
  }
}

TEST_F(Tiff, DirectoriesAreNamedAndCounted) {
  const std::string three_file = three();
  const std::string one_file = dir.file("one.tif");
  run("convert " + dir.file("d0.ppm") + " " + one_file);

  const struct {
    std::string file;
    Names names;
  } cases[] = {
      {three_file, {"00000000", "00000001", "00000002"}},
      {one_file, {}},  // one image is an image, not a listing
      {dir.file("missing.tif"), {}},
      {dir.file("d0.ppm"), {}},
  };
  for (const auto& c : cases)
    EXPECT_EQ(tiff::list_pages(c.file.c_str()), c.names) << c.file;
  EXPECT_EQ(formats[format_tiff].list_pages, tiff::list_pages);

  // Every directory's image knows how many the file holds.
  for (const char* selector : {"", "1", "2"}) {
    const auto image = tiff::load(three_file.c_str(), selector, {});
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->pages, 3u) << selector;
  }
}

// A minimal little-endian TIFF: one 8-bit greyscale strip of the given bytes, whatever size the
// header claims.
std::string grey_tiff(std::uint32_t w, std::uint32_t h, const std::string& strip,
                      std::uint32_t compression = 1) {
  std::string out = "II*";
  out.push_back('\0');
  const auto u16 = [&](std::uint32_t v) {
    out.push_back(static_cast<char>(v & 0xff));
    out.push_back(static_cast<char>(v >> 8 & 0xff));
  };
  const auto u32 = [&](std::uint32_t v) {
    u16(v & 0xffff);
    u16(v >> 16);
  };
  constexpr std::uint32_t entries = 9;
  constexpr std::uint32_t ifd_offset = 8;
  const std::uint32_t strip_offset = ifd_offset + 2 + entries * 12 + 4;
  u32(ifd_offset);
  u16(entries);
  const auto entry = [&](std::uint32_t tag, std::uint32_t type, std::uint32_t value) {
    u16(tag);
    u16(type);
    u32(1);
    if (type == 3) {
      u16(value);
      u16(0);
    } else {
      u32(value);
    }
  };
  constexpr std::uint32_t type_short = 3;
  constexpr std::uint32_t type_long = 4;
  entry(256, type_long, w);
  entry(257, type_long, h);
  entry(258, type_short, 8);
  entry(259, type_short, compression);
  entry(262, type_short, 1);  // min-is-black
  entry(273, type_long, strip_offset);
  entry(277, type_short, 1);
  entry(278, type_long, h);
  entry(279, type_long, static_cast<std::uint32_t>(strip.size()));
  u32(0);
  return out + strip;
}

constexpr std::uint32_t unknown_compression = 65532;

TEST_F(Tiff, RasterSizeIsCheckedIn64Bits) {
  // The hand-made file itself decodes: 2 x 2 grey levels.
  const std::string small =
      dir.write("small.tif", grey_tiff(2, 2, std::string("\x00\x40\x80\xff", 4)));
  const auto image = tiff::load(small.c_str(), "", {});
  ASSERT_NE(image, nullptr);
  EXPECT_EQ(get_pixel(*image, 0, 0), 0x000000);
  EXPECT_EQ(get_pixel(*image, 1, 0), 0x404040);
  EXPECT_EQ(get_pixel(*image, 1, 1), 0xffffff);

  // Sizes whose raster wraps 32 bits to a few bytes, or is beyond any display, fail the load
  // instead of handing the library a short raster; silently, though the library complains.
  for (const auto& [w, h] :
       {std::pair<std::uint32_t, std::uint32_t>{65537, 65536}, {0x40000001, 4}, {0xffffffff, 3}}) {
    const std::string file = dir.write("huge.tif", grey_tiff(w, h, std::string(16, 'x')));
    run("tiffinfo " + file + " >/dev/null");  // the library takes the file: the size decides
    testing::internal::CaptureStderr();
    EXPECT_EQ(tiff::load(file.c_str(), "", {}), nullptr) << w << "x" << h;
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  }
  // A strip cut short fails the load, as the library reports it, without a word on stderr.
  const std::string cut =
      dir.write("cut.tif", grey_tiff(64, 64, std::string(100, 'x')).substr(0, 150));
  testing::internal::CaptureStderr();
  EXPECT_EQ(tiff::load(cut.c_str(), "", {}), nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  // So does a compression the library has no codec for: it would hand over its buffer unfilled.
  const std::string unknown = dir.write(
      "unknown.tif", grey_tiff(2, 2, std::string("\x00\x40\x80\xff", 4), unknown_compression));
  EXPECT_EQ(tiff::load(unknown.c_str(), "", {}), nullptr);
}

}  // namespace
