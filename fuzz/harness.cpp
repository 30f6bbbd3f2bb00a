#include "harness.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "formats/formats.h"

namespace {

// Pixels read past each edge, where get_pixel must answer black.
constexpr std::int64_t margin = 2;
// Huge images are sampled on a lattice rather than read whole, so one input stays fast.
constexpr std::int64_t max_pixels_read = 1 << 20;

const std::string& input_path() {
  static const std::string path = [] {
    char name[] = "/tmp/pictra-fuzz-XXXXXX";
    int fd = mkstemp(name);
    if (fd < 0) std::abort();
    close(fd);
    return std::string(name);
  }();
  return path;
}

void write_input(const std::uint8_t* data, std::size_t size) {
  std::FILE* file = std::fopen(input_path().c_str(), "wb");
  if (!file) std::abort();
  if (size && std::fwrite(data, 1, size, file) != size) std::abort();
  std::fclose(file);
}

void remove_input() {
  unlink(input_path().c_str());
}

std::int64_t step_for(std::int64_t w, std::int64_t h) {
  std::int64_t step = 1;
  while ((w / step + 2 * margin) * (h / step + 2 * margin) > max_pixels_read)
    step *= 2;
  return step;
}

}  // namespace

int fuzz_format(int format, const std::uint8_t* data, std::size_t size) {
  static const bool initialised = [] {
    init_formats();
    input_path();
    std::atexit(remove_input);  // after the path exists, so it is still there at exit
    return true;
  }();
  (void)initialised;
  write_input(data, size);
  const ImageFormat& f = formats[format];
  // Alternate between a full decode (the view) and a cell-sized wish (the grid).
  const bool as_thumbnail = size % 2 == 1;
  if (f.load(input_path().c_str(), "", as_thumbnail ? 166 : 0, as_thumbnail ? 120 : 0)) {
    const std::int64_t w = f.get_width();
    const std::int64_t h = f.get_height();
    const std::int64_t step = step_for(w, h);
    unsigned sum = 0;
    for (std::int64_t y = -margin; y < h + margin; y += (y < 0 || y >= h) ? 1 : step) {
      for (std::int64_t x = -margin; x < w + margin; x += (x < 0 || x >= w) ? 1 : step) {
        if (x > INT32_MAX || y > INT32_MAX) break;
        sum += static_cast<unsigned>(
            f.get_pixel(static_cast<std::int32_t>(x), static_cast<std::int32_t>(y), 1));
      }
    }
    // Keep the reads from being optimised away.
    volatile unsigned sink = sum;
    (void)sink;
  }
  f.unload();
  return 0;
}
