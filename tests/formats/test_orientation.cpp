// Orientation: the EXIF reader on payloads built here byte by byte, and JPEGs and TIFFs of every
// orientation through load_image, compared with the tag's definition applied to the raw
// pixels, at full size and with a reduced decode.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "formats/exif.h"
#include "formats/formats.h"
#include "support/oriented.h"
#include "support/tempdir.h"

namespace {

using namespace pictra_test;

int exif_of(const std::vector<std::uint8_t>& bytes) {
  return exif_orientation(bytes.data(), bytes.size());
}

TEST(Exif, ReadsIfd0OrientationAndTakesEverythingElseAsOne) {
  for (bool big_endian : {false, true}) {
    for (int value = 1; value <= 8; ++value) {
      EXPECT_EQ(exif_of(exif_payload({.big_endian = big_endian, .orientation = value})), value)
          << "value " << value << (big_endian ? " MM" : " II");
    }
  }
  struct Case {
    const char* what;
    std::vector<std::uint8_t> bytes;
  };
  const std::vector<std::uint8_t> good = exif_payload({.big_endian = true, .orientation = 6});
  auto changed = [&](std::size_t at, std::uint8_t byte) {
    std::vector<std::uint8_t> bytes = good;
    bytes[at] = byte;
    return bytes;
  };
  // Offsets in good: 6 byte order, 8 magic, 10 IFD0 offset, 14 entry count, 28 the entry.
  const Case cases[] = {
      {"value 0", exif_payload({.orientation = 0})},
      {"value 9", exif_payload({.big_endian = true, .orientation = 9})},
      {"value 0x0106, 6 in its low byte", exif_payload({.orientation = 0x106})},
      {"type LONG", exif_payload({.orientation = 6, .type = 4})},
      {"count 2", exif_payload({.big_endian = true, .orientation = 6, .count = 2})},
      {"another tag", exif_payload({.orientation = 6, .tag = 0x0113})},
      {"IFD0 past the end", exif_payload({.orientation = 6, .ifd0 = 0x7fffffff})},
      {"IFD0 at the last byte", exif_payload({.orientation = 6, .ifd0 = 37})},
      {"IFD0 offset wrapping 32 bits", exif_payload({.orientation = 6, .ifd0 = 0xfffffffe})},
      {"entry count 1, before the orientation", changed(15, 1)},
      {"byte order XX", changed(6, 'X')},
      {"mixed byte order MI", changed(7, 'I')},
      {"magic 43", changed(9, 43)},
      {"no signature", changed(0, 'e')},
      {"signature only", std::vector<std::uint8_t>(good.begin(), good.begin() + 6)},
      {"cut in the TIFF header", std::vector<std::uint8_t>(good.begin(), good.begin() + 12)},
      {"cut in the entry's value",
       std::vector<std::uint8_t>(good.begin(), good.begin() + 6 + 8 + 2 + 12 + 9)},
      {"empty", {}},
  };
  for (const Case& c : cases)
    EXPECT_EQ(exif_of(c.bytes), 1) << c.what;
  EXPECT_EQ(exif_orientation(nullptr, 100), 1);
  // Cut after the entry, without the next-directory link, it still holds the value.
  std::vector<std::uint8_t> tight(good.begin(), good.begin() + 6 + 8 + 2 + 12 + 12);
  EXPECT_EQ(exif_of(tight), 6);
}

// The date and camera a JPEG's EXIF block records, as exiftool writes them in either byte
// order, read back through load_image; a model's trailing blanks are dropped, and a file
// without the date in the EXIF directory falls back to IFD0's.
TEST(Exif, DateTakenAndCameraOfAJpeg) {
  init_formats();
  TempDir dir;
  const std::string file = dir.file("x.jpg");
  struct Case {
    std::vector<std::string> tags;
    const char* order;
    std::string taken, camera;
  };
  const Case cases[] = {
      {{"-DateTimeOriginal=2024:05:06 07:08:09", "-Model=TestCam 9"},
       "II",
       "2024-05-06 07:08:09",
       "TestCam 9"},
      {{"-DateTimeOriginal=2001:02:03 04:05:06", "-Model=A very long camera model name   "},
       "MM",
       "2001-02-03 04:05:06",
       "A very long camera model name"},
      {{"-ModifyDate=1999:12:31 23:59:58"}, "MM", "1999-12-31 23:59:58", ""},
      {{}, "II", "", ""},
  };
  for (const Case& c : cases) {
    command_output("convert -size 16x8 xc:red '" + file + "'");
    std::string tags;
    for (const std::string& tag : c.tags)
      tags += " '" + tag + "'";
    if (!tags.empty()) {
      command_output("exiftool -q -overwrite_original -ExifByteOrder=" + std::string(c.order) +
                     tags + " '" + file + "'");
    }
    const auto image = load_image(file.c_str(), "", {});
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->taken, c.taken) << tags;
    EXPECT_EQ(image->camera, c.camera) << tags;
  }
}

