// An animated GIF playing in the view, against nsxiv, side by side in one run: 500 x 500 at 25
// frames a second (40 ms a frame), 50 frames that change all over, in a 500 x 500 window on a
// private 24-bit Xvfb.
//
//   cpu      CPU time each program spends playing, per second, over 15 s once it has played for
//            3 s (all threads, from their schedstat run times), and the ratio pictra / nsxiv
//   paused   pictra's CPU per second and the main thread's wake-ups over 5 s after `a`
//   timing   pictra alone for 60 s, its window's centre sampled as fast as the server answers
//            (each frame has a colour of its own there): every frame change against the
//            schedule of 40 ms frames that lies on the changes' median (median, 99th
//            percentile and largest error, the share within 5 ms), and the drift: how far the
//            last second's frames moved from the first second's over the minute
#include <X11/keysym.h>
#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "support/gif_file.h"
#include "support/xbench.h"

namespace {

using namespace std::chrono_literals;
using bench::Clock;

constexpr int side = 500;
constexpr int frames = 50;
constexpr int delay_cs = 4;
constexpr double frame_ms = delay_cs * 10.0;
constexpr int stripe_colours = 16;
constexpr int marker_side = 40;
constexpr auto warm_up = 3s;
constexpr auto cpu_span = 15s;
constexpr auto paused_span = 5s;
constexpr auto timing_span = 60s;

// Frame k: diagonal stripes that move by three pixels a frame, and in the centre a square of
// the frame's own colour, stripe_colours + k in the table.
std::string animation() {
  std::vector<int> table;
  for (int i = 0; i < 256; ++i)
    table.push_back(i < stripe_colours ? i * 0x0F0F0F
                                       : (i * 37 & 0xFF) << 16 | (i * 91 & 0xFF) << 8 | i);
  std::string gif = pictra_test::screen(side, side, 0x87) + pictra_test::colour_table(table) +
                    pictra_test::looping(0);
  std::vector<int> pixels(side * side);
  for (int k = 0; k < frames; ++k) {
    for (int y = 0; y < side; ++y) {
      for (int x = 0; x < side; ++x) {
        const bool marker =
            std::abs(x - side / 2) < marker_side / 2 && std::abs(y - side / 2) < marker_side / 2;
        pixels[y * side + x] = marker ? stripe_colours + k : (x + y + 3 * k) / 8 % stripe_colours;
      }
    }
    gif += pictra_test::control(1, delay_cs) + pictra_test::descriptor(0, 0, side, side, 0) +
           pictra_test::byte(8) +
           pictra_test::sub_blocks(pictra_test::lzw_encode(pixels, 8, true, nullptr));
  }
  return gif + ";";
}

// Nanoseconds every thread of pid has run.
long long run_ns(pid_t pid) {
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  long long total = 0;
  if (DIR* dir = opendir(tasks.c_str())) {
    while (const dirent* entry = readdir(dir)) {
      if (entry->d_name[0] == '.') continue;
      std::ifstream in(tasks + "/" + entry->d_name + "/schedstat");
      long long running = 0;
      in >> running;
      total += running;
    }
    closedir(dir);
  }
  return total;
}

long wake_ups(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/status");
  long voluntary = 0, involuntary = 0;
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("voluntary_ctxt_switches:", 0) == 0) voluntary = std::atol(line.c_str() + 24);
    if (line.rfind("nonvoluntary_ctxt_switches:", 0) == 0) {
      involuntary = std::atol(line.c_str() + 27);
    }
  }
  return voluntary + involuntary;
}

// CPU milliseconds per second of pid over span.
double cpu_per_second(pid_t pid, std::chrono::milliseconds span) {
  const long long before = run_ns(pid);
  std::this_thread::sleep_for(span);
  return static_cast<double>(run_ns(pid) - before) / 1e6 /
         std::chrono::duration<double>(span).count();
}

// Which frame the centre shows, or -1.
int frame_shown(bench::Connection& connection, Window window) {
  const unsigned long pixel = connection.pixel(window, side / 2, side / 2);
  for (int k = 0; k < frames; ++k) {
    const int i = stripe_colours + k;
    const unsigned long rgb =
        static_cast<unsigned long>((i * 37 & 0xFF) << 16 | (i * 91 & 0xFF) << 8 | i);
    if (pixel == rgb) return k;
  }
  return -1;
}

