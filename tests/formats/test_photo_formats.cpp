// WebP, HEIC, AVIF and JPEG XL on files made by each format's reference encoder, compared with
// what its reference decoder makes of the same file; then damaged and truncated files.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "formats/formats.h"
#include "support/tempdir.h"

namespace {

using pictra_test::command_output;
using pictra_test::TempDir;

// Odd sizes, so that chroma subsampling and block edges are reached.
constexpr int source_width = 97;
constexpr int source_height = 61;
constexpr int reference_tolerance = 2;

// Four flat quadrants with a smooth band across the middle: flat areas for the lossy codecs,
// a gradient for their rounding.
int source_rgb(int x, int y) {
  if (y >= 24 && y < 36) return (x * 255 / (source_width - 1)) << 16 | 0x80 << 8 | (y * 4);
  static constexpr int quadrants[] = {0xe0a020, 0x2060c0, 0x20c040, 0xf0f0f0};
  return quadrants[(x >= source_width / 2 ? 1 : 0) + (y >= source_height / 2 ? 2 : 0)];
}

std::string source_ppm() {
  std::string out =
      "P6 " + std::to_string(source_width) + " " + std::to_string(source_height) + " 255\n";
  for (int y = 0; y < source_height; ++y) {
    for (int x = 0; x < source_width; ++x) {
      for (const int shift : {16, 8, 0})
        out.push_back(static_cast<char>(source_rgb(x, y) >> shift & 0xff));
    }
  }
  return out;
}

void run(const std::string& command) {
  ASSERT_EQ(std::system(("(" + command + ") >/dev/null 2>&1").c_str()), 0) << command;
}

// Replaces every IN, OUT and REF in a command template with the given paths.
std::string fill(std::string command, const std::string& in, const std::string& out,
                 const std::string& ref) {
  for (const auto& [word, value] :
       {std::pair<std::string, std::string>{"IN", in}, {"OUT", out}, {"REF", ref}}) {
    for (std::size_t at; (at = command.find(word)) != std::string::npos;)
      command.replace(at, word.size(), "'" + value + "'");
  }
  return command;
}

struct Decoded {
  int width = 0;
  int height = 0;
  std::string rgb;
};

// A file as ImageMagick reads it: used only on the reference decoders' PNG and PPM output.
Decoded read_reference(const std::string& file) {
  Decoded d;
  const std::string size = command_output("identify -format '%w %h' '" + file + "'");
  EXPECT_EQ(std::sscanf(size.c_str(), "%d %d", &d.width, &d.height), 2) << file;
  d.rgb = command_output("convert '" + file + "' -alpha off -depth 8 rgb:-");
  EXPECT_EQ(d.rgb.size(), std::size_t(d.width) * d.height * rgb_channels) << file;
  return d;
}

// The largest difference of any sample; -1 when the sizes differ.
int worst_difference(const Image& image, const Decoded& expected) {
  if (int(image.width) != expected.width || int(image.height) != expected.height) return -1;
  int worst = 0;
  for (std::size_t i = 0; i < image.rgb.size(); ++i) {
    worst = std::max(
        worst, std::abs(int(image.rgb[i]) - int(static_cast<unsigned char>(expected.rgb[i]))));
  }
  return worst;
}

struct Case {
  const char* name;
  const char* extension;
  const char* encode;     // IN (the source PNG) to OUT
  const char* reference;  // OUT to REF, by the format's reference decoder
  Wish wish{};
  bool lossless = false;  // then the source itself is expected too
};

// img2webp writes lossless frames by default; the second frame must not be the one shown.
const Case cases[] = {
    {"lossy WebP", ".webp", "cwebp -quiet -q 75 IN -o OUT", "dwebp -quiet OUT -ppm -o REF"},
    {"lossless WebP",
     ".webp",
     "cwebp -quiet -lossless IN -o OUT",
     "dwebp -quiet OUT -ppm -o REF",
     {},
     true},
    {"WebP scaled while decoding",
     ".webp",
     "cwebp -quiet -q 75 IN -o OUT",
     "dwebp -quiet -scale 32 20 OUT -ppm -o REF",
     {32, 32}},
    {"WebP with alpha, composited over black", ".webp",
     "convert IN -alpha set -channel A -fx 'i<40?0.2:1' +channel png32:OUT.png && "
     "cwebp -quiet -lossless -exact OUT.png -o OUT",
     "dwebp -quiet OUT -o REF && mogrify -background black -alpha remove REF"},
    {"animated WebP, first frame",
     ".webp",
     "convert IN -negate OUT.png && img2webp -loop 0 IN -d 100 OUT.png -o OUT",
     "convert IN REF",
     {},
     true},
    {"HEIC", ".heic", "heif-enc -q 70 IN -o OUT", "heif-convert OUT REF"},
    {"AVIF", ".avif", "avifenc -s 8 IN OUT", "avifdec OUT REF"},
    {"lossy JPEG XL", ".jxl", "cjxl -q 85 IN OUT", "djxl OUT REF"},
    {"lossless JPEG XL", ".jxl", "cjxl -d 0 IN OUT", "djxl OUT REF", {}, true},
    {"grey JPEG XL", ".jxl", "convert IN -colorspace gray OUT.png && cjxl -d 0 OUT.png OUT",
     "djxl OUT REF"},
};

class PhotoFormats : public testing::Test {
 protected:
  void SetUp() override {
    init_formats();
    dir.write("source.ppm", source_ppm());
    source = dir.file("source.png");
    run("convert " + dir.file("source.ppm") + " " + source);
  }
  // Encodes the case's file and answers its path.
  std::string encode(const Case& c, int index) {
    const std::string out = dir.file("case" + std::to_string(index) + c.extension);
    run(fill(c.encode, source, out, ""));
    return out;
  }
  TempDir dir;
  std::string source;
};

TEST_F(PhotoFormats, DecodeAsTheirReferenceDecoders) {
  const Decoded original = read_reference(source);
  int index = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string file = encode(c, index++);
    const std::string ref = file + ".ref.png";
    // dwebp writes PPM under any name; ImageMagick reads by contents.
    run(fill(c.reference, source, file, ref));
    const auto image = load_image(file.c_str(), nullptr, c.wish);
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->full_width, unsigned(source_width));
    EXPECT_EQ(image->full_height, unsigned(source_height));
    const int worst = worst_difference(*image, read_reference(ref));
    EXPECT_GE(worst, 0) << image->width << "x" << image->height;
    EXPECT_LE(worst, reference_tolerance);
    if (c.lossless) {
      EXPECT_EQ(worst_difference(*image, original), 0);
    }
  }
}

