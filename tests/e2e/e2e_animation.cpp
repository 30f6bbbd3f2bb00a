// Animations playing in the view, end to end: the window's centre pixel is sampled as fast as
// the server answers, and the colours it shows, in order and for how long, are compared with
// the frames and delays of generated GIF, WebP and JPEG XL files. Timing and memory do not
// depend on the depth, so these run at depth 24, where colours read back exactly.
#include <gtest/gtest.h>  // before the X headers, whose macros clash with it

#include <X11/Xutil.h>
#include <X11/keysym.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "support/driver.h"
#include "support/geometry.h"
#include "support/gif_file.h"
#include "support/tempdir.h"

namespace {

using namespace pictra_test;
using Clock = std::chrono::steady_clock;

constexpr unsigned window_width = 200;
constexpr unsigned window_height = 150;
constexpr int frame_width = 40;
constexpr int frame_height = 30;
constexpr int red = 0xFF0000, green = 0x00FF00, blue = 0x0000FF;

// A GIF of uniform frames, one colour each, with delays in hundredths of a second; loops < 0
// states no loop count.
std::string colour_gif(const std::vector<int>& colours, const std::vector<int>& delays_cs,
                       int loops) {
  const std::vector<int> zeros(frame_width * frame_height, 0);
  std::string gif = screen(frame_width, frame_height, 0) + (loops >= 0 ? looping(loops) : "");
  for (std::size_t i = 0; i < colours.size(); ++i) {
    gif += control(1, delays_cs[i]) +
           placed(0, 0, frame_width, frame_height, 0x80, zeros, colour_table({colours[i], 0}));
  }
  return gif + ";";
}

// A stretch of time over which the centre showed one colour.
struct Shown {
  int rgb = 0;
  Clock::time_point from;
  Clock::time_point to;
  double ms() const { return std::chrono::duration<double, std::milli>(to - from).count(); }
};

class Animation : public testing::Test {
 protected:
  void SetUp() override {
    if (test_depth() != 24) GTEST_SKIP() << "timing and memory do not depend on the depth";
    home_.write(".pictrarc", geometry_file(window_width, window_height));
  }

  Pictra& start(const std::string& name, const std::string& bytes) {
    dir_.write(name, bytes);
    return open(name);
  }
  Pictra& open(const std::string& name) {
    // The sanitizer's quarantine of freed memory would hide whether frames are let go.
    const char* asan = std::getenv("ASAN_OPTIONS");
    const std::string options =
        std::string("ASAN_OPTIONS=") + (asan ? asan : "") + ":quarantine_size_mb=1";
    pictra_ = std::make_unique<Pictra>(PictraOptions{
        .home = home_.path(), .cwd = dir_.path(), .args = {name}, .setenv = {options}});
    pictra_->window();
    return *pictra_;
  }

  int centre() {
    Pictra& p = *pictra_;
    XImage* image = XGetImage(p.display(), p.window(), window_width / 2, window_height / 2, 1, 1,
                              AllPlanes, ZPixmap);
    if (!image) return -1;
    const int rgb = pixel_to_rgb(p.display(), XGetPixel(image, 0, 0));
    XDestroyImage(image);
    return rgb;
  }

  // The colours the centre shows over the next span of time, merged into stretches.
  std::vector<Shown> record(std::chrono::milliseconds span) {
    std::vector<Shown> shown;
    const Clock::time_point end = Clock::now() + span;
    for (Clock::time_point now = Clock::now(); now < end; now = Clock::now()) {
      const int rgb = centre();
      if (shown.empty() || shown.back().rgb != rgb) shown.push_back({rgb, now, now});
      shown.back().to = now;
    }
    return shown;
  }

  // Waits until the centre shows rgb; false after the deadline.
  bool wait_for(int rgb, std::chrono::milliseconds deadline = default_deadline) {
    for (const Clock::time_point end = Clock::now() + deadline; Clock::now() < end;) {
      if (centre() == rgb) return true;
    }
    return false;
  }