void timing(bench::Connection& connection, Window window) {
  std::vector<double> errors;
  Clock::time_point first{};
  long long elapsed_frames = 0;
  int last = -1, skipped = 0;
  const Clock::time_point end = Clock::now() + timing_span;
  for (Clock::time_point now = Clock::now(); now < end; now = Clock::now()) {
    const int k = frame_shown(connection, window);
    if (k < 0 || k == last) continue;
    if (last >= 0) {
      const int step = (k - last + frames) % frames;
      skipped += step - 1;
      elapsed_frames += step;
      errors.push_back(std::chrono::duration<double, std::milli>(now - first).count() -
                       static_cast<double>(elapsed_frames) * frame_ms);
    } else {
      first = now;
    }
    last = k;
  }
  if (errors.empty()) {
    std::printf("timing: no frame change seen\n");
    return;
  }
  // The program's clock started at a moment the samples do not see: its frames are compared
  // with the schedule that lies on their median, and the drift is how far the last second's
  // frames moved from the first second's over the run.
  std::vector<double> sorted = errors;
  std::sort(sorted.begin(), sorted.end());
  const double origin = sorted[sorted.size() / 2];
  std::vector<double> sizes;
  for (double e : errors)
    sizes.push_back(std::fabs(e - origin));
  std::sort(sizes.begin(), sizes.end());
  const std::size_t second = static_cast<std::size_t>(1000 / frame_ms);
  double early = 0, late = 0;
  for (std::size_t i = 0; i < second && i < errors.size(); ++i) {
    early += errors[i] / static_cast<double>(second);
    late += errors[errors.size() - 1 - i] / static_cast<double>(second);
  }
  const double drift = late - early;
  std::printf("timing: %zu frame changes over %.1f s, %d frames skipped\n", errors.size(),
              static_cast<double>(elapsed_frames) * frame_ms / 1000, skipped);
  std::printf("frame-time error: median %.2f ms, 99th percentile %.2f ms, largest %.2f ms\n",
              sizes[sizes.size() / 2], sizes[sizes.size() * 99 / 100], sizes.back());
  std::printf(
      "within 5 ms: %.1f%% of the frames\n",
      100.0 *
          static_cast<double>(std::lower_bound(sizes.begin(), sizes.end(), 5.0) - sizes.begin()) /
          static_cast<double>(sizes.size()));
  std::printf("drift over the run: %.2f ms\n", drift);
}

}  // namespace

int main() {
  const std::string dir = bench::temp_dir("animation");
  const std::string home = dir + "/home";
  std::filesystem::create_directories(home);
  bench::write_config(home, side, side);
  const std::string file = dir + "/anim.gif";
  {
    std::ofstream out(file, std::ios::binary);
    out << animation();
  }
  std::printf("a %dx%d GIF of %d frames at %.0f ms, a %dx%d window on a 24-bit Xvfb\n", side, side,
              frames, frame_ms, side, side);
  bench::Xvfb server(24, 1024, 768);
  bench::Connection connection;

  double cpu[2] = {-1, -1};
  const std::vector<std::vector<std::string>> argv = {
      {bench::pictra_binary(), file},
      {"nsxiv", "-a", "-g", std::to_string(side) + "x" + std::to_string(side), file}};
  for (int i = 0; i < 2; ++i) {
    bench::Program program(argv[i], home, dir);
    const Window window = connection.wait_window(30s);
    if (!window) {
      std::printf("%s: no window\n", argv[i][0].c_str());
      continue;
    }
    std::this_thread::sleep_for(warm_up);
    cpu[i] = cpu_per_second(program.pid(), cpu_span);
    std::printf("%s playing: %.2f ms of CPU a second\n", i == 0 ? "pictra" : "nsxiv", cpu[i]);
    if (i == 0) {
      connection.key(window, XK_a);
      std::this_thread::sleep_for(500ms);
      const long wakes = wake_ups(program.pid());
      const double paused = cpu_per_second(program.pid(), paused_span);
      std::printf(
          "pictra paused: %.3f ms of CPU a second, %ld wake-ups of its main thread in %lld s\n",
          paused, wake_ups(program.pid()) - wakes,
          static_cast<long long>(
              std::chrono::duration_cast<std::chrono::seconds>(paused_span).count()));
      connection.key(window, XK_a);
      timing(connection, window);
      connection.key(window, XK_Escape);
    } else {
      connection.key(window, XK_q);
    }
    program.wait_exit(5s);
  }
  if (cpu[0] >= 0 && cpu[1] > 0) std::printf("CPU ratio pictra / nsxiv: %.3f\n", cpu[0] / cpu[1]);
  std::filesystem::remove_all(dir);
  return 0;
}
