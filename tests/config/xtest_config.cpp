// The geometry file against a real screen (1280x1024 under the test server): defaults, the
// window created from them, the whole-file rewrite on save, and how the program writes it.
// gtest before Xlib, whose macros (None, Bool, Status) clash with it.
#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/keysym.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <string>

#include "config/config.h"
#include "main/state.h"
#include "support/driver.h"
#include "support/geometry.h"
#include "support/tempdir.h"
#include "xsupport/xsupport.h"

namespace {

constexpr const char* header = pictra_test::config_header;
const std::string default_file = std::string(header) + "xpos=50\nypos=10\nwidth=1180\nheight=924\n";

std::string saved_text(int x, int y, int width, int height) {
  return std::string(header) + "xpos=" + std::to_string(x) + "\nypos=" + std::to_string(y) +
         "\nwidth=" + std::to_string(width) + "\nheight=" + std::to_string(height) + "\n";
}

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

  static void set_path(const std::string& path) { state.config_path = path; }

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

// Sizes the server would refuse fall back to the screen's defaults; what remains is made to fit
// the 1280x1024 screen with at least 64 pixels (all of a smaller window) on it. Only the first
// 64 KiB of the file count.
TEST_F(ConfigX, GeometryIsMadeUsableAndFitsTheScreen) {
  std::string long_file = "width=640\n";
  while (long_file.size() < 64 * 1024)
    long_file += "# padding\n";
  long_file += "height=480\n";
  struct Case {
    std::string text;
    Config expected;
  };
  const Case cases[] = {
      {"xpos=5\nwidth=0\nheight=0\n", {5, 10, 1180, 924}},
      {"width=-1\nheight=-300\n", {50, 10, 1180, 924}},
      {"width=32768\nheight=32767\n", {50, 10, 1180, 1024}},
      {"width=abc\nheight=1\n", {50, 10, 1180, 1}},
      {"width=4294967295\nheight=4294967296\n", {50, 10, 1180, 924}},
      {"xpos=5000\nypos=5000\n", {1216, 960, 1180, 924}},
      {"xpos=-5000\nypos=-5000\nwidth=32767\nheight=32767\n", {-1216, -960, 1280, 1024}},
      {"xpos=-5000\nypos=2000\nwidth=40\nheight=30\n", {0, 994, 40, 30}},
      {long_file, {50, 10, 640, 924}},
  };
  for (const Case& c : cases) {
    dir.write(".pictrarc", c.text);
    load_config();
    expect_config(c.expected, c.text.substr(0, 80));
  }
  // The window itself follows.
  dir.write(".pictrarc", "xpos=5000\nypos=10\nwidth=32767\nheight=32767\n");
  load_config();
  x_OpenWindow();
  const Geometry g = window_geometry();
  EXPECT_EQ(g.x, 1280 - 64);
  EXPECT_EQ(g.y, 10);
  EXPECT_EQ(g.width, 1280u);
  EXPECT_EQ(g.height, 1024u);
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

// Without a usable file the program runs on the defaults and writes nothing anywhere. A FIFO
// (which a blocking open would wait on for a writer) and an endless device are not read.
TEST_F(ConfigX, NoUsableFileKeepsDefaults) {
  const std::string missing_dir = dir.file("missing/.pictrarc");
  const std::string a_directory = dir.mkdir("a-directory");
  const std::string fifo = dir.file("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::string endless = dir.file("zero");
  ASSERT_EQ(symlink("/dev/zero", endless.c_str()), 0);
  for (const std::string& path : {missing_dir, a_directory, fifo, endless, std::string()}) {
    set_path(path);
    load_config();
    expect_config({50, 10, 1180, 924}, "path '" + path + "'");
  }
  EXPECT_TRUE(pictra_test::read_file(missing_dir).empty());
  struct stat info {};
  EXPECT_TRUE(stat(fifo.c_str(), &info) == 0 && S_ISFIFO(info.st_mode));
}

TEST_F(ConfigX, SaveRewritesTheWholeFile) {
  dir.write(".pictrarc", "\n# my window\nwidth=700   # wide enough\nheight=500\ncolour=blue\n");
  load_config();
  expect_config({50, 10, 700, 500}, "hand-edited file");
  x_OpenWindow();
  save_geometry(120, 80, 1000, 750);
  flush_config();
  expect_config({120, 80, 1000, 750}, "after save");
  EXPECT_EQ(pictra_test::read_file(state.config_path),
            std::string(header) + "xpos=120\nypos=80\nwidth=1000\nheight=750\n");
}

// Watches a directory for the ways a file in it can be written: closed after writing in place,
// or renamed into place.
class FileWatch {
 public:
  explicit FileWatch(const std::string& path)
      : path_(path), name_(path.substr(path.rfind('/') + 1)), fd_(inotify_init1(IN_CLOEXEC)) {
    inotify_add_watch(fd_, path.substr(0, path.rfind('/')).c_str(), IN_CLOSE_WRITE | IN_MOVED_TO);
  }
  ~FileWatch() { close(fd_); }
  FileWatch(const FileWatch&) = delete;
  FileWatch& operator=(const FileWatch&) = delete;

  // Writes of the file seen so far. The kernel folds an event into an unread identical one, so
  // a caller counting a series of writes asks after each.
  int writes() {
    drain();
    return writes_;
  }

  // Waits, up to the deadline, until the file holds exactly expected; answers what it holds at
  // the end.
  std::string wait_for(const std::string& expected, std::chrono::milliseconds deadline) {
    const auto until = std::chrono::steady_clock::now() + deadline;
    std::string content = pictra_test::read_file(path_);
    while (content != expected) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          until - std::chrono::steady_clock::now());
      pollfd ready{fd_, POLLIN, 0};
      if (left.count() <= 0 || poll(&ready, 1, static_cast<int>(left.count())) <= 0) break;
      drain();
      content = pictra_test::read_file(path_);
    }
    drain();
    return content;
  }

 private:
  void drain() {
    alignas(inotify_event) char events[4096];
    pollfd ready{fd_, POLLIN, 0};
    while (poll(&ready, 1, 0) > 0) {
      const ssize_t length = read(fd_, events, sizeof events);
      if (length <= 0) return;
      for (ssize_t at = 0; at < length;) {
        const auto* event = reinterpret_cast<const inotify_event*>(events + at);
        if (event->len > 0 && name_ == event->name) ++writes_;
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      }
    }
  }

  std::string path_;
  std::string name_;
  int fd_;
  int writes_ = 0;
};

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
  FileWatch watch(path);
  pictra.resize(640, 480);
  const std::string saved = saved_text(70, 30, 640, 480);
  EXPECT_EQ(watch.wait_for(saved, pictra_test::default_deadline), saved);
}

