// The BMP decoder against hand-made files (exact bytes) and against the BMP suite, compared with
// ImageMagick as an independent decoder.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "formats/bmp.h"
#include "formats/formats.h"
#include "support/tempdir.h"

namespace {

using pictra_test::TempDir;

std::string le16(std::uint32_t v) {
  return {static_cast<char>(v & 0xFF), static_cast<char>(v >> 8 & 0xFF)};
}
std::string le32(std::uint32_t v) {
  return le16(v & 0xFFFF) + le16(v >> 16);
}
// Palette entries as stored: blue, green, red, reserved.
std::string palette(std::initializer_list<std::uint32_t> colours) {
  std::string bytes;
  for (std::uint32_t c : colours)
    bytes += le32(c);
  return bytes;
}

// A file of a 14-byte file header, the 40-byte information header, `tail` (any further header
// bytes, masks and palette) and the pixel rows as stored.
struct Bmp {
  std::int32_t width = 1;
  std::int32_t height = 1;
  std::uint32_t planes = 1;
  std::uint32_t bits = 24;
  std::uint32_t compression = 0;
  std::uint32_t header_size = 40;
  std::string tail{};
  std::string rows{};
  std::int64_t data_offset = -1;  // default: right after tail
  std::int64_t file_size = -1;    // default: the real size
};

std::string encode(const Bmp& b) {
  const std::uint32_t offset = b.data_offset >= 0 ? b.data_offset : 54 + b.tail.size();
  const std::uint32_t size = b.file_size >= 0 ? b.file_size : 54 + b.tail.size() + b.rows.size();
  return "BM" + le32(size) + le32(0) + le32(offset) + le32(b.header_size) + le32(b.width) +
         le32(b.height) + le16(b.planes) + le16(b.bits) + le32(b.compression) +
         std::string(20, '\0') + b.tail + b.rows;
}

int open_descriptors() {
  int count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
    ++count;
  return count;
}

TEST(Bmp, MaskShiftBringsTheHighestBitToBitSeven) {
  const std::uint32_t masks[][2] = {
      {0, 0},         {0x7C00, 7}, {0x03E0, 2},      {0xF800, 8},      {0x07E0, 3},
      {0xFF0000, 16}, {0x001F, 3}, {0x80, 0},        {0xFF, 0},        {0x01, 7},
      {0x7F, 1},      {0x100, 1},  {0xFF000000, 24}, {0x80000000, 24}, {0x3FF00000, 22},
  };
  for (const auto& m : masks)
    EXPECT_EQ(bmp::mask_shift(m[0]), static_cast<int>(m[1])) << m[0];
}

struct Probe {
  std::int32_t x, y;
  int rgb;
};
struct PixelCase {
  const char* what;
  Bmp bmp;
  std::vector<Probe> probes;
};

// Padding bytes are 0xEE so that a wrong stride or bit order shows up as a wrong colour.
const std::string pad1 = "\xEE", pad2 = "\xEE\xEE", pad3 = "\xEE\xEE\xEE";
const std::string two_colours = palette({0x102030, 0xA0B0C0});

TEST(Bmp, DecodesDepthsStridesMasksAndRowOrder) {
  const std::uint32_t m565[] = {0xF800, 0x07E0, 0x001F};
  const std::string masks565 = le32(m565[0]) + le32(m565[1]) + le32(m565[2]);
  const PixelCase cases[] = {
      {"24-bit, 1 wide: stride 4, bottom row stored first",
       {.height = 2, .rows = "\x01\x02\x03" + pad1 + "\x04\x05\x06" + pad1},
       {{0, 1, 0x030201}, {0, 0, 0x060504}}},
      {"24-bit top-down",
       {.height = -2, .rows = "\x01\x02\x03" + pad1 + "\x04\x05\x06" + pad1},
       {{0, 0, 0x030201}, {0, 1, 0x060504}}},
      {"1-bit, 33 wide: stride 8, leftmost pixel in the top bit",
       {.width = 33,
        .height = 2,
        .bits = 1,
        .tail = two_colours,
        .rows = std::string("\x80\0\0\0\x80", 5) + pad3 + std::string("\x40\0\0\0\0", 5) + pad3},
       {{0, 1, 0xA0B0C0},
        {1, 1, 0x102030},
        {32, 1, 0xA0B0C0},
        {1, 0, 0xA0B0C0},
        {32, 0, 0x102030}}},
      {"4-bit, 9 wide: stride 8, even x in the high nibble",
       {.width = 9,
        .height = 2,
        .bits = 4,
        .tail = two_colours,
        .rows = std::string("\x10\0\0\0\x10", 5) + pad3 + std::string("\x01\0\0\0\0", 5) + pad3},
       {{0, 1, 0xA0B0C0}, {1, 1, 0x102030}, {8, 1, 0xA0B0C0}, {1, 0, 0xA0B0C0}}},
      {"planes 2 x bit count 4 reads 8 bits per pixel",
       {.width = 3,
        .planes = 2,
        .bits = 4,
        .tail = two_colours,
        .rows = std::string("\x01\0\x01", 3) + pad1},
       {{0, 0, 0xA0B0C0}, {1, 0, 0x102030}, {2, 0, 0xA0B0C0}}},
      {"8-bit index beyond the palette, and no palette at all: black",
       {.width = 2, .bits = 8, .tail = two_colours, .rows = "\x02\x01" + pad2},
       {{0, 0, 0}, {1, 0, 0xA0B0C0}}},
      {"8-bit without palette", {.bits = 8, .rows = std::string(1, '\0') + pad3}, {{0, 0, 0}}},
      {"16-bit default 5-5-5: the low bits stay empty, the top bit is unused",
       {.width = 4, .bits = 16, .rows = le16(0x7FFF) + le16(0x7C00) + le16(0x801F) + le16(0x03E0)},
       {{0, 0, 0xF8F8F8}, {1, 0, 0xF80000}, {2, 0, 0x0000F8}, {3, 0, 0x00F800}}},
      {"16-bit 5-6-5 bit fields",
       {.width = 2,
        .bits = 16,
        .compression = 3,
        .tail = masks565,
        .rows = le16(0xFFFF) + le16(0x07E0)},
       {{0, 0, 0xF8FCF8}, {1, 0, 0x00FC00}}},
      {"16-bit fields in blue-green-red order stay within their channels",
       {.width = 2,
        .bits = 16,
        .compression = 3,
        .tail = le32(m565[2]) + le32(m565[1]) + le32(m565[0]),
        .rows = le16(0x001F) + le16(0xF800)},
       {{0, 0, 0xF80000}, {1, 0, 0x0000F8}}},
      {"32-bit default: blue, green, red, ignored byte",
       {.bits = 32, .rows = "\x11\x22\x33\x44"},
       {{0, 0, 0x332211}}},
      {"32-bit fields with red in the top byte",
       {.bits = 32,
        .compression = 3,
        .tail = le32(0xFF000000) + le32(0xFF0000) + le32(0xFF00),
        .rows = le32(0x11223344)},
       {{0, 0, 0x112233}}},
      {"32-bit 10-10-10 fields keep the top 8 bits",
       {.width = 2,
        .bits = 32,
        .compression = 3,
        .tail = le32(0x3FF00000) + le32(0x000FFC00) + le32(0x3FF),
        .rows = le32(0x3FFFFFFF) + le32(0x20000000)},
       {{0, 0, 0xFFFFFF}, {1, 0, 0x800000}}},
      {"bit fields with 8-bit pixels: no palette is read",
       {.bits = 8, .compression = 3, .tail = masks565 + two_colours, .rows = "\x01" + pad3},
       {{0, 0, 0}}},
      {"108-byte header: the palette follows the whole header",
       {.width = 2,
        .bits = 8,
        .header_size = 108,
        .tail = std::string(68, '\x55') + two_colours,
        .rows = std::string("\0\x01", 2) + pad2},
       {{0, 0, 0x102030}, {1, 0, 0xA0B0C0}}},
      {"124-byte header: masks at byte 54 inside the header",
       {.bits = 16,
        .compression = 3,
        .header_size = 124,
        .tail = masks565 + std::string(72, '\0'),
        .rows = le16(0xF800) + pad2},
       {{0, 0, 0xF80000}}},
      {"124-byte header, 24-bit, data right after the header",
       {.bits = 24, .header_size = 124, .tail = std::string(84, '\x55'), .rows = "\x01\x02\x03"},
       {{0, 0, 0x030201}}},
      {"file ends inside the pixel data: the missing pixels are black",
       {.width = 2,
        .height = 2,
        .rows = "\x01\x02\x03\x04\x05\x06" + pad2 + "\x07\x08",
        .file_size = 54 + 16},
       {{0, 1, 0x030201}, {1, 1, 0x060504}, {0, 0, 0}, {1, 0, 0}}},
      {"declared file size shorter than the file: only that much is pixel data",
       {.width = 2, .rows = "\x01\x02\x03\x04\x05\x06" + pad2, .file_size = 54 + 4},
       {{0, 0, 0x030201}, {1, 0, 0}}},
  };
  TempDir dir;
  for (const PixelCase& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string path = dir.write("case.bmp", encode(c.bmp));
    const auto image = bmp::load(path.c_str(), nullptr, {});
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(std::int64_t{image->width}, c.bmp.width);
    EXPECT_EQ(std::int64_t{image->height}, c.bmp.height < 0 ? -c.bmp.height : c.bmp.height);
    for (const Probe& p : c.probes)
      EXPECT_EQ(get_pixel(*image, p.x, p.y), p.rgb) << "at " << p.x << "," << p.y;
  }
}

TEST(Bmp, RefusesMalformedFilesLeavingNothingOpen) {
  const Bmp good{.rows = "\x01\x02\x03" + pad1};
  struct Bad {
    const char* what;
    std::string bytes;
  };
  auto with = [&](auto change) {
    Bmp b = good;
    change(b);
    return encode(b);
  };
  const Bad cases[] = {
      {"empty file", ""},
      {"shorter than the headers", encode(good).substr(0, 40)},
      {"wrong magic", "BA" + encode(good).substr(2)},
      {"run-length 8", with([](Bmp& b) { b.compression = 1; })},
      {"run-length 4", with([](Bmp& b) { b.compression = 2; })},
      {"depth 2", with([](Bmp& b) { b.bits = 2; })},
      {"planes 0", with([](Bmp& b) { b.planes = 0; })},
      {"huge planes x bit count", with([](Bmp& b) { b.planes = b.bits = 0xFFFF; })},
      {"width 0", with([](Bmp& b) { b.width = 0; })},
      {"negative width", with([](Bmp& b) { b.width = -1; })},
      {"height 0", with([](Bmp& b) { b.height = 0; })},
      {"most negative height", with([](Bmp& b) { b.height = INT32_MIN; })},
      {"12-byte header", with([](Bmp& b) { b.header_size = 12; })},
      {"data offset below 54", with([](Bmp& b) { b.data_offset = 50; })},
      {"data offset beyond the file", with([](Bmp& b) { b.data_offset = 59; })},
      {"file size below the data offset", with([](Bmp& b) { b.file_size = 40; })},
      {"bit fields without room for the masks", with([](Bmp& b) { b.compression = 3; })},
      // 40000 x 40000 is over the size cap: refused before anything is allocated for it.
      {"over the size cap", with([](Bmp& b) { b.width = b.height = 40000; })},
  };
  TempDir dir;
  const std::string good_path = dir.write("good.bmp", encode(good));
  const int descriptors = open_descriptors();
  for (const Bad& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string path = dir.write("bad.bmp", c.bytes);
    EXPECT_EQ(bmp::load(path.c_str(), nullptr, {}), nullptr);
    EXPECT_EQ(open_descriptors(), descriptors);
  }
  const auto image = bmp::load(good_path.c_str(), nullptr, {});
  ASSERT_NE(image, nullptr);
  EXPECT_EQ(get_pixel(*image, 0, 0), 0x030201);
  EXPECT_EQ(bmp::load(dir.file("missing.bmp").c_str(), nullptr, {}), nullptr);
  EXPECT_EQ(open_descriptors(), descriptors);
}

// ImageMagick's reading of a file: width, height and 0x00RRGGBB pixels, top row first.
struct Reference {
  int width = 0, height = 0;
  std::vector<int> pixels;
};

Reference reference_decode(const std::string& path) {
  Reference ref;
  const std::string command = "convert '" + path + "' -depth 8 ppm:- 2>/dev/null";
  std::FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return ref;
  int maxval = 0;
  if (std::fscanf(pipe, "P6 %d %d %d", &ref.width, &ref.height, &maxval) == 3 && maxval == 255 &&
      std::fgetc(pipe) != EOF) {
    std::vector<unsigned char> rgb(static_cast<std::size_t>(ref.width) * ref.height * 3);
    if (std::fread(rgb.data(), 1, rgb.size(), pipe) == rgb.size()) {
      for (std::size_t i = 0; i < rgb.size(); i += 3)
        ref.pixels.push_back(rgb[i] << 16 | rgb[i + 1] << 8 | rgb[i + 2]);
    }
  }
  pclose(pipe);
  return ref;
}

const std::string suite = std::string(PICTRA_TEST_DATA) + "/bmpsuite/";

TEST(Bmp, SuiteFilesMatchAnIndependentDecoder) {
  struct SuiteFile {
    const char* name;
    // The channel bits we keep: ImageMagick fills 5- and 6-bit channels up to 8 bits, while
    // this decoder leaves the low bits empty (31 gives 0xF8), so the comparison drops them.
    int kept_bits = 0xFFFFFF;
  };
  const SuiteFile files[] = {
      {"pal1"},
      {"pal1bg"},
      {"pal1wb"},
      {"pal4"},
      {"pal8-0"},
      {"pal8"},
      {"pal8nonsquare"},
      {"pal8topdown"},
      {"pal8v4"},
      {"pal8v5"},
      {"pal8w124"},
      {"pal8w125"},
      {"pal8w126"},
      {"rgb24"},
      {"rgb24pal"},
      {"rgb32"},
      {"rgb32bf"},
      {"rgb16", 0xF8F8F8},
      {"rgb16-565", 0xF8FCF8},
      {"rgb16-565pal", 0xF8FCF8},
  };
  for (const SuiteFile& f : files) {
    SCOPED_TRACE(f.name);
    const std::string path = suite + "g/" + f.name + ".bmp";
    const Reference ref = reference_decode(path);
    ASSERT_FALSE(ref.pixels.empty()) << "ImageMagick could not read it";
    const auto image = bmp::load(path.c_str(), nullptr, {});
    ASSERT_NE(image, nullptr);
    ASSERT_EQ(image->width, static_cast<std::uint32_t>(ref.width));
    ASSERT_EQ(image->height, static_cast<std::uint32_t>(ref.height));
    int mismatches = 0;
    for (int y = 0; y < ref.height; ++y) {
      for (int x = 0; x < ref.width; ++x) {
        const int got = get_pixel(*image, x, y);
        const int want = ref.pixels[static_cast<std::size_t>(y) * ref.width + x] & f.kept_bits;
        if (got != want && mismatches++ < 3)
          ADD_FAILURE() << "at " << x << "," << y << std::hex << ": " << got << " != " << want;
      }
    }
    EXPECT_EQ(mismatches, 0);
  }
}

TEST(Bmp, SuiteFilesOutsideTheReadFormsFailOrLoadHarmlessly) {
  struct Expect {
    const char* name;
    int loads;
  };
  const Expect files[] = {
      {"g/pal4rle", 0},       {"g/pal8rle", 0},        {"g/pal8os2", 0},
      {"b/badbitcount", 0},   {"b/badplanes", 0},      {"b/badwidth", 0},
      {"b/badrle", 0},        {"b/rletopdown", 0},     {"b/badbitssize", 1},
      {"b/baddens1", 1},      {"b/baddens2", 1},       {"b/badfilesize", 1},
      {"b/badheadersize", 1}, {"b/badpalettesize", 1}, {"b/pal8badindex", 1},
      {"b/reallybig", 0},  // 3000000 x 2000000: over the size cap
      {"b/shortfile", 1},
  };
  for (const Expect& f : files) {
    SCOPED_TRACE(f.name);
    const std::string path = suite + f.name + ".bmp";
    const auto image = bmp::load(path.c_str(), nullptr, {});
    EXPECT_EQ(image != nullptr, f.loads != 0);
    if (image) {
      EXPECT_EQ(image->rgb.size(), std::size_t{image->width} * image->height * 3);
    }
  }
  // Every damaged file of the suite is in the table.
  int bad_files = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(suite + "b"))
    ++bad_files;
  EXPECT_EQ(bad_files, 14);
}

}  // namespace
