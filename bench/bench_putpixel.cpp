// Speed of x_PutPixel (with its x_MakeColor), the store every thumbnail and view pixel goes
// through. Needs an X display (DISPLAY); run it under tests/support/with-xvfb at each depth:
//   tests/support/with-xvfb 24 1280x1024 build/release/bench/bench_putpixel
#include <time.h>

#include <cstdint>
#include <cstdio>

#include "xsupport/xsupport.h"

namespace {

constexpr std::uint64_t side = 1024;
constexpr int rounds = 50;

double cpu_nanoseconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1e9 + static_cast<double>(now.tv_nsec);
}

}  // namespace

int main() {
  x_Init(nullptr);
  Picture* picture = x_CreatePicture(side, side, static_cast<std::uint64_t>(state.bits_per_pixel));
  if (!picture) {
    std::fputs("no picture\n", stderr);
    return 1;
  }
  // Processor time rather than wall time: the figure should not depend on what else runs.
  const double start = cpu_nanoseconds();
  for (int round = 0; round < rounds; ++round) {
    for (std::uint64_t y = 0; y < side; ++y) {
      for (std::uint64_t x = 0; x < side; ++x) {
        const int rgb = static_cast<int>((x * 0x010203 + y * 0x030201 + round) & 0xFFFFFF);
        x_PutPixel(picture, x, y, rgb);
      }
    }
  }
  const double elapsed = cpu_nanoseconds() - start;
  const double pixels = static_cast<double>(side * side) * rounds;
  std::printf("x_PutPixel at depth %d (%d bits per pixel): %.2f ns per pixel, %.0f Mpixel/s\n",
              state.visual_depth, state.bits_per_pixel, elapsed / pixels, pixels / elapsed * 1e3);
  x_FreePicture(picture);
  x_Cleanup(0);
  return 0;
}
