// Marks and the key handler on the real binary: the frame of a marked cell read back from the
// window against black and white thumbnails, marks kept across a directory change and a rescan,
// the -o output, and handlers that turn, delete, fail, sleep or are missing.
#include <gtest/gtest.h>  // before the X headers, whose macros clash with it

#include <X11/keysym.h>
#include <sys/stat.h>

#include <memory>
#include <string>
#include <vector>

#include "support/bmp_file.h"
#include "support/driver.h"
#include "support/geometry.h"
#include "support/tempdir.h"
#include "support/xpixels.h"

namespace {

using namespace pictra_test;
using namespace std::chrono_literals;

// 600 x 500 at the first size level: 6 x 5 cells of 100 x (80 + 20).
constexpr int cell_width = 100;
constexpr int thumb_height = 80;
constexpr int cell_height = thumb_height + 20;
constexpr int columns = 6;
constexpr int rgb_mark = 0xff00ff;
constexpr int rgb_black = 0x000000;
constexpr int rgb_white = 0xffffff;
constexpr int rgb_red = 0xff0000;
constexpr int rgb_blue = 0x0000ff;

// 12 x 10: fitted, it fills the view's 600 x 500 window.
std::string solid_bmp(int rgb) {
  return bmp24(RgbImage{12, 10, std::vector<int>(120, rgb)});
}

class Marks : public testing::Test {
 protected:
  void SetUp() override { home_.write(".pictrarc", geometry_file(600, 500)); }

  void start(std::vector<std::string> args, const std::string& sub = "") {
    pictra_ = std::make_unique<Pictra>(PictraOptions{home_.path(),
                                                     dir_.path() + sub,
                                                     std::move(args),
                                                     {"XDG_CONFIG_HOME=" + home_.file("config")}});
    await_title(grid_title(sub));
  }
  std::string grid_title(const std::string& sub = "") {
    return "pictra-0.31 - " + dir_.path() + sub;
  }
  void await_title(const std::string& title) {
    ASSERT_TRUE(pictra_->wait_title(title)) << pictra_->title();
    changes_ = pictra_->title_changes();
  }
  // Presses a key and waits for the redraw it brings (titles_after: the title changes it makes).
  void press(KeySym key, bool shift = false, int titles_after = 1) {
    pictra_->key(key, shift);
    changes_ += titles_after;
    ASSERT_TRUE(pictra_->wait_title_changes(changes_)) << XKeysymToString(key);
  }
  // Ctrl+x, a modifier alone (which waits for the key) and key: the title says the handler
  // runs, says so no more, and the grid is redrawn.
  void run_handler(KeySym key, bool shift = false, bool control = false) {
    pictra_->key(XK_x, false, true);
    pictra_->key(XK_Control_L);
    pictra_->key(key, shift, control);
    changes_ += 3;
    ASSERT_TRUE(pictra_->wait_title_changes(changes_)) << XKeysymToString(key);
  }

