#include "support/photo.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include <jpeglib.h>

namespace bench {

namespace {

constexpr double texture_amplitude = 24;
constexpr unsigned noise_shift = 29;  // keeps 3 bits of the hash: noise of -4 to 3
constexpr int noise_offset = 4;
constexpr std::uint32_t hash_multiplier = 2654435761u;

}  // namespace

Image photo(std::uint32_t width, std::uint32_t height, unsigned seed) {
  Image image;
  image.width = image.full_width = width;
  image.height = image.full_height = height;
  image.rgb = Raster(std::size_t{width} * height * rgb_channels);
  const double phase = seed * 0.7;
  for (std::uint32_t y = 0; y < height; ++y) {
    std::uint8_t* row = image.row(y);
    const double v = double(y) / height;
    for (std::uint32_t x = 0; x < width; ++x) {
      const double u = double(x) / width;
      // Large soft shapes, like sky, walls and faces ...
      const double shade = 90 + 60 * std::sin(3.1 * u + phase) * std::cos(2.3 * v - phase) +
                           50 * std::sin(7.0 * (u + v) + 2 * phase);
      // ... and fine detail, like foliage or fabric.
      const double texture =
          texture_amplitude * std::sin(x * 0.21 + phase) * std::cos(y * 0.17 - phase);
      const auto index = static_cast<std::uint32_t>(std::size_t{y} * width + x);
      for (int c = 0; c < 3; ++c) {
        const std::uint32_t hash = (index * 3 + c + seed * 7919) * hash_multiplier;
        const int noise = static_cast<int>(hash >> noise_shift) - noise_offset;
        const double value = shade + 35 * c * (u - v) + texture + noise;
        row[x * 3 + c] = static_cast<std::uint8_t>(std::clamp(static_cast<int>(value), 0, 255));
      }
    }
  }
  return image;
}

void write_jpeg(const std::string& path, const Image& image, int quality) {
  jpeg_compress_struct encoder{};
  jpeg_error_mgr errors{};
  encoder.err = jpeg_std_error(&errors);
  jpeg_create_compress(&encoder);
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) std::abort();
  jpeg_stdio_dest(&encoder, file);
  encoder.image_width = image.width;
  encoder.image_height = image.height;
  encoder.input_components = 3;
  encoder.in_color_space = JCS_RGB;
  jpeg_set_defaults(&encoder);
  jpeg_set_quality(&encoder, quality, TRUE);
  jpeg_start_compress(&encoder, TRUE);
  while (encoder.next_scanline < encoder.image_height) {
    JSAMPROW rows[] = {const_cast<JSAMPLE*>(image.row(encoder.next_scanline))};
    jpeg_write_scanlines(&encoder, rows, 1);
  }
  jpeg_finish_compress(&encoder);
  jpeg_destroy_compress(&encoder);
  if (std::fclose(file) != 0) std::abort();
}

}  // namespace bench