  TempDir home_;
  TempDir dir_;
  std::unique_ptr<Pictra> pictra_;
};

std::string colours_of(const std::vector<Shown>& shown) {
  std::string text;
  for (const Shown& s : shown)
    text += std::to_string(s.rgb) + " (" + std::to_string(static_cast<int>(s.ms())) + " ms) ";
  return text;
}

// Each colour in order for its own delay, within a fifth; `a` holds the frame, `.` shows the
// next one and holds it, and `a` lets it play on.
TEST_F(Animation, FramesShowForTheirDelaysAndPauseAndStep) {
  const std::vector<int> colours = {red, green, blue};
  const std::vector<double> delays_ms = {200, 400, 600};
  start("timed.gif", colour_gif(colours, {20, 40, 60}, 0));
  ASSERT_TRUE(wait_for(red));
  const std::vector<Shown> shown = record(std::chrono::milliseconds(2600));
  ASSERT_GE(shown.size(), 6u) << colours_of(shown);
  for (std::size_t i = 0; i < shown.size(); ++i) {
    const std::size_t frame = i % colours.size();
    ASSERT_EQ(shown[i].rgb, colours[frame]) << colours_of(shown);
    // The first stretch began before the recording and the last ends with it.
    if (i == 0 || i + 1 == shown.size()) continue;
    EXPECT_NEAR(shown[i].ms(), delays_ms[frame], delays_ms[frame] / 5) << colours_of(shown);
  }

  pictra_->key(XK_a);
  std::vector<Shown> paused = record(std::chrono::milliseconds(1300));
  EXPECT_GE(paused.back().ms(), 1000) << "paused: " << colours_of(paused);
  const int held = paused.back().rgb;
  std::size_t next = 0;
  while (colours[next] != held)
    ++next;
  next = (next + 1) % colours.size();
  pictra_->key(XK_period);
  ASSERT_TRUE(wait_for(colours[next], std::chrono::milliseconds(2000)));
  paused = record(std::chrono::milliseconds(800));
  EXPECT_EQ(paused.size(), 1u) << "stepped: " << colours_of(paused);
  pictra_->key(XK_a);
  EXPECT_GE(record(std::chrono::milliseconds(1300)).size(), 3u) << "playing on";
}

// A GIF whose loop count is 1 repeats once and stays on its last frame; an animated WebP made
// by img2webp and a JPEG XL made by cjxl play their frames in order.
TEST_F(Animation, LoopCountAndOtherFormats) {
  start("once.gif", colour_gif({red, green, blue}, {10, 10, 10}, 1));
  std::vector<Shown> shown = record(std::chrono::milliseconds(1800));
  std::vector<int> seen;
  for (const Shown& s : shown) {
    if (s.rgb != 0) seen.push_back(s.rgb);  // black before the first drawing
  }
  EXPECT_EQ(seen, (std::vector<int>{red, green, blue, red, green, blue})) << colours_of(shown);
  EXPECT_EQ(shown.back().rgb, blue) << colours_of(shown);
  EXPECT_GE(shown.back().ms(), 1000) << colours_of(shown);

  std::string frames;
  for (int rgb : {red, green, blue}) {
    char name[32];
    std::snprintf(name, sizeof name, "f%06x.ppm", rgb);
    std::string ppm =
        "P6\n" + std::to_string(frame_width) + " " + std::to_string(frame_height) + "\n255\n";
    for (int i = 0; i < frame_width * frame_height; ++i)
      ppm += byte(rgb >> 16) + byte(rgb >> 8) + byte(rgb);
    const std::string png = dir_.file(std::string(name) + ".png");
    command_output("convert " + dir_.write(name, ppm) + " " + png);
    frames += " -d 300 " + png;
  }
  command_output("img2webp -lossless -loop 0" + frames + " -o " + dir_.file("anim.webp") +
                 " 2>/dev/null");
  dir_.write("anim.gif", colour_gif({red, green, blue}, {30, 30, 30}, 0));
  command_output("cjxl -d 0 " + dir_.file("anim.gif") + " " + dir_.file("anim.jxl") +
                 " 2>/dev/null");
  for (const char* name : {"anim.webp", "anim.jxl"}) {
    open(name);
    ASSERT_TRUE(wait_for(red)) << name;
    shown = record(std::chrono::milliseconds(1500));
    ASSERT_GE(shown.size(), 4u) << name << ": " << colours_of(shown);
    const int order[] = {red, green, blue};
    for (std::size_t i = 0; i < shown.size(); ++i)
      EXPECT_EQ(shown[i].rgb, order[i % 3]) << name << ": " << colours_of(shown);
    for (std::size_t i = 1; i + 1 < shown.size(); ++i)
      EXPECT_NEAR(shown[i].ms(), 300, 60) << name << ": " << colours_of(shown);
  }
}

long rss_kib(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return -1;
}

// 4,000 frames of 160 x 150 are more than the frames kept: stepped through twice with `.`, as
// fast as the frames are composed, the memory after the second loop is within 20 MB of the
// memory after the first. Each frame shows its own number as its colour.
TEST_F(Animation, ManyFramesPlayInFlatMemory) {
  constexpr int count = 4000;
  constexpr int w = 160, h = 150;
  const std::string data =
      byte(3) + sub_blocks(lzw_encode(std::vector<int>(w * h, 0), 3, true, nullptr));
  const auto colour = [](int frame) { return (frame & 0xFF) << 16 | (frame >> 8) << 8 | 0x55; };
  std::string gif = screen(w, h, 0) + looping(0);
  for (int i = 0; i < count; ++i)
    gif += control(1, 2) + descriptor(0, 0, w, h, 0x80, colour_table({colour(i), 0})) + data;
  Pictra& pictra = start("many.gif", gif + ";");
  const auto frame_shown = [this, &colour] {
    const int rgb = centre();
    const int frame = (rgb >> 16) | (rgb >> 8 & 0xFF) << 8;
    return colour(frame) == rgb ? frame : -1;
  };
  // `.` pauses it where it is, one frame on.
  pictra.key(XK_period);
  int at = -1;
  for (const Clock::time_point end = Clock::now() + default_deadline;
       Clock::now() < end && (at < 0 || record(std::chrono::milliseconds(200)).size() > 1);) {
    at = frame_shown();
  }
  at = frame_shown();
  ASSERT_GE(at, 0);
  long after_loop[2] = {};
  for (long& rss : after_loop) {
    for (int i = 0; i < count; ++i)
      pictra.key(XK_period);
    ASSERT_TRUE(wait_for(colour(at), std::chrono::seconds(120))) << "frame " << at;
    rss = rss_kib(pictra.pid());
  }
  EXPECT_GT(after_loop[0], 0);
  EXPECT_LT(std::labs(after_loop[1] - after_loop[0]), 20 * 1024)
      << after_loop[0] << " KiB after the first loop, " << after_loop[1] << " after the second";
}

}  // namespace
