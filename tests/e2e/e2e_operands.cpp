// The command line's forms on the real binary: lists of names viewed and shown as a grid, names
// on standard input, directories walked, the start and the sort orders. Each image has a width
// of its own, so the view's title tells which one is shown.
#include <gtest/gtest.h>  // before the X headers, whose macros clash with it

#include <X11/keysym.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "support/bmp_file.h"
#include "support/driver.h"
#include "support/geometry.h"
#include "support/tempdir.h"
#include "support/xpixels.h"

namespace {

using namespace pictra_test;

constexpr char title_prefix[] = "pictra-0.31 - ";
constexpr int image_height = 10;

class Operands : public testing::Test {
 protected:
  void SetUp() override {
    home_.write(".pictrarc", geometry_file(300, 200));
    dir_.mkdir("sub");
    dir_.mkdir("sub/deeper");
    ASSERT_EQ(symlink("..", dir_.file("sub/deeper/up").c_str()), 0);
    int width = 10;
    for (const char* name : {"a b.bmp", "-d.bmp", "x\xffy.bmp", "new\nline.bmp", "sub/c.bmp",
                             "sub/deeper/e.bmp", "Img5.bmp", "img10.bmp", "img9.bmp"}) {
      widths_[name] = width;
      dir_.write(name, bmp24(RgbImage{width, image_height,
                                      std::vector<int>(std::size_t(width) * image_height, 0)}));
      ++width;
    }
    dir_.write("bad.bmp", "BM but nothing more");
  }

  Pictra& start(std::vector<std::string> args, const std::string& input = "") {
    pictra_ = std::make_unique<Pictra>(
        PictraOptions{home_.path(), dir_.path(), std::move(args), {}, false}, input);
    return *pictra_;
  }

  // The view's title for the image at path (from the test's directory), named as shown or as
  // the path.
  std::string view_of(const std::string& path, const std::string& shown = "") {
    const std::string key = path.starts_with("./") ? path.substr(2) : path;
    return title_prefix + (shown.empty() ? path : shown) + " (" + std::to_string(widths_.at(key)) +
           "x10)";
  }

  // Presses each key and waits for the title after it.
  void expect_titles(Pictra& pictra, const std::vector<std::pair<KeySym, std::string>>& steps) {
    for (const auto& [key, title] : steps) {
      if (key != NoSymbol) pictra.key(key);
      ASSERT_TRUE(pictra.wait_title(title)) << XKeysymToString(key) << ": " << pictra.title();
    }
  }

  void expect_end(Pictra& pictra, int status, const std::string& out = "",
                  const std::string& err = "") {
    const auto ended = pictra.wait_exit();
    ASSERT_TRUE(ended.has_value()) << "still running";
    EXPECT_EQ(exit_code(*ended), status);
    EXPECT_EQ(pictra.stdout_text(), out);
    EXPECT_EQ(pictra.stderr_text(), err);
  }

