// The format table, the extension lookup that every decode starts from, and the one way files
// are opened.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "formats/formats.h"
#include "support/bmp_file.h"
#include "support/tempdir.h"

namespace {

using pictra_test::TempDir;

TEST(Registry, GetTypeMatchesTheTailFromTheLastDot) {
  init_formats();
  struct Case {
    const char* name;
    int type;
  };
  const Case cases[] = {
      // any letter case
      {"a.jpg", format_jpeg},
      {"a.JPG", format_jpeg},
      {"a.jpeg", format_jpeg},
      {"a.JPEG", format_jpeg},
      {"a.Jpeg", format_jpeg},
      {"a.Jpg", format_jpeg},
      {"a.gif", format_gif},
      {"a.GIF", format_gif},
      {"a.bmp", format_bmp},
      {"a.Bmp", format_bmp},
      {"a.png", format_png},
      {"a.PNG", format_png},
      {"a.webp", format_webp},
      {"a.WEBP", format_webp},
      {"IMG_1234.HEIC", format_heif},
      {"a.heif", format_heif},
      {"a.avif", format_heif},
      {"a.AVIF", format_heif},
      {"a.jxl", format_jxl},
      {"a.JXL", format_jxl},
      {"a.web", -1},
      {"a.hei", -1},
      // the tail only has to begin with an extension; the first hit wins
      {"a.tif", format_tiff},
      {"a.tiff", format_tiff},
      {"a.TIFF", format_tiff},
      {"a.nef", format_tiff},
      {"a.NEF", format_tiff},
      {"a.jpg2", format_jpeg},
      {"a.pngx", format_png},
      // only the last '.' counts
      {"photo.jpg.bak", -1},
      {"archive.tar.gz", -1},
      {"a.png.jpg", format_jpeg},
      {"README", -1},
      {"", -1},
      {".", -1},
      {".png", format_png},
      {"a.", -1},
      // a directory part holding the last dot decides for the whole path
      {"my.jpgs/photo", format_jpeg},
      {"/tmp/x.d/photo", -1},
      {"dir/a.gif", format_gif},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(get_type(c.name), c.type) << c.name;
    EXPECT_EQ(is_supported(c.name), c.type >= 0 ? 1 : 0) << c.name;
  }
}

TEST(Registry, EveryRowIsCompleteAndOnlyTiffHasPages) {
  init_formats();
  const int extcounts[format_count] = {2, 1, 1, 2, 1, 1, 3, 1};
  for (int index = 0; index < format_count; ++index) {
    const ImageFormat& format = formats[index];
    SCOPED_TRACE(index);
    ASSERT_EQ(format.extcount, extcounts[index]);
    for (int e = 0; e < format.extcount; ++e) {
      ASSERT_NE(format.extensions[e], nullptr);
      EXPECT_EQ(format.extensions[e][0], '.');
      // each extension leads back to its own row unless an earlier one already takes it
      const int type = get_type(format.extensions[e]);
      EXPECT_LE(type, index);
      EXPECT_GE(type, 0);
    }
    EXPECT_NE(format.load, nullptr);
    ASSERT_NE(format.list_pages, nullptr);
    EXPECT_EQ(format.list_pages == no_pages, index != format_tiff);
  }
  EXPECT_TRUE(no_pages("a.jpg").empty());
  EXPECT_TRUE(no_pages(nullptr).empty());
}

// Only regular files are opened, and nothing that is not one makes a decoder wait: a FIFO
// named like an image of each format fails at once (without O_NONBLOCK the open would wait
// for a writer forever), as do a directory and a device.
TEST(Registry, OnlyRegularFilesOpenAndNothingBlocks) {
  init_formats();
  TempDir dir;
  const std::string regular = dir.write("a.bmp", pictra_test::bmp24({1, 1, {0x102030}}));
  std::FILE* file = open_image_file(regular.c_str());
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(fcntl(fileno(file), F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
  std::fclose(file);
  const auto image = load_image(regular.c_str(), nullptr, {});
  ASSERT_NE(image, nullptr);
  EXPECT_EQ(get_pixel(*image, 0, 0), 0x102030);
  EXPECT_EQ(load_image(dir.file("a.txt").c_str(), nullptr, {}), nullptr);
  EXPECT_EQ(load_image(nullptr, nullptr, {}), nullptr);

  for (const char* name :
       {"x.jpg", "x.gif", "x.bmp", "x.tif", "x.png", "x.webp", "x.heic", "x.avif", "x.jxl"}) {
    SCOPED_TRACE(name);
    const std::string fifo = dir.file(name);
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(open_image_file(fifo.c_str()), nullptr);
    EXPECT_EQ(load_image(fifo.c_str(), nullptr, {160, 120}), nullptr);
    EXPECT_TRUE(formats[get_type(name)].list_pages(fifo.c_str()).empty());
    EXPECT_EQ(load_image(dir.mkdir(std::string("d") + name).c_str(), nullptr, {}), nullptr);
  }
  EXPECT_EQ(open_image_file("/dev/null"), nullptr);
  EXPECT_EQ(open_image_file(dir.file("missing.png").c_str()), nullptr);
}

// The first bytes decide, whatever the name says: every format's file under another format's
// extension, or none, decodes as what it is. Each file is made by an independent encoder.
TEST(Registry, ContentsDecideOverTheName) {
  init_formats();
  TempDir dir;
  const std::string source = dir.file("source.ppm");
  constexpr int colour = 0xc04020;
  dir.write(
      "source.ppm", std::string("P6 16 16 255\n") + [] {
        std::string pixels;
        for (int i = 0; i < 256; ++i)
          pixels += "\xc0\x40\x20";
        return pixels;
      }());
  struct Case {
    const char* encode;  // source to OUT
    const char* name;    // a misleading name
    int tolerance;       // for the lossy ones
  };
  const Case cases[] = {
      {"convert IN png:OUT", "browser-saved.jpg", 0},
      {"convert IN jpeg:OUT", "x.png", 6},
      {"convert IN gif:OUT", "x.bmp", 0},
      {"convert IN bmp3:OUT", "x.gif", 0},
      {"convert IN tiff:OUT", "x.webp", 0},
      {"cwebp -quiet -lossless IN.png -o OUT", "x.heic", 0},
      {"heif-enc -q 95 IN.png -o OUT.heic && mv OUT.heic OUT", "x.jxl", 6},
      {"avifenc -s 8 IN.png OUT.avif && mv OUT.avif OUT", "x.tif", 6},
      {"cjxl -d 0 IN.png OUT.jxl && mv OUT.jxl OUT", "x.avif", 0},
      {"cjxl -d 0 IN.png OUT.jxl && mv OUT.jxl OUT", "no-extension", 0},
  };
  // A true-colour PNG: Debian 12's heif-enc garbles the colours of palette PNGs.
  ASSERT_EQ(std::system(("convert " + source + " png24:" + source + ".png").c_str()), 0);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string command = c.encode;
    for (std::size_t at; (at = command.find("IN")) != std::string::npos;)
      command.replace(at, 2, source);
    for (std::size_t at; (at = command.find("OUT")) != std::string::npos;)
      command.replace(at, 3, dir.file(c.name));
    ASSERT_EQ(std::system(("(" + command + ") >/dev/null 2>&1").c_str()), 0) << command;
    const auto image = load_image(dir.file(c.name).c_str(), nullptr, {});
    ASSERT_NE(image, nullptr) << command;
    EXPECT_EQ(image->width, 16u);
    const int got = get_pixel(*image, 8, 8);
    for (const int shift : {16, 8, 0})
      EXPECT_NEAR(got >> shift & 0xff, colour >> shift & 0xff, c.tolerance) << command;
  }
  // With no signature, the name picks the decoder, which refuses what it cannot read.
  EXPECT_EQ(load_image(dir.write("text.png", "not an image").c_str(), nullptr, {}), nullptr);
}

}  // namespace
