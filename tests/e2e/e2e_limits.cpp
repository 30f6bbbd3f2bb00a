// What a careless user or a hostile directory can do must not hang the program or take the
// machine: FIFOs where images were, a small file claiming a huge image, a burst of keys.
#include <gtest/gtest.h>  // before the X headers, whose macros clash with it

#include <X11/keysym.h>
#include <png.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "support/bmp_file.h"
#include "support/driver.h"
#include "support/geometry.h"
#include "support/tempdir.h"

namespace {

using namespace pictra_test;

constexpr char title_prefix[] = "pictra-0.31 - ";
constexpr unsigned huge_side = 30000;
// What showing the huge image may take, against 2.6 GB for holding it whole.
constexpr long huge_rss_limit_kib = 256 * 1024;

RgbImage solid(int width, int height, int rgb) {
  return RgbImage{width, height, std::vector<int>(static_cast<std::size_t>(width) * height, rgb)};
}

// A black one-bit PNG of side x side pixels: about 100 KB on disk, 2.7 GB as RGB.
void write_huge_png(const std::string& path, unsigned side) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  ASSERT_NE(file, nullptr);
  png_structp writer = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(writer);
  png_init_io(writer, file);
  png_set_IHDR(writer, info, side, side, 1, PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(writer, info);
  std::vector<png_byte> row((side + 7) / 8, 0);
  for (unsigned y = 0; y < side; ++y)
    png_write_row(writer, row.data());
  png_write_end(writer, nullptr);
  png_destroy_write_struct(&writer, &info);
  std::fclose(file);
}

// The peak resident size of a running process, in KiB (VmHWM).
long peak_rss_kib(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

struct Session {
  TempDir home;
  TempDir dir;
  Session() { home.write(".pictrarc", geometry_file(400, 300)); }
  std::unique_ptr<Pictra> start(std::vector<std::string> args) {
    return std::make_unique<Pictra>(PictraOptions{home.path(), dir.path(), std::move(args), {}});
  }
};

void expect_ends_with_status(Pictra& pictra, int expected) {
  const auto status = pictra.wait_exit();
  ASSERT_TRUE(status.has_value()) << "still running";
  EXPECT_EQ(exit_code(*status), expected) << pictra.stderr_text();
}

void expect_ends_with_status_zero(Pictra& pictra) {
  expect_ends_with_status(pictra, 0);
}

// A FIFO where an image was, met by the browser's view and by the command line: refused like a
// file that does not decode, at once, and the program goes on answering.
TEST(Limits, FifosAreRefusedWithoutBlocking) {
  {
    SCOPED_TRACE("an image replaced by a FIFO after the scan");
    Session run;
    run.dir.write("a.bmp", bmp24(solid(40, 30, 0xff0000)));
    run.dir.write("b.bmp", bmp24(solid(40, 30, 0x00ff00)));
    auto pictra = run.start({});
    const std::string grid_title = title_prefix + run.dir.path();
    ASSERT_TRUE(pictra->wait_title(grid_title));
    ASSERT_EQ(unlink(run.dir.file("b.bmp").c_str()), 0);
    ASSERT_EQ(mkfifo(run.dir.file("b.bmp").c_str(), 0600), 0);
    pictra->key(XK_Right);  // "/..", a.bmp, b.bmp
    pictra->key(XK_Return);
    ASSERT_TRUE(pictra->wait_title(std::string(title_prefix) + "a.bmp (40x30)"));
    pictra->key(XK_Down);  // onto the FIFO: back in the grid, as for a file that does not decode
    ASSERT_TRUE(pictra->wait_title(grid_title)) << pictra->title();
    pictra->key(XK_q);
    expect_ends_with_status_zero(*pictra);
  }
  {
    SCOPED_TRACE("a FIFO on the command line");
    Session run;
    ASSERT_EQ(mkfifo(run.dir.file("p.jpg").c_str(), 0600), 0);
    auto pictra = run.start({"p.jpg"});
    expect_ends_with_status(*pictra, 1);
    EXPECT_EQ(pictra->stdout_text(), "Error while displaying image.\n");
  }
}

// A 100 KB PNG claiming 30000 x 30000 pixels is shown within a small memory bound, as it is
// decoded straight into the window's size; quitting while it decodes does not wait for it.
TEST(Limits, AHugeImageIsShownInLittleMemoryAndQuitDoesNotWaitForIt) {
  if (test_depth() != 24) GTEST_SKIP() << "memory and decoding do not depend on the depth";
  Session run;
  write_huge_png(run.dir.file("huge.png"), huge_side);
  {
    SCOPED_TRACE("quit during the decode");
    auto pictra = run.start({"huge.png"});
    pictra->window();
    pictra->key(XK_q);
    expect_ends_with_status_zero(*pictra);
    EXPECT_EQ(pictra->stdout_text(), "");
  }
  {
    SCOPED_TRACE("shown");
    auto pictra = run.start({"huge.png"});
    const std::string title = std::string(title_prefix) + "huge.png (" + std::to_string(huge_side) +
                              "x" + std::to_string(huge_side) + ")";
    ASSERT_TRUE(pictra->wait_title(title, std::chrono::seconds(120))) << pictra->title();
    EXPECT_LE(peak_rss_kib(pictra->pid()), huge_rss_limit_kib);
    pictra->key(XK_Escape);
    expect_ends_with_status_zero(*pictra);
  }
}

// A hundred quarter turns pressed at once draw far fewer times than that, and end on the turn
// they add up to.
TEST(Limits, ABurstOfTurnsDrawsItsFinalState) {
  Session run;
  RgbImage image = solid(40, 30, 0x0000ff);
  for (int x = 0; x < 20; ++x)
    for (int y = 0; y < 15; ++y)
      image.pixels[static_cast<std::size_t>(y) * 40 + x] = 0xff0000;  // red top-left quarter
  run.dir.write("t.bmp", bmp24(image));
  auto pictra = run.start({"t.bmp"});
  ASSERT_TRUE(pictra->wait_title(std::string(title_prefix) + "t.bmp (40x30)"));
  XSync(pictra->display(), False);
  const int before = pictra->title_changes();
  constexpr int turns = 100;
  for (int i = 0; i < turns; ++i)
    pictra->key(XK_Right);
  pictra->key(XK_Left);  // 99 quarter turns: three quarters, the red corner bottom left
  // Every turn passes through the burst, so the final picture is told apart by a size the
  // window only takes after it: the resize comes behind the keys, and 300 x 400 fits the turned
  // image exactly, red to the bottom-left corner.
  pictra->resize(300, 400);
  const auto red_at_bottom_left = [&] {
    const WindowPixels pixels = pictra->pixels();
    return pixels.height == 400 &&
           within_dither(pictra->display(), pixels.at(5, pixels.height - 5), 0xff0000) &&
           within_dither(pictra->display(), pixels.at(5, 5), 0x0000ff);
  };
  const auto until = std::chrono::steady_clock::now() + default_deadline;
  while (!red_at_bottom_left() && std::chrono::steady_clock::now() < until)
    pictra->wait_title_changes(pictra->title_changes() + 1, std::chrono::milliseconds(50));
  EXPECT_TRUE(red_at_bottom_left());
  pictra->key(XK_Escape);
  expect_ends_with_status_zero(*pictra);
  EXPECT_LT(pictra->title_changes() - before, turns / 4) << "the burst was drawn turn by turn";
}

}  // namespace
