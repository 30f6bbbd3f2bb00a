// Multi-image TIFF files end to end: a directory chosen on the command line, and browsing the
// directories of a file as entries of their own.
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
// 600 x 500 at the start level: six columns of 100, five rows of 80 + 20.
constexpr int cell_width = 100;
constexpr int cell_height = 100;
constexpr int label_band = 20;

// Three directories of different sizes and colours, written by ImageMagick.
void write_three_tif(const TempDir& dir) {
  const std::string command = "convert -size 8x8 xc:red -size 6x4 xc:lime -size 5x3 xc:blue '" +
                              dir.file("three.tif") + "'";
  ASSERT_EQ(std::system(command.c_str()), 0);
}

struct Session {
  TempDir home;
  TempDir dir;
  int changes = 0;
  std::unique_ptr<Pictra> pictra;

  Session() {
    home.write(".pictrarc", geometry_file(600, 500));
    write_three_tif(dir);
  }
  void start(std::vector<std::string> args, const std::string& first_title) {
    pictra = std::make_unique<Pictra>(PictraOptions{home.path(), dir.path(), args, {}, false});
    ASSERT_TRUE(pictra->wait_title(first_title)) << pictra->title();
    changes = pictra->title_changes();
  }
  void press(KeySym key) {
    pictra->key(key);
    ASSERT_TRUE(pictra->wait_title_changes(++changes));
  }
  std::uint32_t thumbnail_pixel(int cell) { return pictra->pixels().at(cell * cell_width + 2, 2); }
  int selected_cell() {
    const WindowPixels pixels = pictra->pixels();
    const std::uint32_t white = expected_pixel(pictra->display(), 0xffffff);
    for (int cell = 0; cell < 6; ++cell) {
      const int bar_y = cell_height - label_band + 2;
      if (pixels.at(cell * cell_width + cell_width - 3, bar_y) == white) return cell;
    }
    return -1;
  }
};

TEST(Tiff, CommandLineSelectorPicksTheDirectory) {
  Session session;
  session.start({"three.tif", "2"}, std::string(prefix) + "three.tif (5x3)");
  // 5 x 3 fitted into 600 x 500 fills the width, 360 rows centred from row 70; its top-left
  // pixel is blue.
  EXPECT_EQ(session.pictra->pixels().at(1, 71), expected_pixel(session.pictra->display(), 0xff));
  session.pictra->key(XK_Escape);
  const auto status = session.pictra->wait_exit();
  ASSERT_TRUE(status);
  EXPECT_EQ(exit_code(*status), 0);
}

TEST(Tiff, BrowsingListsTheDirectoriesOfAFileAndLeadsBack) {
  Session session;
  const std::string here = std::string(prefix) + session.dir.path();
  session.start({}, here);
  Display* display = session.pictra->display();

  // The list is "/..", three.tif: Return on the file lists its directories with thumbnails.
  session.press(XK_Right);
  session.press(XK_Return);
  EXPECT_EQ(session.pictra->title(), here + "/three.tif");
  EXPECT_EQ(session.thumbnail_pixel(1), expected_pixel(display, 0xff0000));
  EXPECT_EQ(session.thumbnail_pixel(2), expected_pixel(display, 0x00ff00));
  EXPECT_EQ(session.thumbnail_pixel(3), expected_pixel(display, 0x0000ff));
  EXPECT_EQ(session.selected_cell(), 0);

  // Return on 00000001 views it; Down steps to 00000002; Escape returns to the listing.
  session.press(XK_Right);
  session.press(XK_Right);
  session.press(XK_Return);
  EXPECT_EQ(session.pictra->title(), std::string(prefix) + "three.tif (6x4)");
  session.press(XK_Down);
  EXPECT_EQ(session.pictra->title(), std::string(prefix) + "three.tif (5x3)");
  session.press(XK_Escape);
  EXPECT_EQ(session.pictra->title(), here + "/three.tif");
  EXPECT_EQ(session.selected_cell(), 3);

  // BackSpace leaves the listing for the directory, with the file selected.
  session.press(XK_BackSpace);
  EXPECT_EQ(session.pictra->title(), here);
  EXPECT_EQ(session.selected_cell(), 1);

  // And "/.." inside the listing does the same.
  session.press(XK_Return);
  session.press(XK_Return);  // on "/.."
  EXPECT_EQ(session.pictra->title(), here);
  EXPECT_EQ(session.selected_cell(), 1);
}

// A file of one directory opens the view; one of three lists them whatever its name says.
TEST(Tiff, OneDirectoryFileOpensTheViewAndAMisnamedOneListsItsDirectories) {
  Session session;
  const std::string command = "convert -size 7x5 xc:red '" + session.dir.file("one.tif") + "'";
  ASSERT_EQ(std::system(command.c_str()), 0);
  session.dir.write("renamed.png", read_file(session.dir.file("three.tif")));
  const std::string here = std::string(prefix) + session.dir.path();
  session.start({}, here);
  session.press(XK_Right);  // "/..", one.tif, renamed.png, three.tif
  session.press(XK_Right);
  session.press(XK_Return);
  EXPECT_EQ(session.pictra->title(), here + "/renamed.png");
  session.press(XK_BackSpace);
  session.press(XK_Left);
  session.press(XK_Return);
  EXPECT_EQ(session.pictra->title(), std::string(prefix) + "one.tif (7x5)");
}

}  // namespace
