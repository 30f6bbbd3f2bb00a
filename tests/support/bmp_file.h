// Writes uncompressed 24-bit BMP files for tests, so that they read real files
// through the real decoder.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pictra_test {

// An image held as RGB values (0x00RRGGBB), row by row from the top.
struct RgbImage {
  int width = 0;
  int height = 0;
  std::vector<int> pixels;
  int at(int x, int y) const {
    if (x < 0 || y < 0 || x >= width || y >= height) return 0;
    return pixels[static_cast<std::size_t>(y) * width + x];
  }
};

// The bytes of a BI_RGB file with a 54-byte header and no palette; rows bottom-up, each padded
// to a multiple of 4 bytes.
inline std::string bmp24(const RgbImage& image) {
  constexpr std::uint32_t header_bytes = 54;
  constexpr std::uint32_t info_header_bytes = 40;
  constexpr std::uint16_t bits = 24;
  const std::uint32_t stride = (static_cast<std::uint32_t>(image.width) * 3 + 3) / 4 * 4;
  const std::uint32_t data_bytes = stride * static_cast<std::uint32_t>(image.height);
  std::string out;
  auto u16 = [&](std::uint32_t v) {
    out.push_back(static_cast<char>(v & 0xff));
    out.push_back(static_cast<char>((v >> 8) & 0xff));
  };
  auto u32 = [&](std::uint32_t v) {
    u16(v & 0xffff);
    u16(v >> 16);
  };
  out += "BM";
  u32(header_bytes + data_bytes);
  u32(0);
  u32(header_bytes);
  u32(info_header_bytes);
  u32(static_cast<std::uint32_t>(image.width));
  u32(static_cast<std::uint32_t>(image.height));
  u16(1);
  u16(bits);
  u32(0);  // BI_RGB
  u32(data_bytes);
  u32(0);
  u32(0);
  u32(0);
  u32(0);
  for (int y = image.height - 1; y >= 0; --y) {
    std::string row;
    for (int x = 0; x < image.width; ++x) {
      const int rgb = image.at(x, y);
      row.push_back(static_cast<char>(rgb & 0xff));
      row.push_back(static_cast<char>((rgb >> 8) & 0xff));
      row.push_back(static_cast<char>((rgb >> 16) & 0xff));
    }
    row.resize(stride, '\0');
    out += row;
  }
  return out;
}

}  // namespace pictra_test
