// The soak: thousands of random key presses (every key the program knows, with and without
// Shift, and some it does not), clicks of all five buttons, resizes, exposures and changes to the
// folder, against the real program over a folder of mixed, multi-image, damaged and empty files
// with subfolders. The program must neither crash nor hang; the run is given by its seed, which a
// failure prints with the event count, so that it can be replayed:
//   PICTRA_SOAK_SEED=N PICTRA_SOAK_EVENTS=M tests/support/with-xvfb 8 1280x1024 e2e_e2e_soak
#include <gtest/gtest.h>  // before the X headers, whose macros clash with it

#include <X11/keysym.h>
#include <sys/wait.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "support/driver.h"
#include "support/geometry.h"
#include "support/tempdir.h"

namespace {

using namespace pictra_test;
namespace fs = std::filesystem;

constexpr char title_prefix[] = "pictra-0.31 - ";
constexpr unsigned default_events = 1500;
constexpr unsigned default_seed = 20261209;
constexpr unsigned start_width = 900;
constexpr unsigned start_height = 700;

unsigned from_environment(const char* name, unsigned fallback) {
  const char* value = std::getenv(name);
  return value && *value ? static_cast<unsigned>(std::strtoul(value, nullptr, 10)) : fallback;
}

// Every key of the grid and the view (with Shift at random: M, N, P, A), and a few that mean
// nothing; q and Escape come rarely, since each ends the run and the soak starts it again.
// clang-format off
const std::vector<KeySym> common_keys = {
    XK_Left, XK_Right, XK_Up, XK_Down, XK_Prior, XK_Next, XK_Home, XK_End, XK_Return,
    XK_KP_Enter, XK_BackSpace, XK_space, XK_plus, XK_minus, XK_equal, XK_KP_Add, XK_KP_Subtract,
    XK_KP_2, XK_KP_4, XK_KP_6, XK_KP_8, XK_r, XK_h, XK_f, XK_0, XK_1, XK_j, XK_k, XK_l, XK_bar,
    XK_underscore, XK_a, XK_period, XK_s, XK_i, XK_bracketleft, XK_bracketright, XK_m, XK_u,
    XK_n, XK_p, XK_Tab, XK_z, XK_Shift_L};
// clang-format on
const std::vector<KeySym> leaving_keys = {XK_q, XK_Escape};

// The folder: forty images of every kind the program reads, among them multi-image TIFFs, a
// damaged PNG, an empty JPEG and one large photo, and three subfolders with a few more.
void make_folder(const std::string& path) {
  const std::string data = PICTRA_TEST_DATA;
  const char* pngs[] = {"basn2c08.png", "basn0g01.png", "basi3p08.png", "basn6a08.png",
                        "basi0g16.png", "basn4a16.png", "s01i3p01.png", "s39n3p04.png",
                        "tbwn3p08.png", "z09n2c08.png", "f04n2c08.png", "cs8n3p08.png"};
  for (const char* png : pngs)
    fs::copy_file(data + "/pngsuite/" + png, path + "/" + png);
  const char* bmps[] = {"pal1.bmp",    "pal4rle.bmp",    "pal8.bmp",  "pal8os2.bmp",
                        "rgb16.bmp",   "rgb16-565.bmp",  "rgb24.bmp", "rgb32.bmp",
                        "rgb32bf.bmp", "pal8topdown.bmp"};
  for (const char* bmp : bmps)
    fs::copy_file(data + "/bmpsuite/g/" + bmp, path + "/" + bmp);
  const std::string made = command_output(
      "cd '" + path +
      "' && convert basn2c08.png -resize 400x300 p1.jpg && "
      "convert rgb24.bmp -quality 80 p2.jpg && convert basi3p08.png -interlace JPEG p3.jpg && "
      "convert -size 3000x2000 gradient:red-blue -quality 85 big.jpg && "
      "convert basn0g01.png -colorspace Gray p4.jpg && convert pal8.bmp p5.jpg && "
      "convert basn2c08.png g1.gif && convert pal8.bmp -interlace GIF g2.gif && "
      "convert rgb24.bmp g3.gif && convert pal4rle.bmp g4.gif && convert basn6a08.png g5.gif && "
      "convert basn2c08.png t1.tif && convert rgb24.bmp -compress lzw t2.tif && "
      "convert basn2c08.png rgb24.bmp pal8.bmp multi.tif && "
      "convert rgb32.bmp basn6a08.png -compress zip multi2.tif && "
      "head -c 600 basn2c08.png > damaged.png && : > empty.jpg && "
      "mkdir -p one two/deeper three && cp p1.jpg g1.gif one/ && cp t1.tif two/ && "
      "cp rgb24.bmp two/deeper/ && cp multi.tif three/ && echo ok");
  ASSERT_EQ(made, "ok\n");
}

struct Soak {
  TempDir home;
  TempDir root;  // holds the folder two levels down, so that BackSpace has somewhere to go
  std::string folder;
  std::mt19937 random;
  unsigned seed;
  unsigned event = 0;
  unsigned starts = 0;
  unsigned width = start_width;
  unsigned height = start_height;
  std::unique_ptr<Pictra> pictra;

