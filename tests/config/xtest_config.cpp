// The geometry file against a real screen (1280x1024 under the test server): defaults, the
// window created from them, and the whole-file rewrite on save.
// gtest before Xlib, whose macros (None, Bool, Status) clash with it.
#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <string>

#include "config/config.h"
#include "main/state.h"
#include "support/driver.h"
#include "support/tempdir.h"
#include "xsupport/xsupport.h"

namespace {

constexpr char header[] = "\n# pictrarc - configuration file for pictra\n\n";
const std::string default_file = std::string(header) + "xpos=50\nypos=10\nwidth=1180\nheight=924\n";

struct Geometry {
  int x = 0;
  int y = 0;
  unsigned width = 0;
  unsigned height = 0;
};

Geometry window_geometry(Display* display = state.display, Window window = state.window) {
  Window root = 0;
  Geometry g;
  unsigned border = 0;
  unsigned depth = 0;
  XGetGeometry(display, window, &root, &g.x, &g.y, &g.width, &g.height, &border, &depth);
  return g;
}

class ConfigX : public ::testing::Test {
 protected:
  void SetUp() override {
    x_Init(nullptr);
    ASSERT_NE(state.display, nullptr);
    set_path(dir.file(".pictrarc"));
  }
  void TearDown() override {
    if (state.display) x_Cleanup(0);
    state = ProgramState{};
  }

  static void set_path(const std::string& path) {
    std::snprintf(state.config_path, sizeof state.config_path, "%s", path.c_str());
  }

  pictra_test::TempDir dir;
};

void expect_config(const Config& expected, const std::string& what) {
  EXPECT_EQ(state.config.xpos, expected.xpos) << what;
  EXPECT_EQ(state.config.ypos, expected.ypos) << what;
  EXPECT_EQ(state.config.width, expected.width) << what;
  EXPECT_EQ(state.config.height, expected.height) << what;
}

TEST_F(ConfigX, MissingFileIsCreatedWithDefaultsAndWindowOpensThere) {
  load_config();
  EXPECT_EQ(pictra_test::read_file(state.config_path), default_file);
  x_OpenWindow();
  const Geometry g = window_geometry();
  EXPECT_EQ(g.x, 50);
  EXPECT_EQ(g.y, 10);
  EXPECT_EQ(g.width, 1180u);
  EXPECT_EQ(g.height, 924u);
}

TEST_F(ConfigX, ExistingFileIsReadAndLeftAsItIs) {
  const std::string text = "# by hand\n  xpos=300\nypos=-20\nwidth=640\nheight=480px\n";
  dir.write(".pictrarc", text);
  load_config();
  x_OpenWindow();
  const Geometry g = window_geometry();
  EXPECT_EQ(g.x, 300);
  EXPECT_EQ(g.y, -20);
  EXPECT_EQ(g.width, 640u);
  EXPECT_EQ(g.height, 480u);
  EXPECT_EQ(pictra_test::read_file(state.config_path), text);
}

// Sizes the server would refuse fall back to the screen's defaults; positions are kept.
TEST_F(ConfigX, UnusableSizesFallBackToDefaults) {
  struct Case {
    const char* text;
    Config expected;
  };
  const Case cases[] = {
      {"xpos=5\nwidth=0\nheight=0\n", {5, 10, 1180, 924}},
      {"width=-1\nheight=-300\n", {50, 10, 1180, 924}},
      {"width=32768\nheight=32767\n", {50, 10, 1180, 32767}},
      {"width=abc\nheight=1\n", {50, 10, 1180, 1}},
      {"width=4294967295\nheight=4294967296\n", {50, 10, 1180, 924}},
  };
  for (const Case& c : cases) {
    dir.write(".pictrarc", c.text);
    load_config();
    expect_config(c.expected, c.text);
  }
}

// A screen no larger than the margin still gets a window one pixel wide or high.
TEST_F(ConfigX, TinyScreenGivesSizeOne) {
  Screen* screen = ScreenOfDisplay(state.display, state.screen);
  const int real_width = screen->width;
  const int real_height = screen->height;
  screen->width = 100;
  screen->height = 101;
  load_config();
  screen->width = real_width;
  screen->height = real_height;
  expect_config({50, 10, 1, 1}, "100x101 screen");
  EXPECT_EQ(pictra_test::read_file(state.config_path),
            std::string(header) + "xpos=50\nypos=10\nwidth=1\nheight=1\n");
}

// Without a usable file the program runs on the defaults and writes nothing anywhere.
TEST_F(ConfigX, NoUsableFileKeepsDefaults) {
  const std::string missing_dir = dir.file("missing/.pictrarc");
  const std::string a_directory = dir.mkdir("a-directory");
  for (const std::string& path : {missing_dir, a_directory, std::string()}) {
    set_path(path);
    load_config();
    expect_config({50, 10, 1180, 924}, "path '" + path + "'");
  }
  EXPECT_TRUE(pictra_test::read_file(missing_dir).empty());
}

TEST_F(ConfigX, SaveRewritesTheWholeFile) {
  dir.write(".pictrarc", "\n# my window\nwidth=700   # wide enough\nheight=500\ncolour=blue\n");
  load_config();
  expect_config({50, 10, 700, 500}, "hand-edited file");
  x_OpenWindow();
  save_geometry(120, 80, 1000, 750);
  expect_config({120, 80, 1000, 750}, "after save");
  EXPECT_EQ(pictra_test::read_file(state.config_path),
            std::string(header) + "xpos=120\nypos=80\nwidth=1000\nheight=750\n");
}

// Waits, up to the deadline, until the file at path has been closed after writing with exactly
// the expected bytes; answers what it holds at the end.
std::string wait_for_file(const std::string& path, const std::string& expected,
                          std::chrono::milliseconds deadline) {
  const int watch = inotify_init1(IN_CLOEXEC);
  const std::string dir = path.substr(0, path.rfind('/'));
  inotify_add_watch(watch, dir.c_str(), IN_CLOSE_WRITE);
  const auto until = std::chrono::steady_clock::now() + deadline;
  std::string content = pictra_test::read_file(path);
  while (content != expected) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        until - std::chrono::steady_clock::now());
    pollfd ready{watch, POLLIN, 0};
    if (left.count() <= 0 || poll(&ready, 1, static_cast<int>(left.count())) <= 0) break;
    char events[4096];
    if (read(watch, events, sizeof events) <= 0) break;
    content = pictra_test::read_file(path);
  }
  close(watch);
  return content;
}