int channel_distance(int a, int b) {
  int most = 0;
  for (int shift : {0, 8, 16})
    most = std::max(most, std::abs((a >> shift & 0xff) - (b >> shift & 0xff)));
  return most;
}

class Orientation : public ::testing::Test {
 protected:
  // path of the file for orientation, written in the format's own way.
  std::string write(bool jpeg, int orientation) {
    const std::string path = dir_.file(std::string(jpeg ? "j" : "t") + std::to_string(orientation) +
                                       (jpeg ? ".jpg" : ".tif"));
    const bool ok = jpeg ? write_oriented_jpeg(path, {.big_endian = orientation % 2 == 0,
                                                      .orientation = orientation})
                         : write_oriented_tiff(path, orientation);
    EXPECT_TRUE(ok) << path;
    return path;
  }
  TempDir dir_;
};

// Every pixel at full size; a reduced decode covers the wish's fit of the picture as seen, and
// its block centres have the colours seen there.
TEST_F(Orientation, JpegAndTiffShowThePictureAsTheCameraMeant) {
  init_formats();
  // A portrait-shaped box that is small enough for a reduced decode.
  constexpr Wish thumbnail_box{12, 18};
  for (bool jpeg : {true, false}) {
    // JPEG's coding leaves flat blocks a few steps off; TIFF keeps them exactly.
    const int tolerance = jpeg ? 8 : 0;
    for (int orientation = 1; orientation <= 8; ++orientation) {
      SCOPED_TRACE(std::string(jpeg ? "JPEG" : "TIFF") + " orientation " +
                   std::to_string(orientation));
      const std::string path = write(jpeg, orientation);
      const int w = shown_width(orientation), h = shown_height(orientation);

      const auto full = load_image(path.c_str(), "", Wish{});
      ASSERT_NE(full, nullptr);
      ASSERT_EQ(full->width, std::uint32_t(w));
      ASSERT_EQ(full->height, std::uint32_t(h));
      EXPECT_EQ(full->full_width, std::uint32_t(w));
      EXPECT_EQ(full->full_height, std::uint32_t(h));
      EXPECT_EQ(full->orientation, 1);
      int wrong = 0;
      for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
          const int seen = get_pixel(*full, x, y), meant = shown_rgb(orientation, x, y);
          if (channel_distance(seen, meant) > tolerance && ++wrong <= 3) {
            ADD_FAILURE() << "(" << x << "," << y << ") is " << std::hex << seen << " for "
                          << meant;
          }
        }
      }
      EXPECT_EQ(wrong, 0);

      const auto reduced = load_image(path.c_str(), "", thumbnail_box);
      ASSERT_NE(reduced, nullptr);
      EXPECT_EQ(reduced->full_width, std::uint32_t(w));
      EXPECT_EQ(reduced->full_height, std::uint32_t(h));
      const Size fitted = fit_size(w, h, thumbnail_box.width, thumbnail_box.height);
      EXPECT_GE(reduced->width, fitted.width);
      EXPECT_GE(reduced->height, fitted.height);
      EXPECT_LT(reduced->width, std::uint32_t(w)) << "not a reduced decode";
      for (int by = 0; by < h / oriented_block; ++by) {
        for (int bx = 0; bx < w / oriented_block; ++bx) {
          const int cx = bx * oriented_block + oriented_block / 2;
          const int cy = by * oriented_block + oriented_block / 2;
          const int seen = get_pixel(*reduced, cx * reduced->width / w, cy * reduced->height / h);
          EXPECT_LE(channel_distance(seen, shown_rgb(orientation, cx, cy)), 16)
              << "block " << bx << "," << by;
        }
      }
    }
  }
}

}  // namespace
