// The PNG module: decodes a whole file through libpng, which is asked to turn every colour
// type and bit depth into 8-bit RGB, and keeps the image as one buffer per row.
#include "formats/png.h"

#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include <png.h>

namespace png {
namespace {

constexpr std::size_t signature_bytes = 4;
constexpr int bit_depth_16 = 16;
constexpr png_byte alpha_bit = PNG_COLOR_MASK_ALPHA;
constexpr int rgb_bytes = 3;

int ready = 0;
std::FILE* file = nullptr;
png_structp reader = nullptr;
png_infop info = nullptr;
std::int32_t width = 0;
std::int32_t height = 0;
// height entries, each a row buffer or none.
png_bytep* rows = nullptr;

// Asks for 8-bit RGB without alpha, whatever the file holds.
void request_rgb() {
  if (png_get_bit_depth(reader, info) == bit_depth_16) png_set_strip_16(reader);
  const png_byte color_type = png_get_color_type(reader, info);
  if (color_type == PNG_COLOR_TYPE_PALETTE) {
    png_set_palette_to_rgb(reader);
  } else if ((color_type & ~alpha_bit) == PNG_COLOR_TYPE_GRAY) {
    png_set_gray_to_rgb(reader);
  }
  // Palette expansion turns a transparency chunk into an alpha channel, so such images lose
  // their alpha here as well as those that carry one; the value answered never has alpha.
  if ((color_type & alpha_bit) || png_get_valid(reader, info, PNG_INFO_tRNS)) {
    png_set_strip_alpha(reader);
  }
}

// Reads the image pass by pass, giving each row its buffer when the library first reaches it.
// A header may claim up to a million by a million pixels; allocating all rows up front would
// cost minutes and gigabytes for a few damaged bytes, whereas this way a file whose data runs
// out fails after taking only what its data filled. Returns false when a row buffer cannot be
// had; the library's own errors jump back into load.
bool read_rows(std::size_t row_bytes, int passes) {
  for (int pass = 0; pass < passes; ++pass) {
    for (std::int32_t y = 0; y < height; ++y) {
      if (!rows[y]) rows[y] = static_cast<png_bytep>(std::malloc(row_bytes));
      if (!rows[y]) return false;
      png_read_row(reader, rows[y], nullptr);
    }
  }
  return true;
}

}  // namespace

int load(const char* path, const char* /*selector*/, std::uint32_t /*want_w*/,
         std::uint32_t /*want_h*/) {
  ready = 0;
  rows = nullptr;
  reader = nullptr;
  info = nullptr;
  file = nullptr;
  width = 0;
  height = 0;
  if (!path) return 0;

  file = std::fopen(path, "r");
  if (!file) return 0;
  png_byte signature[signature_bytes];
  if (std::fread(signature, 1, signature_bytes, file) != signature_bytes) return 0;
  if (png_sig_cmp(signature, 0, signature_bytes)) return 0;

  reader = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  if (!reader) {
    std::fputs("PNG: png_create_read_struct failed.\n", stderr);
    return 0;
  }
  info = png_create_info_struct(reader);
  if (!info) {
    png_destroy_read_struct(&reader, nullptr, nullptr);
    std::fputs("PNG: png_create_info_struct failed.\n", stderr);
    return 0;
  }
  // Every error the library raises from here on (bad CRC, damaged or truncated data) comes
  // back here after the library has printed its message; unload releases what exists.
  if (setjmp(png_jmpbuf(reader))) return 0;

  png_init_io(reader, file);
  png_set_sig_bytes(reader, signature_bytes);
  png_read_info(reader, info);

  // The library caps both at 2^31 - 1, so they fit the signed size fields.
  width = static_cast<std::int32_t>(png_get_image_width(reader, info));
  height = static_cast<std::int32_t>(png_get_image_height(reader, info));
  if (width == 0 || height == 0) {
    std::fputs("PNG: Image width needed.\n", stderr);
    return 0;
  }

  request_rgb();
  // Interlaced images arrive in several passes; the library combines them into whole rows.
  const int passes = png_set_interlace_handling(reader);
  png_read_update_info(reader, info);
  const std::size_t row_bytes = png_get_rowbytes(reader, info);
  // get_pixel reads 3 bytes per pixel; anything else would read past or misread the rows.
  if (row_bytes != static_cast<std::size_t>(width) * rgb_bytes) return 0;

  // All entries start as none, so unload frees exactly the rows that were allocated.
  rows = static_cast<png_bytep*>(std::calloc(static_cast<std::size_t>(height), sizeof *rows));
  if (!rows || !read_rows(row_bytes, passes)) {
    std::fputs("PNG: Out of memory\n", stderr);
    return 0;
  }
  png_read_end(reader, nullptr);

  ready = 1;
  std::fclose(file);
  file = nullptr;
  return 1;
}

void unload() {
  png_destroy_read_struct(&reader, &info, nullptr);
  if (rows) {
    for (std::int32_t y = 0; y < height; ++y)
      std::free(rows[y]);
    std::free(rows);
    rows = nullptr;
  }
  if (file) std::fclose(file);
  file = nullptr;
  ready = 0;
}

int get_pixel(std::int32_t x, std::int32_t y, int /*color*/) {
  if (!ready || x < 0 || x >= width || y < 0 || y >= height) return 0;
  const png_bytep p = rows[y] + rgb_bytes * x;
  return p[0] << 16 | p[1] << 8 | p[2];
}

std::int64_t get_width() {
  return width;
}
std::int64_t get_height() {
  return height;
}

}  // namespace png