// A HEIC file's stored thumbnail serves a cell it covers; a larger cell, or the view, decodes
// the image itself.
TEST_F(PhotoFormats, HeicThumbnailServesTheCellItCovers) {
  const std::string file = dir.file("thumb.heic");
  run("heif-enc -q 90 -t 48 " + source + " -o " + file);
  struct Want {
    Wish wish;
    unsigned width;
  };
  for (const Want want :
       {Want{{40, 40}, 48}, Want{{48, 30}, 48}, Want{{80, 80}, 97}, Want{{}, 97}}) {
    SCOPED_TRACE(want.wish.width);
    const auto image = load_image(file.c_str(), nullptr, want.wish);
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->width, want.width);
    EXPECT_EQ(image->full_width, unsigned(source_width));
    EXPECT_EQ(image->full_height, unsigned(source_height));
    // The flat quadrants' colours survive at any size.
    for (const auto& [x, y] : {std::pair{0.1, 0.1}, {0.9, 0.1}, {0.1, 0.9}, {0.9, 0.9}}) {
      const int got =
          get_pixel(*image, std::int64_t(x * image->width), std::int64_t(y * image->height));
      const int want_rgb = source_rgb(int(x * source_width), int(y * source_height));
      for (const int shift : {16, 8, 0})
        EXPECT_NEAR(got >> shift & 0xff, want_rgb >> shift & 0xff, 12) << x << "," << y;
    }
  }
}

// An animation whose first frame covers part of its canvas (a 40 x 20 red frame at 20, 10 of a
// 97 x 61 canvas that the blue second frame fills) shows that frame in its place, the rest black,
// at full size and reduced alike.
TEST_F(PhotoFormats, AnimationFrameKeepsItsPlaceOnTheCanvasAtEveryScale) {
  const std::string file = dir.file("part.webp");
  run("convert -size 40x20 xc:red " + dir.file("r.png") + " && convert -size 97x61 xc:blue " +
      dir.file("b.png") + " && cwebp -quiet -lossless " + dir.file("r.png") + " -o " +
      dir.file("r.webp") + " && cwebp -quiet -lossless " + dir.file("b.png") + " -o " +
      dir.file("b.webp") + " && webpmux -frame " + dir.file("r.webp") + " +100+20+10 -frame " +
      dir.file("b.webp") + " +100+0+0 -o " + file);
  for (const Wish wish : {Wish{}, Wish{64, 64}, Wish{24, 24}}) {
    SCOPED_TRACE(wish.width);
    const auto image = load_image(file.c_str(), nullptr, wish);
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->width, wish.width ? std::min(wish.width, 97u) : 97u);
    // Canvas points, as fractions: inside the frame, and either side of it.
    const auto at = [&](double x, double y) {
      return get_pixel(*image, std::int64_t(x / 97 * image->width),
                       std::int64_t(y / 61 * image->height));
    };
    EXPECT_EQ(at(40, 20), 0xff0000);
    EXPECT_EQ(at(5, 5), 0x000000);
    EXPECT_EQ(at(80, 50), 0x000000);
  }
}

