// Start-up and shutdown of the real binary: the refusals before and during the connection, and
// how it ends on signals while browsing or viewing.
#include <gtest/gtest.h>  // before the X headers, whose macros clash with it

#include <X11/Xlib.h>
#include <X11/keysym.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "support/driver.h"
#include "support/tempdir.h"
#include "support/xpixels.h"

namespace {

using namespace pictra_test;

constexpr char title_prefix[] = "pictra-0.31 - ";
constexpr int fatal_exit = 255;
// Ending on a signal is meant to be prompt; this bound only keeps a hang from stalling the run
// on a loaded machine under the sanitizers.
constexpr auto ending_deadline = std::chrono::seconds(3);

// A display name at which no server answers, checked by trying to connect.
std::string display_without_server() {
  for (int number = 64999; number > 64000; --number) {
    std::string name = ":";
    name += std::to_string(number);
    Display* display = XOpenDisplay(name.c_str());
    if (!display) return name;
    XCloseDisplay(display);
  }
  return {};
}

std::string current_dir_title(const std::string& dir) {
  char real[4096];
  return std::string(title_prefix) + (realpath(dir.c_str(), real) ? real : dir.c_str());
}

TEST(StartupTest, RefusalsBeforeAWindowExists) {
  const std::string no_server = display_without_server();
  ASSERT_FALSE(no_server.empty());
  struct Case {
    bool unset_display;
    std::string display;
    std::string out;
  };
  const Case cases[] = {
      {true, "", "Cannot connect to X-Server.\nAnd it's not compiled for framebuffer or glide.\n"},
      {false, no_server, "Failed to connect to X display on '" + no_server + "'\n"},
      // Set but empty passes the first check; the connection then fails on that name.
      {false, "", "Failed to connect to X display on ''\n"},
  };
  for (const Case& c : cases) {
    TempDir home;
    PictraOptions options{home.path(), home.path(), {}, {}, c.unset_display};
    if (!c.unset_display) options.setenv = {"DISPLAY=" + c.display};
    Pictra pictra(options);
    const auto status = pictra.wait_exit();
    ASSERT_TRUE(status.has_value()) << c.out;
    EXPECT_EQ(exit_code(*status), fatal_exit) << c.out;
    EXPECT_EQ(pictra.stdout_text(), c.out);
    EXPECT_EQ(pictra.stderr_text(), "") << c.out;
    EXPECT_EQ(read_file(home.file(".pictrarc")), "") << "nothing written: " << c.out;
  }
}

// A 30-bit server is beyond the 24 bits the colour mapping handles. It needs a server of its
// own; the harness's depth does not matter, so only the depth-8 run starts it.
TEST(StartupTest, ThirtyBitVisualIsRefused) {
  if (test_depth() != 8) GTEST_SKIP() << "the private server is started by the depth-8 run";
  TempDir work;
  const std::string command = std::string("cd '") + work.path() + "' && HOME='" + work.path() +
                              "' '" + PICTRA_SOURCE_DIR + "/tests/support/with-xvfb' 30 640x480 '" +
                              PICTRA_BINARY + "' >out 2>err";
  const int status = std::system(command.c_str());
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), fatal_exit);
  EXPECT_EQ(read_file(work.file("out")), "");
  EXPECT_EQ(read_file(work.file("err")),
            "You need at least a 8 bit PseudoColor visual andmaximum 24 bit TrueColor "
            "(found: 30 bits).\n");
}

// Each ending signal, while browsing and while viewing, ends the program by that signal; a
// SIGPIPE before it changes nothing (the grid still redraws on an exposure, the view on a turn).
TEST(StartupTest, EndingSignalsEndTheProgramPromptlyAndSigpipeIsIgnored) {
  struct Case {
    int sig;
    bool view;
  };
  for (const Case& c : {Case{SIGTERM, false}, Case{SIGTERM, true}, Case{SIGINT, false},
                        Case{SIGHUP, true}, Case{SIGQUIT, false}}) {
    SCOPED_TRACE(std::string(strsignal(c.sig)) + (c.view ? " while viewing" : " while browsing"));
    TempDir home, dir;
    PictraOptions options{home.path(), dir.path(), {}, {}, false};
    std::string title = current_dir_title(dir.path());
    if (c.view) {
      copy_test_data("pngsuite/basn2c08.png", dir, "image.png");
      options.args = {"image.png"};
      title = std::string(title_prefix) + "image.png (32x32)";
    }
    Pictra pictra(options);
    ASSERT_TRUE(pictra.wait_title(title)) << "title: " << pictra.title();

    pictra.signal(SIGPIPE);
    const int draws = pictra.title_changes();
    if (c.view) {
      pictra.key(XK_Right);
    } else {
      pictra.send_expose(0);
    }
    ASSERT_TRUE(pictra.wait_title_changes(draws + 1)) << "no redraw after SIGPIPE";
    ASSERT_FALSE(pictra.wait_exit(std::chrono::milliseconds(0)).has_value());

    pictra.signal(c.sig);
    const auto status = pictra.wait_exit(ending_deadline);
    ASSERT_TRUE(status.has_value()) << "still running";
    EXPECT_TRUE(WIFSIGNALED(*status));
    EXPECT_EQ(WTERMSIG(*status), c.sig);
    EXPECT_EQ(pictra.stderr_text(), "");
  }
}

// HOME longer than the path buffer: the configuration path is cut, and the program runs.
TEST(StartupTest, OverlongHomeStillStarts) {
  TempDir dir;
  const std::string home = "/nonexistent/" + std::string(1100, 'h');
  Pictra pictra({home, dir.path(), {}, {}, false});
  ASSERT_TRUE(pictra.wait_title(current_dir_title(dir.path())));
  pictra.key(XK_q);
  const auto status = pictra.wait_exit();
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(exit_code(*status), 0);
  EXPECT_EQ(pictra.stderr_text(), "");
}

}  // namespace