  explicit Soak(unsigned s) : folder(root.path() + "/a/b/folder"), random(s), seed(s) {
    home.write(".pictrarc", geometry_file(start_width, start_height));
    fs::create_directories(folder);
  }

  unsigned below(unsigned n) { return std::uniform_int_distribution<unsigned>(0, n - 1)(random); }

  std::string where() const {
    return "soak seed " + std::to_string(seed) + ", depth " + std::to_string(test_depth()) +
           ", event " + std::to_string(event) + ", start " + std::to_string(starts);
  }

  ::testing::AssertionResult start() {
    pictra = std::make_unique<Pictra>(
        PictraOptions{.home = home.path(), .cwd = folder, .args = {}, .setenv = {}});
    ++starts;
    width = start_width;
    height = start_height;
    if (!pictra->window()) return ::testing::AssertionFailure() << "no window";
    return ::testing::AssertionSuccess();
  }

  // A run that ended by itself must have ended as q ends it: status 0, nothing on standard
  // error (where the sanitizers report).
  ::testing::AssertionResult ended_well(int status) {
    if (exit_code(status) == 0 && pictra->stderr_text().empty())
      return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << where() << ": ended with status " << status
           << (WIFSIGNALED(status) ? " (signal " + std::to_string(WTERMSIG(status)) + ")" : "")
           << "\nstandard error:\n"
           << pictra->stderr_text();
  }

  // The browser may climb out with BackSpace; past the root it is started again inside rather
  // than let loose on the whole file system.
  bool left_root() {
    const std::string title = pictra->title();
    const std::string inside = title_prefix + fs::canonical(root.path()).string();
    return title.rfind(std::string(title_prefix) + "/", 0) == 0 && title.rfind(inside, 0) != 0;
  }

  // One random event.
  void act() {
    const unsigned kind = below(100);
    if (kind < 70) {
      const bool leave = below(100) == 0;
      const auto& keys = leave ? leaving_keys : common_keys;
      pictra->key(keys[below(static_cast<unsigned>(keys.size()))], below(4) == 0);
    } else if (kind < 82) {
      pictra->click(static_cast<int>(below(width)), static_cast<int>(below(height)), below(5) + 1,
                    below(6) == 0);
    } else if (kind < 88) {
      width = 120 + below(1000);
      height = 90 + below(800);
      pictra->resize(width, height);
    } else if (kind < 94) {
      if (below(2)) {
        pictra->send_expose(static_cast<int>(below(3)));
      } else {
        pictra->fill_window(static_cast<int>(random() & 0xffffff));
      }
    } else {
      change_folder();
    }
  }

  // Files come, go and change under the program, and it is told to read the folder again.
  void change_folder() {
    const std::string& path = folder;
    switch (below(3)) {
      case 0:
        fs::copy_file(path + "/p1.jpg", path + "/new" + std::to_string(event) + ".jpg",
                      fs::copy_options::overwrite_existing);
        break;
      case 1:
        for (const auto& entry : fs::directory_iterator(path)) {
          if (entry.path().filename().string().rfind("new", 0) == 0) {
            fs::remove(entry.path());
            break;
          }
        }
        break;
      default:
        fs::copy_file(path + "/p" + std::to_string(3 + below(3)) + ".jpg", path + "/p2.jpg",
                      fs::copy_options::overwrite_existing);
        break;
    }
    pictra->key(XK_r);
  }
};

TEST(Soak, RandomInputNeitherCrashesNorHangsTheProgram) {
  if (test_depth() != 8 && test_depth() != 24) GTEST_SKIP() << "soaked at depths 8 and 24";
  const unsigned events = from_environment("PICTRA_SOAK_EVENTS", default_events);
  Soak soak(from_environment("PICTRA_SOAK_SEED", default_seed));
  make_folder(soak.folder);
  ASSERT_TRUE(soak.start()) << soak.where();
  for (soak.event = 1; soak.event <= events; ++soak.event) {
    if (const auto status = soak.pictra->wait_exit(std::chrono::milliseconds(0))) {
      ASSERT_TRUE(soak.ended_well(*status));
      ASSERT_TRUE(soak.start()) << soak.where();
    } else if (soak.left_root()) {
      soak.pictra->signal(SIGTERM);
      ASSERT_TRUE(soak.pictra->wait_exit().has_value()) << soak.where() << ": SIGTERM ignored";
      ASSERT_TRUE(soak.start()) << soak.where();
    }
    soak.act();
    // At a typing pace with bursts: the gaps only vary the timing, nothing waits on them.
    if (soak.below(4) != 0) std::this_thread::sleep_for(std::chrono::milliseconds(soak.below(12)));
  }
  // Still answering: the keys that leave end it, as they would for a user.
  for (int tries = 0; tries < 20; ++tries) {
    soak.pictra->key(XK_Escape);
    if (const auto status = soak.pictra->wait_exit(std::chrono::seconds(3))) {
      EXPECT_TRUE(soak.ended_well(*status));
      std::printf("%s: %u events over %u starts\n", soak.where().c_str(), events, soak.starts);
      return;
    }
  }
  ADD_FAILURE() << soak.where() << ": the program no longer ends on Escape";
}

}  // namespace
