// x_Init and x_MakeColor against the harness's server at its depth, and against private servers
// with the visual classes the harness does not provide.
// GoogleTest before Xlib: X.h defines None, a name GoogleTest uses.
#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "support/xpixels.h"
#include "xsupport/xsupport.h"

namespace {

using pictra_test::expected_pixel;
using pictra_test::test_depth;

struct Channels {
  int red_shift, red_bits, green_shift, green_bits, blue_shift, blue_bits;
  bool operator==(const Channels&) const = default;
};

// What x_Init must find at each depth the harness runs, and the colours of the worked table.
struct DepthCase {
  int depth;
  int bits_per_pixel;
  bool cube;
  Channels channels;  // unused for the cube
  std::uint32_t white, grey, red;
};

constexpr DepthCase depth_cases[] = {
    {8, 8, true, {}, 215, 86, 180},
    {15, 16, false, {10, 5, 5, 5, 0, 5}, 0x7FFF, 0x4210, 0x7C00},
    {16, 16, false, {11, 5, 5, 6, 0, 5}, 0xFFFF, 0x8410, 0xF800},
    {24, 32, false, {16, 8, 8, 8, 0, 8}, 0xFFFFFF, 0x808080, 0xFF0000},
};

class DisplayTest : public ::testing::Test {
 protected:
  void SetUp() override { x_Init(nullptr); }
  void TearDown() override { x_Cleanup(0); }
};

TEST_F(DisplayTest, FactsAndWorkedColoursForTheServerDepth) {
  const DepthCase* expected = nullptr;
  for (const DepthCase& c : depth_cases) {
    if (c.depth == test_depth()) expected = &c;
  }
  ASSERT_NE(expected, nullptr) << "no expectations for depth " << test_depth();

  EXPECT_EQ(state.visual_depth, expected->depth);
  EXPECT_EQ(state.bits_per_pixel, expected->bits_per_pixel);
  EXPECT_EQ(state.bytes_per_pixel, static_cast<unsigned long>(expected->bits_per_pixel / 8));
  EXPECT_NE(state.fontset, nullptr);
  EXPECT_EQ(state.cleanup, &x_Cleanup);
  EXPECT_EQ(state.cube_colormap != 0, expected->cube);
  EXPECT_EQ(state.cube_colors != nullptr, expected->cube);
  if (!expected->cube) {
    const Channels& c = expected->channels;
    EXPECT_EQ((Channels{state.red_shift, state.red_bits, state.green_shift, state.green_bits,
                        state.blue_shift, state.blue_bits}),
              c);
  }

  EXPECT_EQ(x_MakeColor(0xFFFFFF), expected->white);
  EXPECT_EQ(x_MakeColor(0x808080), expected->grey);
  EXPECT_EQ(x_MakeColor(0xFF0000), expected->red);
  EXPECT_EQ(x_MakeColor(0x000000), 0u);
  // Only the low 24 bits count.
  EXPECT_EQ(x_MakeColor(static_cast<int>(0xFF808080u)), expected->grey);
  if (expected->cube) {
    EXPECT_EQ(x_MakeColor(0x00FF00), 30u);
    EXPECT_EQ(x_MakeColor(0x0000FF), 5u);
    // The edges of the six steps 0-42, 43-85, ... 215-255 on the blue channel.
    for (auto [blue, cell] : {std::pair{42, 0u}, {43, 1u}, {214, 4u}, {215, 5u}}) {
      EXPECT_EQ(x_MakeColor(blue), cell) << "blue " << blue;
    }
  }
  // Against the independent conversion of the test support, over a spread of colours.
  for (int rgb = 0; rgb <= 0xFFFFFF; rgb += 0x030507) {
    ASSERT_EQ(x_MakeColor(rgb), expected_pixel(state.display, rgb)) << std::hex << rgb;
  }
}

TEST_F(DisplayTest, ColourCubeCellsAreStoredInTheColormap) {
  if (!state.cube_colors) GTEST_SKIP() << "no colour cube on a depth-" << test_depth() << " visual";
  XColor cells[cube_size];
  for (int i = 0; i < cube_size; ++i)
    cells[i].pixel = static_cast<unsigned long>(i);
  XQueryColors(state.display, state.cube_colormap, cells, cube_size);
  for (int i = 0; i < cube_size; ++i) {
    ASSERT_EQ(cells[i].red, i / 36 * 13107) << "cell " << i;
    ASSERT_EQ(cells[i].green, i / 6 % 6 * 13107) << "cell " << i;
    ASSERT_EQ(cells[i].blue, i % 6 * 13107) << "cell " << i;
  }
  EXPECT_EQ(cells[100].red, 26214);
  EXPECT_EQ(cells[100].green, 52428);
  EXPECT_EQ(cells[100].blue, 52428);
}

TEST_F(DisplayTest, CleanupIgnoresSigpipeAndClosesOnce) {
  x_Cleanup(SIGPIPE);
  ASSERT_NE(state.display, nullptr);
  XSync(state.display, False);  // still usable
  x_Cleanup(0);
  EXPECT_EQ(state.display, nullptr);
  EXPECT_EQ(state.cube_colors, nullptr);
  EXPECT_EQ(state.cube_colormap, 0u);
  x_Cleanup(SIGTERM);  // nothing left to release; TearDown calls it once more
}

// A window destroyed from outside while requests to it are still on their way: those errors
// are expected and ignored, any other error still ends the program as the X library does.
TEST_F(DisplayTest, ErrorsFromAVanishedWindowAreIgnoredOthersAreNot) {
  Display* display = state.display;
  state.window = XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 8, 8, 0, 0, 0);
  XSync(display, False);
  Display* outside = XOpenDisplay(nullptr);
  ASSERT_NE(outside, nullptr);
  XDestroyWindow(outside, state.window);
  XSync(outside, False);
  XCloseDisplay(outside);