// Every file of the table, cut short or with bytes spoiled, fails or yields a well-formed
// image; none crashes, leaks (under AddressSanitizer) or hangs. Cut to its header or to half,
// none yields an image. Decoded on another thread, as the program decodes, none writes a word
// to stderr (libjxl would), while what the main thread writes still gets through.
TEST_F(PhotoFormats, DamagedAndTruncatedFilesFailCleanlyAndQuietly) {
  int index = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string bytes = pictra_test::read_file(encode(c, index++));
    ASSERT_GT(bytes.size(), 64u);
    std::string spoiled = bytes;
    for (std::size_t i = bytes.size() / 2; i < bytes.size() / 2 + 16; ++i)
      spoiled[i] ^= 0x5a;
    std::string header_spoiled = bytes;
    for (std::size_t i = 12; i < 40; ++i)
      header_spoiled[i] = '\xff';
    struct Damage {
      const char* what;
      std::string bytes;
      bool fails;
    };
    const Damage damages[] = {
        {"signature only", bytes.substr(0, 16), true},
        {"half", bytes.substr(0, bytes.size() / 2), true},
        {"all but the last bytes", bytes.substr(0, bytes.size() - 4), false},
        {"spoiled middle", spoiled, false},
        {"spoiled header", header_spoiled, false},
    };
    testing::internal::CaptureStderr();
    for (const Damage& damage : damages) {
      SCOPED_TRACE(damage.what);
      const std::string file = dir.write(std::string("damaged") + c.extension, damage.bytes);
      for (const Wish wish : {Wish{}, Wish{32, 32}}) {
        std::unique_ptr<Image> image;
        std::thread([&] { image = load_image(file.c_str(), nullptr, wish); }).join();
        if (damage.fails) {
          EXPECT_EQ(image, nullptr);
        }
        if (image) {
          EXPECT_EQ(image->rgb.size(), std::size_t(image->width) * image->height * rgb_channels);
          EXPECT_GE(image->full_width, image->width);
        }
      }
    }
    std::fputs("from the main thread\n", stderr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "from the main thread\n");
  }
}

// Files whose headers declare more pixels than the cap are refused: a HEIC file with its
// size box changed, and a bare JPEG XL header for 65536 x 65536 (jxlinfo reads that size). So
// is a HEIC grid (found by the fuzzer) declared as 64 x 48 whose grid says 16433 x 16688, and
// the same declared as 16384 x 48, whose longer side leaves room for the grid's.
TEST_F(PhotoFormats, DeclaredSizesOverTheCapAreRefused) {
  const std::string file = dir.file("big.heic");
  run("heif-enc -q 50 " + source + " -o " + file);
  std::string bytes = pictra_test::read_file(file);
  const std::size_t ispe = bytes.find("ispe");
  ASSERT_NE(ispe, std::string::npos);
  // Version and flags, then width and height, big-endian: 40000 x 40000.
  const std::string size = std::string("\0\0\x9c\x40\0\0\x9c\x40", 8);
  bytes.replace(ispe + 8, size.size(), size);
  EXPECT_EQ(load_image(dir.write("big.heic", bytes).c_str(), nullptr, {}), nullptr);
  const std::string grid = std::string(PICTRA_TEST_DATA) + "/heif/grid-beyond-declared-size.heic";
  EXPECT_EQ(load_image(grid.c_str(), nullptr, {}), nullptr);
  std::string long_grid = pictra_test::read_file(grid);
  const std::string declared = std::string("ispe\0\0\0\0\0\0\0\x40\0\0\0\x30", 16);
  const std::size_t at = long_grid.find(declared);
  ASSERT_NE(at, std::string::npos);
  long_grid.replace(at + 10, 2, std::string("\x40\0", 2));  // width 16384
  EXPECT_EQ(load_image(dir.write("long.heic", long_grid).c_str(), nullptr, {}), nullptr);

  // The size header, least significant bits first: not small, 30-bit height - 1 = 65535,
  // no ratio, 30-bit width - 1 = 65535; then default metadata.
  const std::string header = std::string("\xff\x0a\xfe\xff\x07\x00\xf0\xff\x3f\x00\x10", 11);
  EXPECT_EQ(load_image(dir.write("big.jxl", header + std::string(64, '\0')).c_str(), nullptr, {}),
            nullptr);
}

}  // namespace
