// Draw speed of the image view: a decoded 6000 x 4000 image drawn into a 1820 x 980 window, for
// each turn, in nanoseconds per window pixel. Needs an X display, e.g.
//   tests/support/with-xvfb 24 1920x1080 build/release/bench/bench_view
//
// Two sources. "memory": the BMP row of the format table pointed at an image already in memory,
// so load costs nothing and the figure is the view's own work (sampling, colour conversion, line
// sends). "bmp file": a real 24-bit BMP through the real decoder; its load is timed on its own
// and taken off, leaving the view's work plus the decoder's get_pixel.
#include <X11/Xlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "formats/formats.h"
#include "main/state.h"
#include "viewer/viewer.h"
#include "xsupport/xsupport.h"

namespace {

constexpr std::int32_t image_width = 6000;
constexpr std::int32_t image_height = 4000;
constexpr std::int32_t window_width = 1820;
constexpr std::int32_t window_height = 980;
constexpr int rounds = 5;  // draws per turn; the fastest counts
constexpr int turns = 4;

using Clock = std::chrono::steady_clock;

std::vector<int> memory_image;

int pattern(std::int32_t x, std::int32_t y) {
  return ((x * 7 + y) & 0xff) << 16 | ((x ^ y) & 0xff) << 8 | ((x + y * 3) & 0xff);
}

int memory_load(const char*, const char*, std::uint32_t, std::uint32_t) {
  return 1;
}
void memory_unload() {}
int memory_get_pixel(std::int32_t x, std::int32_t y, int) {
  if (x < 0 || y < 0 || x >= image_width || y >= image_height) return 0;
  return memory_image[static_cast<std::size_t>(y) * image_width + x];
}
std::int64_t memory_get_width() {
  return image_width;
}
std::int64_t memory_get_height() {
  return image_height;
}

void put16(std::FILE* file, std::uint32_t v) {
  std::fputc(static_cast<int>(v & 0xff), file);
  std::fputc(static_cast<int>((v >> 8) & 0xff), file);
}
void put32(std::FILE* file, std::uint32_t v) {
  put16(file, v & 0xffff);
  put16(file, v >> 16);
}

bool write_bmp(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) return false;
  const std::uint32_t stride = (image_width * 3 + 3) / 4 * 4;
  const std::uint32_t data = stride * image_height;
  std::fputs("BM", file);
  for (std::uint32_t v : {54 + data, 0u, 54u, 40u, static_cast<std::uint32_t>(image_width),
                          static_cast<std::uint32_t>(image_height)})
    put32(file, v);
  put16(file, 1);
  put16(file, 24);
  for (std::uint32_t v : {0u, data, 0u, 0u, 0u, 0u})
    put32(file, v);
  std::vector<unsigned char> row(stride, 0);
  for (std::int32_t y = image_height - 1; y >= 0; --y) {
    for (std::int32_t x = 0; x < image_width; ++x) {
      const int rgb = pattern(x, y);
      row[x * 3] = static_cast<unsigned char>(rgb & 0xff);
      row[x * 3 + 1] = static_cast<unsigned char>((rgb >> 8) & 0xff);
      row[x * 3 + 2] = static_cast<unsigned char>((rgb >> 16) & 0xff);
    }
    std::fwrite(row.data(), 1, row.size(), file);
  }
  return std::fclose(file) == 0;
}

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// This process's processor time: on a shared machine it varies far less than the wall clock.
double cpu_seconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

struct Timing {
  double wall = 1e30;  // the server's share included: XSync waits until it has put every line
  double cpu = 1e30;   // the program's own work only
};

// The fastest of a few draws.
Timing draw_seconds(const char* path, int rotation) {
  Timing best;
  for (int round = 0; round < rounds; ++round) {
    const auto start = Clock::now();
    const double cpu_start = cpu_seconds();
    if (!draw_view(path, "", rotation)) {
      std::fprintf(stderr, "draw of %s failed\n", path);
      std::exit(1);
    }
    XSync(state.display, False);
    best.cpu = std::min(best.cpu, cpu_seconds() - cpu_start);
    best.wall = std::min(best.wall, seconds_since(start));
  }
  return best;
}

Timing load_seconds(const char* path) {
  Timing best;
  for (int round = 0; round < rounds; ++round) {
    const auto start = Clock::now();
    const double cpu_start = cpu_seconds();
    const int loaded = formats[format_bmp].load(path, "", 0, 0);
    best.cpu = std::min(best.cpu, cpu_seconds() - cpu_start);
    best.wall = std::min(best.wall, seconds_since(start));
    formats[format_bmp].unload();
    if (!loaded) {
      std::fprintf(stderr, "load of %s failed\n", path);
      std::exit(1);
    }
  }
  return best;
}

void report(const char* source, const char* path, Timing subtract) {
  constexpr double window_pixels = double(window_width) * window_height;
  constexpr double ns_per_s = 1e9;
  for (int rotation = 0; rotation < turns; ++rotation) {
    const Timing took = draw_seconds(path, rotation);
    const double wall = took.wall - subtract.wall;
    const double cpu = took.cpu - subtract.cpu;
    std::printf("%-9s rotation %d: %7.1f ms per draw, %6.1f ns per window pixel (cpu %6.1f)\n",
                source, rotation, wall * 1e3, wall * ns_per_s / window_pixels,
                cpu * ns_per_s / window_pixels);
  }
}

}  // namespace

int main() {
  if (!std::getenv("DISPLAY")) {
    std::fprintf(stderr, "bench_view needs an X display (run it under tests/support/with-xvfb)\n");
    return 1;
  }
  init_formats();
  x_Init(nullptr);
  state.config = {.xpos = 0, .ypos = 0, .width = window_width, .height = window_height};
  x_OpenWindow();
  XSync(state.display, False);
  std::printf("%dx%d image into a %dx%d window at depth %d (%d bits per pixel)\n", image_width,
              image_height, window_width, window_height, state.visual_depth, state.bits_per_pixel);

  char dir_pattern[] = "/tmp/bench_view-XXXXXX";
  if (!mkdtemp(dir_pattern)) return 1;
  const std::string bmp_path = std::string(dir_pattern) + "/image.bmp";
  if (!write_bmp(bmp_path)) return 1;
  const Timing load = load_seconds(bmp_path.c_str());
  std::printf("bmp file  load: %.1f ms (cpu %.1f ms), taken off the draws below\n", load.wall * 1e3,
              load.cpu * 1e3);
  report("bmp file", bmp_path.c_str(), load);
  std::remove(bmp_path.c_str());
  rmdir(dir_pattern);

  memory_image.resize(static_cast<std::size_t>(image_width) * image_height);
  for (std::int32_t y = 0; y < image_height; ++y)
    for (std::int32_t x = 0; x < image_width; ++x)
      memory_image[static_cast<std::size_t>(y) * image_width + x] = pattern(x, y);
  ImageFormat& row = formats[format_bmp];
  row.load = memory_load;
  row.unload = memory_unload;
  row.get_pixel = memory_get_pixel;
  row.get_width = memory_get_width;
  row.get_height = memory_get_height;
  report("memory", "memory.bmp", Timing{.wall = 0.0, .cpu = 0.0});

  x_Cleanup(0);
  return 0;
}