pictra_test::PictraOptions options(const pictra_test::TempDir& home,
                                   const pictra_test::TempDir& cwd) {
  pictra_test::PictraOptions options;
  options.home = home.path();
  options.cwd = cwd.path();
  return options;
}

// The program itself: start-up creates the file and opens the window from it, and a resize from
// outside makes the browser save the new geometry over a hand-edited file.
TEST(ConfigProgram, StartupCreatesFileAndResizeRewritesIt) {
  pictra_test::TempDir home;
  pictra_test::TempDir cwd;
  const std::string path = home.file(".pictrarc");
  {
    pictra_test::Pictra pictra(options(home, cwd));
    const Window window = pictra.window();
    const Geometry g = window_geometry(pictra.display(), window);
    EXPECT_EQ(g.x, 50);
    EXPECT_EQ(g.y, 10);
    EXPECT_EQ(g.width, 1180u);
    EXPECT_EQ(g.height, 924u);
    EXPECT_EQ(pictra_test::read_file(path), default_file);
  }

  home.write(".pictrarc", "# my own\n  xpos=70\nypos=30\nwidth=500\nheight=400\ncolour=blue\n");
  pictra_test::Pictra pictra(options(home, cwd));
  const Window window = pictra.window();
  const Geometry g = window_geometry(pictra.display(), window);
  EXPECT_EQ(g.width, 500u);
  EXPECT_EQ(g.height, 400u);
  pictra.resize(640, 480);
  const std::string saved = std::string(header) + "xpos=70\nypos=30\nwidth=640\nheight=480\n";
  EXPECT_EQ(wait_for_file(path, saved, pictra_test::default_deadline), saved);
}

}  // namespace