  GC gc = XCreateGC(display, state.window, 0, nullptr);   // BadDrawable
  XFillRectangle(display, state.window, gc, 0, 0, 4, 4);  // BadDrawable, BadGC
  XFreeGC(display, gc);                                   // BadGC
  XStoreName(display, state.window, "gone");              // BadWindow
  XSync(display, False);
  SUCCEED() << "still running";

  // On a connection of its own: the child must not write into the one it shares with us.
  EXPECT_EXIT(
      {
        x_Init(nullptr);
        XFreePixmap(state.display, DefaultRootWindow(state.display));
        XSync(state.display, False);
      },
      ::testing::ExitedWithCode(1), "BadPixmap");
  state.window = 0;
}

// A private Xvfb with a chosen default visual class, for the classes the harness never runs.
class PrivateServer {
 public:
  PrivateServer(int depth, int visual_class) {
    int fds[2];
    if (pipe(fds) != 0) return;
    const std::string screen = "320x240x" + std::to_string(depth);
    const std::string cls = std::to_string(visual_class);
    const std::string fd = std::to_string(fds[1]);
    pid_ = fork();
    if (pid_ == 0) {
      close(fds[0]);
      const int quiet = open("/dev/null", O_WRONLY);  // its start-up chatter is of no interest
      dup2(quiet, STDERR_FILENO);
      execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", screen.c_str(), "-cc",
             cls.c_str(), "-nolisten", "tcp", static_cast<char*>(nullptr));
      _exit(127);
    }
    close(fds[1]);
    // The server writes the number and the newline separately; read up to the newline, or the
    // server dies writing it into a closed pipe.
    constexpr int start_deadline_ms = 30000;
    pollfd p{fds[0], POLLIN, 0};
    std::string number;
    char c = 0;
    while (poll(&p, 1, start_deadline_ms) == 1 && read(fds[0], &c, 1) == 1 && c != '\n') {
      number += c;
    }
    if (c == '\n') name_ = ":" + number;
    close(fds[0]);
  }
  ~PrivateServer() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
  PrivateServer(const PrivateServer&) = delete;
  PrivateServer& operator=(const PrivateServer&) = delete;

  const std::string& name() const { return name_; }

 private:
  pid_t pid_ = -1;
  std::string name_;
};

// The harness runs this file at four depths; the private servers need starting only once.
bool private_server_run() {
  return test_depth() == 8;
}

TEST(VisualClassTest, RefusesClassesWithoutCubeOrMasks) {
  if (!private_server_run()) GTEST_SKIP() << "private servers are started by the depth-8 run";
  for (auto [visual_class, name] : {std::pair{StaticGray, "StaticGray"},
                                    {GrayScale, "GrayScale"},
                                    {StaticColor, "StaticColor"}}) {
    PrivateServer server(8, visual_class);
    ASSERT_FALSE(server.name().empty()) << name;
    EXPECT_EXIT(x_Init(server.name().c_str()), ::testing::ExitedWithCode(255),
                std::string("^Unsupported visual: ") + name + " at depth 8 [^\n]*\n$");
  }
}

TEST(VisualClassTest, EightBitTrueAndDirectColorUseTheirMasks) {
  if (!private_server_run()) GTEST_SKIP() << "private servers are started by the depth-8 run";
  for (int visual_class : {TrueColor, DirectColor}) {
    PrivateServer server(8, visual_class);
    ASSERT_FALSE(server.name().empty());
    x_Init(server.name().c_str());
    EXPECT_EQ(state.visual_depth, 8);
    EXPECT_EQ(state.bits_per_pixel, 8);
    EXPECT_EQ(state.cube_colormap, 0u);
    for (int rgb : {0xFFFFFF, 0x808080, 0xFF0000, 0x00FF00, 0x0000FF, 0x123456}) {
      EXPECT_EQ(x_MakeColor(rgb), expected_pixel(state.display, rgb))
          << "class " << visual_class << " rgb " << std::hex << rgb;
    }
    // Rasters are dithered onto these few levels too (2 bits for one channel): a flat colour
    // stays within the dither's reach and averages to itself. A TrueColor colormap says what
    // each level shows; a DirectColor one holds whatever was stored.
    if (visual_class == TrueColor) {
      constexpr int side = 64, colour = 0x6a9c3b;
      Picture* picture = x_CreatePicture(side, side, 8);
      ASSERT_NE(picture, nullptr);
      x_FillPicture(picture, colour);
      double sums[3] = {};
      int outside = 0;
      for (int i = 0; i < side * side; ++i) {
        outside += !pictra_test::within_dither(state.display, picture->data[i], colour);
        for (int c = 0; c < 3; ++c)
          sums[c] += pictra_test::channel_of(
              pictra_test::pixel_to_rgb(state.display, picture->data[i]), c);
      }
      EXPECT_EQ(outside, 0);
      for (int c = 0; c < 3; ++c) {
        const std::vector<int>& levels = pictra_test::channel_levels(state.display, c);
        const double step = 255.0 / static_cast<double>(levels.size() - 1);
        EXPECT_NEAR(sums[c] / (side * side), pictra_test::channel_of(colour, c), 2 * step / side)
            << "channel " << c;
      }
      x_FreePicture(picture);
    }
    x_Cleanup(0);
  }
}

}  // namespace