  TempDir home_;
  TempDir dir_;
  std::map<std::string, int> widths_;
  std::unique_ptr<Pictra> pictra_;
};

// Several names: the view opens on the first and steps through them all in the order given,
// a directory standing for its images; leaving ends the program.
TEST_F(Operands, ListIsViewedInTheOrderGiven) {
  if (test_depth() != 24) GTEST_SKIP() << "the order does not depend on the depth";
  {
    SCOPED_TRACE("names after --, a missing one, a directory, a name that is no UTF-8");
    Pictra& pictra =
        start({"--", "-d.bmp", "missing.bmp", "a b.bmp", "sub", "x\xffy.bmp", "bad.bmp"});
    expect_titles(pictra, {{NoSymbol, view_of("-d.bmp")},
                           {XK_Down, view_of("a b.bmp")},
                           {XK_space, view_of("sub/c.bmp")},
                           // A byte that is no character of the locale reads back as the
                           // Latin-1 character it is.
                           {XK_Next, view_of("x\xffy.bmp", "x\xc3\xbfy.bmp")},
                           {XK_Up, view_of("sub/c.bmp")},
                           {XK_Prior, view_of("a b.bmp")},
                           {XK_BackSpace, view_of("-d.bmp")}});
    // The last name does not decode: the view says so and the program ends, as for one file.
    for (KeySym key : {XK_Down, XK_Down, XK_Down, XK_Down})
      pictra.key(key);
    expect_end(pictra, 1, "Error while displaying image.\n",
               "pictra: missing.bmp: No such file or directory\n");
  }
  {
    SCOPED_TRACE("-r and -n: the walk's second image; a link back up ends nothing");
    Pictra& pictra = start({"-r", "-n", "2", "sub", "a b.bmp"});
    expect_titles(pictra, {{NoSymbol, view_of("sub/deeper/e.bmp")},
                           {XK_Down, view_of("a b.bmp")},
                           {XK_Up, view_of("sub/deeper/e.bmp")},
                           {XK_Up, view_of("sub/c.bmp")}});
    pictra.key(XK_q);
    expect_end(pictra, 0);
  }
  {
    SCOPED_TRACE("-i: the operands, then standard input's lines");
    Pictra& pictra = start({"-i", "sub/c.bmp"}, "a b.bmp\n\n./-d.bmp\n");
    expect_titles(pictra, {{NoSymbol, view_of("sub/c.bmp")},
                           {XK_Down, view_of("a b.bmp")},
                           {XK_Down, view_of("./-d.bmp")}});
    pictra.key(XK_Escape);
    expect_end(pictra, 0);
  }
  {
    SCOPED_TRACE("-i -0: names holding a newline");
    Pictra& pictra = start({"-0i"}, std::string("new\nline.bmp\0a b.bmp", 21));
    expect_titles(pictra, {{NoSymbol, view_of("new\nline.bmp")}, {XK_Down, view_of("a b.bmp")}});
    pictra.key(XK_q);
    expect_end(pictra, 0);
  }
}

// Every sort key, and --reverse, on a list and on a directory's list: the first two images.
TEST_F(Operands, SortOrders) {
  if (test_depth() != 24) GTEST_SKIP() << "the order does not depend on the depth";
  // Sizes follow the widths: Img5 < img10 < img9. Times: img10 oldest, then img9, then Img5.
  const timespec times[][2] = {{{0, UTIME_OMIT}, {1000, 0}}, {{0, UTIME_OMIT}, {2000, 5}}};
  ASSERT_EQ(utimensat(AT_FDCWD, dir_.file("img10.bmp").c_str(), times[0], 0), 0);
  ASSERT_EQ(utimensat(AT_FDCWD, dir_.file("img9.bmp").c_str(), times[1], 0), 0);
  struct Case {
    std::vector<std::string> options;
    std::string first, second;
  };
  const Case cases[] = {
      {{}, "img9.bmp", "Img5.bmp"},  // the order given
      {{"--reverse"}, "img10.bmp", "Img5.bmp"},
      {{"--sort=name"}, "Img5.bmp", "img10.bmp"},
      {{"--sort=natural"}, "Img5.bmp", "img9.bmp"},
      {{"--sort=time"}, "img10.bmp", "img9.bmp"},
      {{"--sort=size"}, "Img5.bmp", "img10.bmp"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = c.options;
    for (const char* name : {"img9.bmp", "Img5.bmp", "img10.bmp"})
      args.push_back(name);
    SCOPED_TRACE(c.options.empty() ? "given" : c.options.front());
    Pictra& pictra = start(args);
    expect_titles(pictra, {{NoSymbol, view_of(c.first)}, {XK_Down, view_of(c.second)}});
    pictra.key(XK_q);
    expect_end(pictra, 0);
  }
  // In the grid of a directory the key orders the files after the directories: -n 1 selects
  // the first image.
  Pictra& pictra = start({"--sort=size", "--reverse", "-n", "1", "."});
  ASSERT_TRUE(pictra.wait_title(title_prefix + dir_.path()));
  expect_titles(pictra, {{XK_Return, view_of("img9.bmp")}, {XK_Down, view_of("img10.bmp")}});
  pictra.key(XK_q);
  ASSERT_TRUE(pictra.wait_title(title_prefix + dir_.path()));
  pictra.key(XK_q);
  expect_end(pictra, 0);
}

// -t: the grid of the list, without "/.." or directory cells; Return views, leaving the view
// comes back, BackSpace has no parent to go to. For one file, the grid of its directory with
// the file selected; for one directory, that directory's grid.
TEST_F(Operands, GridOfAListAndOfAFilesDirectory) {
  if (test_depth() != 24 && test_depth() != 8) GTEST_SKIP() << "the grid runs at 8 and 24";
  const std::string grid = title_prefix + dir_.path();
  {
    SCOPED_TRACE("-t with a list");
    Pictra& pictra = start({"-t", "-n", "2", "sub", "a b.bmp", "./-d.bmp"});
    ASSERT_TRUE(pictra.wait_title(grid));
    expect_titles(pictra, {{XK_Return, view_of("a b.bmp")}, {XK_Escape, grid}});
    // BackSpace and r have no directory to go to or read; Home selects the first cell, which
    // holds the first image.
    pictra.key(XK_BackSpace);
    pictra.key(XK_r);
    pictra.key(XK_Home);
    expect_titles(
        pictra,
        {{XK_Return, view_of("sub/c.bmp")}, {XK_Down, view_of("a b.bmp")}, {XK_Escape, grid}});
    pictra.key(XK_Right);
    pictra.key(XK_Right);
    expect_titles(pictra,
                  {{XK_Return, view_of("./-d.bmp")}, {XK_Up, view_of("a b.bmp")}, {XK_q, grid}});
    pictra.key(XK_q);
    expect_end(pictra, 0);
  }
  {
    SCOPED_TRACE("-t with one file");
    Pictra& pictra = start({"-t", "sub/c.bmp"});
    const std::string sub = title_prefix + dir_.file("sub");
    expect_titles(pictra, {{NoSymbol, sub},
                           {XK_Return, view_of("sub/c.bmp", "c.bmp")},
                           {XK_Escape, sub},
                           {XK_BackSpace, grid}});
    pictra.key(XK_q);
    expect_end(pictra, 0);
  }
  {
    SCOPED_TRACE("one directory, as if started there");
    Pictra& pictra = start({"sub/deeper"});
    expect_titles(pictra, {{NoSymbol, title_prefix + dir_.file("sub/deeper")},
                           {XK_BackSpace, title_prefix + dir_.file("sub")}});
    pictra.key(XK_q);
    expect_end(pictra, 0);
  }
}

}  // namespace
