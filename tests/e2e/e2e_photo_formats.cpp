// WebP, HEIC, AVIF and JPEG XL in the real program: listed under names in any letter case,
// shown as thumbnails and in the view; and a PNG under a JPEG name shows as what it is.
#include <gtest/gtest.h>  // before the X headers, whose macros clash with it

#include <X11/keysym.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "support/driver.h"
#include "support/geometry.h"
#include "support/tempdir.h"

namespace {

using namespace pictra_test;

constexpr char prefix[] = "pictra-0.31 - ";
// 600 x 500: six columns of 100 x (80 + a 20-pixel label).
constexpr int cell_width = 100;
constexpr int cell_height = 100;
constexpr int columns = 6;
constexpr int block = 8;  // the side of the square whose mean colour is checked

struct File {
  const char* name;
  int rgb;             // flat colour
  const char* encode;  // source PNG IN to OUT
};
// In the grid's order, after "/..". Pure colours, which every depth shows without dithering.
const File files[] = {
    {"IMG_1234.HEIC", 0x0000ff, "heif-enc -q 90 IN -o OUT"},
    {"a.WEBP", 0xff0000, "cwebp -quiet -lossless IN -o OUT"},
    {"b.webp", 0x00ff00, "cwebp -quiet -q 90 IN -o OUT"},
    {"d.Avif", 0xffff00, "avifenc -s 8 IN OUT.avif && mv OUT.avif OUT"},
    {"e.JXL", 0xff00ff, "cjxl -q 90 IN OUT.jxl && mv OUT.jxl OUT"},
    {"f.jpg", 0x00ffff, "cp IN OUT"},  // a PNG under a JPEG name
};

// How far the mean of a block may be from the file's colour: the lossy codecs' error, plus
// what a visual of fewer bits loses.
int tolerance() {
  const int depth = test_depth();
  return depth == 8 ? 48 : depth < 24 ? 14 : 8;
}

std::string with(std::string command, const std::string& in, const std::string& out) {
  for (const auto& [word, value] : {std::pair<std::string, std::string>{"IN", in}, {"OUT", out}}) {
    for (std::size_t at; (at = command.find(word)) != std::string::npos;)
      command.replace(at, word.size(), "'" + value + "'");
  }
  return command;
}

struct Session {
  TempDir home;
  TempDir dir;
  int changes = 0;
  std::unique_ptr<Pictra> pictra;

  Session() {
    home.write(".pictrarc", geometry_file(600, 500));
    for (const File& file : files) {
      const std::string source = home.file("source.png");
      char colour[8];
      std::snprintf(colour, sizeof colour, "#%06x", file.rgb);
      const std::string command =
          "(convert -size 64x48 'xc:" + std::string(colour) + "' png24:'" + source + "' && " +
          with(file.encode, source, dir.file(file.name)) + ") >/dev/null 2>&1";
      EXPECT_EQ(std::system(command.c_str()), 0) << command;
    }
  }
  void press(KeySym key) {
    pictra->key(key);
    ASSERT_TRUE(pictra->wait_title_changes(++changes));
  }
  // The largest channel difference between rgb and the mean of the block at (x, y).
  int block_difference(int x, int y, int rgb) {
    const WindowPixels pixels = pictra->pixels();
    int worst = 0;
    for (const int shift : {16, 8, 0}) {
      int sum = 0;
      for (int j = 0; j < block; ++j) {
        for (int i = 0; i < block; ++i)
          sum += pixel_to_rgb(pictra->display(), pixels.at(x + i, y + j)) >> shift & 0xff;
      }
      worst = std::max(worst, std::abs(sum / (block * block) - (rgb >> shift & 0xff)));
    }
    return worst;
  }
  // Waits until the block at (x, y) shows rgb: thumbnails arrive as the pool decodes them.
  bool shows(int x, int y, int rgb) {
    const auto until = std::chrono::steady_clock::now() + default_deadline;
    while (block_difference(x, y, rgb) > tolerance()) {
      if (std::chrono::steady_clock::now() > until) return false;
      pictra->wait_title_changes(pictra->title_changes() + 1, 20ms);
    }
    return true;
  }
};

TEST(PhotoFormats, ListedAsThumbnailsAndShownInTheView) {
  Session session;
  const std::string here = std::string(prefix) + session.dir.path();
  session.pictra =
      std::make_unique<Pictra>(PictraOptions{session.home.path(), session.dir.path(), {}, {}});
  ASSERT_TRUE(session.pictra->wait_title(here)) << session.pictra->title();
  session.changes = session.pictra->title_changes();

  int cell = 1;  // after "/.."
  for (const File& file : files) {
    SCOPED_TRACE(file.name);
    const int x = cell % columns * cell_width, y = cell / columns * cell_height;
    EXPECT_TRUE(session.shows(x + 2, y + 2, file.rgb))
        << session.block_difference(x + 2, y + 2, file.rgb);
    ++cell;
  }
  for (const File& file : files) {
    SCOPED_TRACE(file.name);
    session.press(XK_Right);
    session.press(XK_Return);
    EXPECT_EQ(session.pictra->title(), std::string(prefix) + file.name + " (64x48)");
    // 64 x 48 fitted into 600 x 500 is 600 x 450.
    EXPECT_TRUE(session.shows(300, 220, file.rgb)) << session.block_difference(300, 220, file.rgb);
    session.press(XK_Escape);
    ASSERT_EQ(session.pictra->title(), here);
  }
}

}  // namespace
