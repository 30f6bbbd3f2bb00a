// The format table, the extension lookup that every decode starts from, and the one way files
// are opened.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdio>
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
      // case-sensitive: only the spellings in the table
      {"a.jpg", format_jpeg},
      {"a.JPG", format_jpeg},
      {"a.jpeg", format_jpeg},
      {"a.JPEG", -1},
      {"a.Jpg", -1},
      {"a.gif", format_gif},
      {"a.GIF", format_gif},
      {"a.bmp", format_bmp},
      {"a.BMP", format_bmp},
      {"a.Bmp", -1},
      {"a.png", format_png},
      {"a.PNG", format_png},
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
  const int extcounts[format_count] = {3, 2, 2, 5, 2};
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

  for (const char* name : {"x.jpg", "x.gif", "x.bmp", "x.tif", "x.png"}) {
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

}  // namespace