// A FIFO or an endless device as the file neither holds up start-up nor is replaced at the end.
TEST(ConfigProgram, UnreadableFileStillShowsTheWindow) {
  for (const bool fifo : {true, false}) {
    SCOPED_TRACE(fifo ? "FIFO" : "link to /dev/zero");
    pictra_test::TempDir home;
    pictra_test::TempDir cwd;
    const std::string path = home.file(".pictrarc");
    ASSERT_EQ(fifo ? mkfifo(path.c_str(), 0600) : symlink("/dev/zero", path.c_str()), 0);
    pictra_test::Pictra pictra(options(home, cwd));
    const Window window = pictra.window();
    ASSERT_NE(window, 0u);
    EXPECT_EQ(window_geometry(pictra.display(), window).width, 1180u);
    pictra.resize(640, 480);
    pictra.key(XK_q);
    const auto status = pictra.wait_exit();
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(pictra_test::exit_code(*status), 0);
    struct stat info {};
    ASSERT_EQ(lstat(path.c_str(), &info), 0);
    EXPECT_EQ(fifo ? S_ISFIFO(info.st_mode) : S_ISLNK(info.st_mode), true);
  }
}

// 200 resizes in a burst are written a few times at most, with the last geometry.
TEST(ConfigProgram, ResizeBurstIsWrittenOnce) {
  pictra_test::TempDir home;
  pictra_test::TempDir cwd;
  const std::string path = home.write(".pictrarc", "xpos=70\nypos=30\nwidth=500\nheight=400\n");
  pictra_test::Pictra pictra(options(home, cwd));
  pictra.window();
  FileWatch watch(path);
  constexpr int resizes = 200;
  // Each resize is taken in (its redraw seen) before the next, so none is folded into another.
  const int draws = pictra.title_changes();
  for (int i = 1; i <= resizes; ++i) {
    pictra.resize(500 + static_cast<unsigned>(i), 400 + static_cast<unsigned>(i % 7));
    ASSERT_TRUE(pictra.wait_title_changes(draws + i));
    watch.writes();
  }
  const std::string saved = saved_text(70, 30, 500 + resizes, 400 + resizes % 7);
  EXPECT_EQ(watch.wait_for(saved, pictra_test::default_deadline), saved);
  EXPECT_GE(watch.writes(), 1);
  EXPECT_LE(watch.writes(), 3);
}

// The geometry still waiting for its quiet second is written however the program ends.
TEST(ConfigProgram, LastGeometryIsWrittenAtTheEnd) {
  enum Ending { quit_key, window_destroyed, terminated };
  unsigned width = 600;
  for (const Ending ending : {quit_key, window_destroyed, terminated}) {
    SCOPED_TRACE(ending);
    pictra_test::TempDir home;
    pictra_test::TempDir cwd;
    const std::string path = home.write(".pictrarc", "xpos=70\nypos=30\nwidth=500\nheight=400\n");
    pictra_test::Pictra pictra(options(home, cwd));
    pictra.window();
    const int draws = pictra.title_changes();
    pictra.resize(++width, 450);
    // The redraw after the resize shows the program has taken the new geometry.
    ASSERT_TRUE(pictra.wait_title_changes(draws + 1));
    switch (ending) {
      case quit_key:
        pictra.key(XK_q);
        break;
      case window_destroyed:
        pictra.destroy_window();
        break;
      case terminated:
        pictra.signal(SIGTERM);
        break;
    }
    ASSERT_TRUE(pictra.wait_exit().has_value());
    EXPECT_EQ(pictra_test::read_file(path), saved_text(70, 30, static_cast<int>(width), 450));
  }
}

}  // namespace
