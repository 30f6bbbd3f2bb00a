// Decodes a 4000 x 3000 JPEG through the format table at full size and with the wish of a
// 166 x 120 thumbnail cell (the grid), and prints both times and their ratio. The picture
// is written at start into a temporary directory, twice: smooth shading with fine texture and
// grain at quality 90 (about 2 bits per pixel, as dense as a camera's file), and without the
// grain at quality 75 (about 0.6 bits per pixel). The reduced decode still has to entropy-decode
// every coefficient, so its gain shrinks as the file gets denser.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <jpeglib.h>

#include "formats/formats.h"

namespace {

constexpr int width = 4000;
constexpr int height = 3000;
constexpr std::uint32_t cell_w = 166;
constexpr std::uint32_t cell_h = 120;
constexpr int runs = 5;  // the best of these counts, so a busy moment of the machine does not

using Clock = std::chrono::steady_clock;

struct Picture {
  const char* what;
  int quality;
  bool grain;
};
constexpr Picture pictures[] = {{"q90, grain", 90, true}, {"q75, smooth", 75, false}};

void write_picture(const std::string& path, const Picture& picture) {
  jpeg_compress_struct encoder{};
  jpeg_error_mgr errors{};
  encoder.err = jpeg_std_error(&errors);
  jpeg_create_compress(&encoder);
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) std::abort();
  jpeg_stdio_dest(&encoder, file);
  encoder.image_width = width;
  encoder.image_height = height;
  encoder.input_components = 3;
  encoder.in_color_space = JCS_RGB;
  jpeg_set_defaults(&encoder);
  jpeg_set_quality(&encoder, picture.quality, TRUE);
  jpeg_start_compress(&encoder, TRUE);
  std::vector<JSAMPLE> row(width * 3);
  unsigned noise = 12345;
  while (encoder.next_scanline < encoder.image_height) {
    const int y = static_cast<int>(encoder.next_scanline);
    for (int x = 0; x < width; ++x) {
      noise = noise * 1103515245u + 12345u;
      const double texture = 24 * std::sin(x * 0.21) * std::cos(y * 0.17);
      const int grain = picture.grain ? static_cast<int>(noise >> 28) - 8 : 0;
      const int base[3] = {x * 200 / width + 30, y * 180 / height + 40,
                           (x + y) * 120 / (width + height) + 60};
      for (int c = 0; c < 3; ++c) {
        row[x * 3 + c] = static_cast<JSAMPLE>(std::clamp(base[c] + int(texture) + grain, 0, 255));
      }
    }
    JSAMPROW rows[] = {row.data()};
    jpeg_write_scanlines(&encoder, rows, 1);
  }
  jpeg_finish_compress(&encoder);
  jpeg_destroy_compress(&encoder);
  std::fclose(file);
}

// Best time of a load; also gives the decoded size.
double best_decode_ms(const ImageFormat& format, const std::string& path, Wish wish,
                      std::int64_t& w, std::int64_t& h) {
  double best = 1e300;
  for (int run = 0; run < runs; ++run) {
    const auto start = Clock::now();
    const auto image = format.load(path.c_str(), nullptr, wish);
    if (!image) std::abort();
    w = image->width;
    h = image->height;
    best = std::min(best, std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  }
  return best;
}

}  // namespace

int main() {
  char dir[] = "/tmp/pictra-bench-jpeg-XXXXXX";
  if (!mkdtemp(dir)) return 1;
  const std::string path = std::string(dir) + "/big.jpg";
  init_formats();
  const ImageFormat& format = formats[get_type(path.c_str())];

  for (const Picture& picture : pictures) {
    write_picture(path, picture);
    std::int64_t full_w = 0, full_h = 0, cell_dw = 0, cell_dh = 0;
    const double full = best_decode_ms(format, path, {}, full_w, full_h);
    const double cell = best_decode_ms(format, path, {cell_w, cell_h}, cell_dw, cell_dh);
    std::printf("JPEG %dx%d (%s), %lld bytes, best of %d\n", width, height, picture.what,
                static_cast<long long>(std::filesystem::file_size(path)), runs);
    std::printf("  full size           %5lldx%-5lld %8.1f ms\n", static_cast<long long>(full_w),
                static_cast<long long>(full_h), full);
    std::printf("  wish %ux%u cell  %5lldx%-5lld %8.1f ms\n", cell_w, cell_h,
                static_cast<long long>(cell_dw), static_cast<long long>(cell_dh), cell);
    std::printf("  reduced decode is %.1fx faster (target: at least 5x)\n", full / cell);
  }

  std::filesystem::remove_all(dir);
  return 0;
}
