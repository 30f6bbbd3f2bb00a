// The GIF decoder, on files built byte by byte (with a small LZW encoder of the tests' own)
// and on files written by ImageMagick, compared with ImageMagick's own decoding.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "formats/animation.h"
#include "formats/formats.h"
#include "formats/gif.h"
#include "support/gif_file.h"
#include "support/reference_frames.h"
#include "support/tempdir.h"

namespace {

using namespace pictra_test;

struct Code {
  int value;
  int bits;
};

std::string pack(const std::vector<Code>& codes) {
  BitWriter out;
  for (const Code& code : codes)
    out.put(code.value, code.bits);
  return out.bytes;
}

// A distinct colour per index, never black, its index in the red channel.
int colour(int index) {
  return index << 16 | (255 - index) << 8 | (index ^ 0x5A);
}

std::vector<int> palette(int entries) {
  std::vector<int> rgb;
  for (int i = 0; i < entries; ++i)
    rgb.push_back(colour(i));
  return rgb;
}

std::string image(int w, int h, int packed, int c, const std::string& data,
                  const std::string& local_table = "", std::size_t block = 255,
                  bool empty_between = false) {
  return byte(',') + u16(0) + u16(0) + u16(w) + u16(h) + byte(packed) + local_table + byte(c) +
         sub_blocks(data, block, empty_between);
}

// A file with a 256-entry global table of colour(i) before the given blocks.
std::string with_palette(int w, int h, const std::string& blocks) {
  return screen(w, h, 0x87) + colour_table(palette(256)) + blocks;
}

class Gif : public testing::Test {
 protected:
  static void SetUpTestSuite() { init_formats(); }
  int load(const std::string& bytes) {
    image_ = gif::load(dir_.write("t.gif", bytes).c_str(), nullptr, {});
    return image_ ? 1 : 0;
  }
  std::int64_t width() const { return image_->width; }
  std::int64_t height() const { return image_->height; }
  int pixel(std::int64_t x, std::int64_t y) const { return get_pixel(*image_, x, y); }
  // Every pixel of the loaded image as colour(index), row by row.
  void expect_indices(const std::vector<int>& indices, const std::string& what) {
    const std::int64_t w = width();
    int wrong = 0;
    std::string first;
    for (std::size_t i = 0; i < indices.size(); ++i) {
      const auto x = static_cast<std::int32_t>(i % w);
      const auto y = static_cast<std::int32_t>(i / w);
      if (pixel(x, y) != colour(indices[i]) && !wrong++) {
        first = std::to_string(x) + "," + std::to_string(y);
      }
    }
    EXPECT_EQ(wrong, 0) << what << ", first at " << first;
  }
  TempDir dir_;
  std::unique_ptr<Image> image_;
};

TEST_F(Gif, HeaderAndLogicalScreen) {
  struct Case {
    const char* what;
    std::string bytes;
    int loads;
  } cases[] = {
      {"12 bytes", screen(5, 7, 0).substr(0, 12), 0},
      {"13 bytes, no table, then nothing", screen(5, 7, 0), 1},
      {"version 87a", screen(5, 7, 0, "87a") + ";", 1},
      {"arbitrary version bytes", screen(5, 7, 0, std::string("\0\xff!", 3)) + ";", 1},
      {"global table cut short", screen(5, 7, 0x87) + "\x01\x02", 1},
      {"signature GIG", "GIG" + screen(5, 7, 0).substr(3), 0},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(load(c.bytes), c.loads) << c.what;
    if (!c.loads) continue;
    EXPECT_EQ(width(), 5) << c.what;
    EXPECT_EQ(height(), 7) << c.what;
    EXPECT_EQ(pixel(0, 0), 0) << c.what;
  }
  EXPECT_EQ(gif::load(dir_.file("missing.gif").c_str(), nullptr, {}), nullptr);
}

TEST_F(Gif, AspectRatioIsRefused) {
  std::string bytes = screen(5, 7, 0) + ";";
  bytes[12] = 49;
  testing::internal::CaptureStdout();
  EXPECT_EQ(load(bytes), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Hmm: ASPECT RATIO given ! What to do ?\n");
}

// Hand-packed code streams into a 9 x 1 image; the expected indices are padded with 0, the
// index of pixels the data never reaches.
TEST_F(Gif, CodeStreams) {
  struct Case {
    const char* what;
    int c;
    std::vector<Code> codes;
    std::vector<int> expected;
    std::size_t block = 255;
    bool empty_between = false;
  } cases[] = {
      // Entries 6 = 1 2 and 7 = 2 1; next reaches 8, so code 7 and the end code take 4 bits.
      {"growth at next 8", 2, {{4, 3}, {1, 3}, {2, 3}, {6, 3}, {7, 4}, {5, 4}}, {1, 2, 1, 2, 2, 1}},
      {"one-byte sub-blocks with empty ones between",
       2,
       {{4, 3}, {1, 3}, {2, 3}, {6, 3}, {7, 4}, {5, 4}},
       {1, 2, 1, 2, 2, 1},
       1,
       true},
      {"code equal to next after root 7", 3, {{8, 4}, {7, 4}, {10, 4}, {9, 4}}, {7, 7, 7}},
      // After the clear, 3-bit codes again and 6 is the next free code, not the old 1 2.
      {"clear resets size and table",
       2,
       {{4, 3}, {1, 3}, {2, 3}, {6, 3}, {7, 4}, {4, 4}, {3, 3}, {6, 3}, {5, 3}},
       {1, 2, 1, 2, 2, 1, 3, 3, 3}},
      {"no leading clear", 2, {{1, 3}, {2, 3}, {5, 3}}, {1, 2}},
      {"end of file without an end code", 2, {{4, 3}, {1, 3}, {2, 3}}, {1, 2}},
      {"first code not a root code", 2, {{4, 3}, {6, 3}, {1, 3}, {5, 3}}, {}},
      {"first code after a clear not a root", 2, {{1, 3}, {4, 3}, {7, 3}, {1, 3}}, {1}},
      {"code beyond next", 2, {{4, 3}, {1, 3}, {7, 3}, {2, 3}, {5, 3}}, {1}},
      {"surplus dropped", 2, {{4, 3}, {3, 3}, {6, 3}, {7, 3}, {8, 4}, {5, 4}}, std::vector(9, 3)},
  };
  for (const Case& c : cases) {
    const std::string block = image(9, 1, 0, c.c, pack(c.codes), "", c.block, c.empty_between);
    ASSERT_EQ(load(with_palette(9, 1, block + ";")), 1) << c.what;
    std::vector<int> expected = c.expected;
    expected.resize(9, 0);
    expect_indices(expected, c.what);
  }
}

TEST_F(Gif, FullTable) {
  struct Case {
    int c;
    bool clear_when_full;
    std::size_t block;
  } cases[] = {{8, true, 255}, {8, false, 255}, {8, false, 7}, {2, false, 255}, {2, true, 3}};
  constexpr int w = 200;
  constexpr int h = 160;
  for (const Case& c : cases) {
    std::vector<int> pixels(w * h);
    unsigned seed = 12345;
    for (int& p : pixels)
      p = (seed = seed * 1103515245u + 12345u) >> 16 & ((1 << c.c) - 1);
    int full_codes = 0;
    const std::string data = lzw_encode(pixels, c.c, c.clear_when_full, &full_codes);
    ASSERT_GT(full_codes, 0) << "the image must fill the table";
    const std::string block = image(w, h, 0, c.c, data, "", c.block);
    ASSERT_EQ(load(with_palette(w, h, block + ";")), 1);
    expect_indices(pixels, "c=" + std::to_string(c.c) + (c.clear_when_full ? " clear" : ""));
  }
}

TEST_F(Gif, InterlacedRows) {
  struct Case {
    int height;
    std::vector<int> rows;  // image row of each row of data, in data order
  } cases[] = {{10, {0, 8, 4, 2, 6, 1, 3, 5, 7, 9}}, {3, {0, 2, 1}}, {1, {0}}};
  constexpr int w = 3;
  for (const Case& c : cases) {
    // Data row k is all index k; one row more than the image holds, to be dropped.
    std::vector<int> data;
    for (int k = 0; k <= c.height; ++k)
      data.insert(data.end(), w, k + 1);
    const std::string block = image(w, c.height, 0x40, 4, lzw_encode(data, 4, true, nullptr));
    ASSERT_EQ(load(with_palette(w, c.height, block + ";")), 1);
    std::vector<int> expected(w * c.height);
    for (std::size_t k = 0; k < c.rows.size(); ++k) {
      for (int x = 0; x < w; ++x)
        expected[c.rows[k] * w + x] = static_cast<int>(k) + 1;
    }
    expect_indices(expected, "height " + std::to_string(c.height));
  }
}

// The still image is the first: the images after it are not read.
TEST_F(Gif, TheFirstImageIsTheStillOne) {
  const std::vector<int> global = {0x101010, 0x202020, 0x303030, 0x404040};
  const std::string first = image(2, 2, 0x80, 2, lzw_encode({0, 1, 1, 0}, 2, true, nullptr),
                                  colour_table({0x123456, 0xABCDEF}));
  const std::string second = image(3, 1, 0x00, 2, lzw_encode({0, 1, 3}, 2, true, nullptr));
  const std::string bytes = screen(8, 8, 0x81) + colour_table(global) + first + second + ";";
  const auto image = formats[format_gif].load(dir_.write("two.gif", bytes).c_str(), nullptr, {});
  ASSERT_NE(image, nullptr);
  EXPECT_EQ(image->width, 2u);
  EXPECT_EQ(image->height, 2u);
  // The colour bytes red 0x12, green 0x34, blue 0x56 come out as 0x123456.
  const int expected[] = {0x123456, 0xABCDEF, 0xABCDEF, 0x123456};
  for (int i = 0; i < 4; ++i)
    EXPECT_EQ(get_pixel(*image, i % 2, i / 2), expected[i]);
}

// What the block loop does around damaged or missing images. An empty expected list means a
// file without image data: its logical screen, black, not colour(0). An empty first image is no
// image at all.
TEST_F(Gif, BlockLoop) {
  const std::string good = image(2, 1, 0, 2, pack({{4, 3}, {1, 3}, {2, 3}, {5, 3}}));
  const std::string not_root = image(4, 4, 0, 2, pack({{4, 3}, {6, 3}, {5, 3}}));
  const std::string extension = byte('!') + byte(0xF9) + sub_blocks("\x01\x02\x03\x04");
  struct Case {
    const char* what;
    std::string blocks;
    int w, h;
    std::vector<int> expected;
  } cases[] = {
      {"no image block", extension + ";", 9, 4, {}},
      {"end of file inside an extension", byte('!') + byte(0xFE) + byte(16) + "abc", 9, 4, {}},
      {"extension and unknown block skipped",
       extension + "B" + sub_blocks("xy") + good + ";",
       2,
       1,
       {1, 2}},
      {"non-root first code, then an image", not_root + good + ";", 4, 4, std::vector(16, 0)},
      {"code beyond next, then an image",
       image(4, 4, 0, 2, pack({{4, 3}, {1, 3}, {7, 3}, {5, 3}})) + good + ";",
       4,
       4,
       {1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
      {"minimum code size 1, then an image", image(4, 4, 0, 1, "\x55\x55") + good + ";", 4, 4,
       std::vector(16, 0)},
      {"minimum code size 12, then an image", image(4, 4, 0, 12, "\x55\x55") + good + ";", 4, 4,
       std::vector(16, 0)},
      {"minimum code size 255 alone", image(2, 2, 0, 255, "\x55\x55"), 2, 2, {0, 0, 0, 0}},
      {"descriptor cut short", byte(',') + u16(1) + u16(2) + byte(5), 5, 0, {}},
      {"an empty image after a good one", good + image(3, 0, 0, 2, "") + ";", 2, 1, {1, 2}},
      {"an empty image before a good one", image(3, 0, 0, 2, "") + good + ";", 3, 0, {}},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(load(with_palette(9, 4, c.blocks)), c.h > 0 ? 1 : 0) << c.what;
    if (c.h == 0) continue;
    EXPECT_EQ(width(), c.w) << c.what;
    EXPECT_EQ(height(), c.h) << c.what;
    if (c.expected.empty()) {
      EXPECT_EQ(image_->rgb, Raster(image_->rgb.size())) << c.what;
    }
    expect_indices(c.expected, c.what);
  }
}

// The size cap holds before anything is allocated: a 35-byte file may declare 65535 x 65535
// pixels (12 GiB of samples), on the logical screen and on its image.
TEST_F(Gif, OversizedImagesAreRefusedUnread) {
  const std::string tiny = image(65535, 65535, 0, 2, pack({{4, 3}, {1, 3}, {5, 3}}));
  const std::string bytes = screen(65535, 65535, 0x80) + colour_table({0, 0xFFFFFF}) + tiny + ";";
  ASSERT_EQ(bytes.size(), 35u);
  EXPECT_EQ(load(bytes), 0);
  EXPECT_EQ(load(screen(65535, 65535, 0) + ";"), 0);
  // With a wish, only the reduced image is made.
  const std::string big =
      dir_.write("big.gif", with_palette(4, 4, image(2000, 1000, 0, 2, "") + ";"));
  const auto reduced = gif::load(big.c_str(), nullptr, {100, 100});
  ASSERT_NE(reduced, nullptr);
  EXPECT_EQ(reduced->width, 100u);
  EXPECT_EQ(reduced->height, 50u);
  EXPECT_EQ(reduced->full_width, 2000u);
  EXPECT_EQ(reduced->full_height, 1000u);
  EXPECT_EQ(get_pixel(*reduced, 99, 49), colour(0));
}

// ImageMagick writes each file from a noise picture of exactly that many colours and decodes it
// again as the reference. The picture is large enough to fill the 12-bit table.
TEST_F(Gif, ImageMagickFilesDecodeAlike) {
  constexpr int w = 203;
  constexpr int h = 151;
  for (int colours : {2, 4, 16, 256}) {
    for (bool interlaced : {false, true}) {
      std::string ppm = "P6\n" + std::to_string(w) + " " + std::to_string(h) + "\n255\n";
      unsigned seed = 99u + colours;
      for (int i = 0; i < w * h; ++i) {
        // Runs of one colour give the encoder long strings as well as short ones.
        if (i % 5 == 0) seed = seed * 1103515245u + 12345u;
        const int c = colour(static_cast<int>(seed >> 16) % colours);
        ppm += byte(c >> 16) + byte(c >> 8) + byte(c);
      }
      const std::string source = dir_.write("in.ppm", ppm);
      const std::string gif_path = dir_.file("im.gif");
      command_output("convert " + source + (interlaced ? " -interlace GIF " : " ") + gif_path);
      const std::string reference = command_output("convert " + gif_path + " -depth 8 rgb:-");
      const std::string what = std::to_string(colours) + (interlaced ? " interlaced" : "");
      ASSERT_EQ(reference.size(), std::size_t{w * h * 3}) << what;
      const auto decoded = formats[format_gif].load(gif_path.c_str(), nullptr, {});
      ASSERT_NE(decoded, nullptr) << what;
      ASSERT_EQ(decoded->width, std::uint32_t{w});
      ASSERT_EQ(decoded->height, std::uint32_t{h});
      int wrong = 0;
      for (int i = 0; i < w * h; ++i) {
        const auto* p = reinterpret_cast<const unsigned char*>(&reference[i * 3]);
        const int expected = p[0] << 16 | p[1] << 8 | p[2];
        wrong += get_pixel(*decoded, i % w, i / w) != expected;
      }
      EXPECT_EQ(wrong, 0) << what;
    }
  }
}

// Every disposal, transparency, frames smaller than the screen at their offsets, a local
// table and an interlaced frame, against PIL's composition. Colour 0 and the background are
// black, where PIL and browsers agree on what a cleared or uncovered pixel shows: PIL clears to
// the colour of the transparent index, browsers (and this reader) to transparent. PIL also lets
// an unspecified disposal (0) take the one of the frame before, so only the last frame, which
// nothing follows, leaves it unspecified.
TEST_F(Gif, AnimationFramesMatchPil) {
  const std::string table = colour_table(
      {0x000000, 0xFF0000, 0x00FF00, 0x0000FF, 0xFFFFFF, 0xFFFF00, 0x00FFFF, 0xFF00FF});
  std::vector<int> full(30);
  for (int i = 0; i < 30; ++i)
    full[i] = 1 + i * 5 % 7;
  const std::string local = colour_table({0x808080, 0x102030});
  const std::string frames =
      control(1, 10) + placed(0, 0, 6, 5, 0, full) +                                 // kept
      control(2, 5, 0) + placed(1, 1, 3, 2, 0, {0, 1, 2, 0, 4, 0}) +                 // cleared
      control(3, 0, 5) + placed(3, 2, 3, 3, 0, {5, 6, 5, 7, 5, 7, 1, 1, 5}) +        // put back
      control(1, 30) + placed(0, 3, 2, 2, 0x80, {0, 1, 1, 0}, local) +               // local table
      control(1, 2, 0) + placed(2, 0, 2, 5, 0x40, {1, 0, 2, 2, 3, 0, 4, 4, 5, 0}) +  // interlaced
      control(2, 7) + placed(4, 1, 2, 2, 0, {6, 6, 6, 6}) + control(0, 10) +
      placed(0, 0, 1, 1, 0, {2});
  const std::string bytes = screen(6, 5, 0x82) + table + looping(3) + frames + ";";
  const std::string path = dir_.write("anim.gif", bytes);
  const auto reference = pictra_test::reference_frames(path);
  ASSERT_EQ(reference.rgb.size(), 7u);
  ASSERT_EQ(reference.loop, 3);
  const auto reader = gif::open_animation(path.c_str());
  ASSERT_NE(reader, nullptr);
  // A loop count says how often the animation repeats after playing once.
  EXPECT_EQ(reader->loop_count(), 4u);
  pictra_test::expect_frames_match(*reader, reference, "disposals");

  // Without a loop count it plays once; a file cut inside its third frame plays what decodes.
  const auto once =
      gif::open_animation(dir_.write("once.gif", screen(6, 5, 0x82) + table + frames).c_str());
  ASSERT_NE(once, nullptr);
  EXPECT_EQ(once->loop_count(), 1u);
  const std::string cut =
      screen(6, 5, 0x82) + table +
      frames.substr(0, frames.find(",", frames.find(",", frames.find(",") + 1) + 1) + 16);
  const auto damaged = gif::open_animation(dir_.write("cut.gif", cut).c_str());
  ASSERT_NE(damaged, nullptr);
  int decoded = 0;
  for (AnimationFrame frame; damaged->next(frame);)
    ++decoded;
  EXPECT_EQ(decoded, 3);
  // One image is no animation.
  EXPECT_EQ(gif::open_animation(dir_.write("one.gif", screen(6, 5, 0x82) + table + control(0, 5) +
                                                          placed(0, 0, 1, 1, 0, {2}) + ";")
                                    .c_str()),
            nullptr);
}

}  // namespace