  // Whether the pixel at x, y of cell (-1: of the window) shows rgb.
  bool shows(int cell, int x, int y, int rgb) {
    if (cell >= 0) x += cell % columns * cell_width, y += cell / columns * cell_height;
    return pictra_->pixels().at(static_cast<unsigned>(x), static_cast<unsigned>(y)) ==
           expected_pixel(pictra_->display(), rgb);
  }
  // The marked cells, told by the frame's corners; the label bar stays clear of it.
  std::vector<int> marked_cells(int cells) {
    std::vector<int> marked;
    for (int cell = 0; cell < cells; ++cell) {
      EXPECT_FALSE(shows(cell, cell_width - 3, thumb_height + 3, rgb_mark)) << cell;
      if (shows(cell, 1, 1, rgb_mark) && shows(cell, cell_width - 3, thumb_height - 2, rgb_mark))
        marked.push_back(cell);
    }
    return marked;
  }
  // The colour inside the cell's thumbnail, clear of a frame.
  bool cell_shows(int cell, int rgb) { return shows(cell, 20, 20, rgb); }
  // The view's top left corner, where a marked image has its marker.
  bool view_corner(int rgb) { return shows(-1, 2, 2, rgb) && shows(-1, 12, 12, rgb); }
  int selected_cell(int cells) {
    for (int cell = 0; cell < cells; ++cell)
      if (shows(cell, cell_width - 3, thumb_height + 3, rgb_white)) return cell;
    return -1;
  }
  TempDir home_;
  TempDir dir_;
  std::unique_ptr<Pictra> pictra_;
  int changes_ = 0;
};

// The list: "/..", "/sub", black.bmp, white.bmp; sub holds c.bmp.
TEST_F(Marks, GridMarksStayWithTheirFilesAndArePrintedAtTheEnd) {
  if (test_depth() != 24 && test_depth() != 8) GTEST_SKIP() << "the marks run at 8 and 24";
  dir_.write("black.bmp", solid_bmp(rgb_black));
  dir_.write("white.bmp", solid_bmp(rgb_white));
  dir_.mkdir("sub");
  dir_.write("sub/c.bmp", solid_bmp(rgb_red));
  start({"-o"});
  constexpr int cells = 4;
  press(XK_Right);
  press(XK_Right);
  press(XK_m);
  press(XK_Right);
  press(XK_m);
  EXPECT_EQ(marked_cells(cells), (std::vector<int>{2, 3}));
  EXPECT_TRUE(cell_shows(2, rgb_black) && cell_shows(3, rgb_white));
  press(XK_u);
  EXPECT_EQ(marked_cells(cells), std::vector<int>{});
  press(XK_m, true);  // directories are never marked
  EXPECT_EQ(marked_cells(cells), (std::vector<int>{2, 3}));
  press(XK_Home);
  for (const auto& [key, cell] : {std::pair{XK_n, 2}, {XK_n, 3}, {XK_n, 3}, {XK_p, 2}}) {
    press(key, true);
    EXPECT_EQ(selected_cell(cells), cell) << XKeysymToString(key);
  }
  press(XK_m);
  EXPECT_EQ(marked_cells(cells), std::vector<int>{3});

  // The view's marker, on white and on black, follows m.
  press(XK_Right);
  pictra_->key(XK_Return);
  await_title("pictra-0.31 - white.bmp (12x10)");
  EXPECT_TRUE(view_corner(rgb_mark));
  press(XK_m);
  EXPECT_TRUE(view_corner(rgb_white));
  pictra_->key(XK_Up);
  await_title("pictra-0.31 - black.bmp (12x10)");
  EXPECT_TRUE(view_corner(rgb_black));
  press(XK_m);
  EXPECT_TRUE(view_corner(rgb_mark));
  pictra_->key(XK_q);
  await_title(grid_title());
  EXPECT_EQ(marked_cells(cells), std::vector<int>{2});

  press(XK_Left);
  press(XK_Return);
  ASSERT_TRUE(pictra_->wait_title(grid_title("/sub")));
  press(XK_Right);
  press(XK_m);
  EXPECT_EQ(marked_cells(2), std::vector<int>{1});
  press(XK_BackSpace);
  ASSERT_TRUE(pictra_->wait_title(grid_title()));
  EXPECT_EQ(marked_cells(cells), std::vector<int>{2});
  press(XK_r);
  EXPECT_EQ(marked_cells(cells), std::vector<int>{2});
  pictra_->key(XK_q);
  ASSERT_TRUE(pictra_->wait_exit().has_value());
  EXPECT_EQ(pictra_->stdout_text(), "black.bmp\nsub/c.bmp\n");
}

// A list named from sub: c.bmp lies under the start, ../black.bmp does not.
TEST_F(Marks, NulSeparatedOutputNamesFilesOutsideTheStartByAbsolutePaths) {
  if (test_depth() != 24) GTEST_SKIP() << "the output does not depend on the depth";
  dir_.write("black.bmp", solid_bmp(rgb_black));
  dir_.mkdir("sub");
  dir_.write("sub/c.bmp", solid_bmp(rgb_red));
  start({"-t", "-o", "-0", "c.bmp", "../black.bmp"}, "/sub");
  press(XK_m, true);
  EXPECT_EQ(marked_cells(2), (std::vector<int>{0, 1}));
  pictra_->key(XK_q);
  ASSERT_TRUE(pictra_->wait_exit().has_value());
  EXPECT_EQ(pictra_->stdout_text(), std::string("c.bmp\0", 6) + dir_.file("black.bmp") + '\0');
}

// One session: a handler missing, then one that records what it got, turns, deletes, fails and
// sleeps. The names with a space, quotes, "$(...)" and a newline reach it whole with -0.
TEST_F(Marks, KeyHandlerActsOnTheMarkedFilesAndTheGridFollows) {
  if (test_depth() != 24) GTEST_SKIP() << "the handler does not depend on the depth";
  const std::vector<std::string> odd = {"$(touch x).bmp", "a b.bmp", "new\nline.bmp",
                                        "q'\"uote.bmp"};
  for (const std::string& name : odd)
    dir_.write(name, solid_bmp(rgb_black));
  dir_.write("r-gone.bmp", solid_bmp(rgb_red));
  dir_.write("s-turn.bmp", solid_bmp(rgb_white));
  dir_.write("t-last.bmp", solid_bmp(rgb_red));
  home_.write("turned.bmp", bmp24(RgbImage{4, 8, std::vector<int>(32, rgb_blue)}));
  home_.write("wide.bmp", solid_bmp(rgb_blue));
  start({"-0"});
  // Missing: reported, and nothing else happens (the next key's redraw comes after it).
  pictra_->key(XK_x, false, true);
  pictra_->key(XK_w);
  press(XK_Home);
  const std::string handler = home_.file("config/pictra/key-handler");
  EXPECT_EQ(pictra_->stderr_text(), "pictra: no key handler at " + handler + "\n");

  home_.mkdir("config");
  home_.mkdir("config/pictra");
  home_.write(
      "config/pictra/key-handler",
      "#!/bin/sh\n"
      "printf '%s' \"$1\" > \"$HOME/key\"\n"
      "case \"$1\" in\n"
      "w) cat > \"$HOME/got\" ;;\n"
      "r) tr '\\0' '\\n' | while IFS= read -r f; do cp \"$HOME/turned.bmp\" \"$f\"; done ;;\n"
      "C-d) tr '\\0' '\\n' | while IFS= read -r f; do rm -- \"$f\"; done ;;\n"
      "S-Delete) exit 3 ;;\n"
      "l) f=$(tr -d '\\0'); cp \"$HOME/wide.bmp\" \"$f\" ;;\n"
      "*) sleep 10 ;;\n"
      "esac\n");
  ASSERT_EQ(chmod(handler.c_str(), 0755), 0);
  std::string expected;
  for (std::size_t i = 0; i < odd.size(); ++i) {
    press(XK_Right);
    press(XK_m);
    expected += dir_.file(odd[i]) + std::string(1, '\0');
  }
  run_handler(XK_w);
  EXPECT_EQ(read_file(home_.file("got")), expected);
  EXPECT_EQ(read_file(home_.file("key")), "w");
  press(XK_u);

  // Cells: "/..", the four odd names, r-gone.bmp (5), s-turn.bmp (6), t-last.bmp (7).
  press(XK_Right);
  press(XK_Right);
  EXPECT_TRUE(cell_shows(6, rgb_white));
  run_handler(XK_r);  // none is marked: the selected file
  EXPECT_TRUE(cell_shows(6, rgb_blue)) << "the turned file is decoded again";
  press(XK_Left);
  run_handler(XK_d, false, true);
  EXPECT_EQ(read_file(home_.file("key")), "C-d");
  EXPECT_TRUE(cell_shows(5, rgb_blue)) << "the deleted file left the grid";
  EXPECT_TRUE(cell_shows(6, rgb_red));
  EXPECT_EQ(selected_cell(8), 5);
  run_handler(XK_Delete, true);

  // In the view the file the handler changed is shown again as it is now.
  pictra_->key(XK_Return);
  await_title("pictra-0.31 - s-turn.bmp (4x8)");
  pictra_->key(XK_x, false, true);
  pictra_->key(XK_l);
  await_title("pictra-0.31 - s-turn.bmp (12x10)");
  pictra_->key(XK_q);
  await_title(grid_title());

  // The sleeping handler: the window is repainted meanwhile, and q ends at once.
  pictra_->key(XK_x, false, true);
  pictra_->key(XK_z);
  ASSERT_TRUE(pictra_->wait_title(grid_title() + " [key handler running]"));
  pictra_->send_expose(0);
  changes_ += 2;  // the note, then the redraw
  ASSERT_TRUE(pictra_->wait_title_changes(changes_));
  EXPECT_TRUE(cell_shows(6, rgb_red));
  pictra_->key(XK_q);
  const auto ended = pictra_->wait_exit(5s);
  ASSERT_TRUE(ended.has_value()) << "q waited for the handler";
  EXPECT_EQ(pictra_->stderr_text(), "pictra: no key handler at " + handler +
                                        "\npictra: key handler exited with status 3\n");
  struct stat info {};
  EXPECT_NE(stat(dir_.file("x").c_str(), &info), 0) << "a name reached a shell";
}

}  // namespace
