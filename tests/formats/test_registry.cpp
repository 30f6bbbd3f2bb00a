// The format table and the extension lookup that every decode starts from.
#include <gtest/gtest.h>

#include "formats/formats.h"

namespace {

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
    EXPECT_NE(format.unload, nullptr);
    EXPECT_NE(format.get_pixel, nullptr);
    EXPECT_NE(format.get_width, nullptr);
    EXPECT_NE(format.get_height, nullptr);
    EXPECT_NE(format.list_pages, nullptr);
    EXPECT_NE(format.has_pages, nullptr);
    const bool shared = format.has_pages == no_pages && format.list_pages == no_pages;
    EXPECT_EQ(shared, index != format_tiff);
  }
  EXPECT_EQ(no_pages("a.jpg", nullptr), 0);
  EXPECT_EQ(no_pages(nullptr, "1"), 0);
}

}  // namespace
