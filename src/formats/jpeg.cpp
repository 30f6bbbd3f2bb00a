// The JPEG module: decodes a whole file through libjpeg into one interleaved sample buffer and
// answers pixel queries from it. A size wish makes the library decode at a reduced scale, which
// is what keeps the thumbnail pass fast on camera-sized pictures.
#include "formats/jpeg.h"

// jpeglib.h needs FILE and size_t declared before it.
#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <jpeglib.h>

namespace jpeg {
namespace {

// The library's error record first, so that the error exit can cast the object's err pointer
// back to the whole record and find the recovery point.
struct ErrorManager {
  jpeg_error_mgr library{};
  std::jmp_buf recovery{};
};

constexpr int grey_components = 1;
constexpr int rgb_components = 3;
constexpr int cmyk_components = 4;
constexpr unsigned product_half = 128;  // rounds the division of a product by 255
// One grey sample repeated into red, green and blue.
constexpr int grey_to_rgb = 0x010101;
// Largest image the module decodes, in pixels (a gigapixel, about 3 GiB of samples). A header
// of a few bytes can declare up to 65500 x 65500 pixels, and the library then invents data for
// all of them; beyond this a damaged file would cost many gigabytes and seconds before failing.
constexpr std::uint64_t max_image_pixels = std::uint64_t{1} << 30;

// Zero-initialised, so destroying it before any load finds no memory manager and does nothing.
jpeg_decompress_struct decoder{};
ErrorManager error_manager{};
int error_flag = 0;
// Set only when the last load decoded the whole image; pixel queries answer black otherwise,
// also after a load that failed before the library was reached.
int decoded = 0;
std::FILE* file = nullptr;
unsigned char* pixels = nullptr;
// Samples per pixel in the pixel buffer: 1 for grey, 3 for colour. Four-component files are
// converted to RGB while copying, so the buffer never holds more than 3.
int stride = 0;

[[noreturn]] void error_exit(j_common_ptr object) {
  // Silent on purpose: a damaged file is reported (or not) by the caller.
  ErrorManager* manager = reinterpret_cast<ErrorManager*>(object->err);
  std::longjmp(manager->recovery, 1);
}

// ink * black / 255, rounded, without a division: exact for all products of two samples.
inline unsigned char scale_by_black(unsigned ink, unsigned black) {
  const unsigned t = ink * black + product_half;
  return static_cast<unsigned char>((t + (t >> 8)) >> 8);
}

// CMYK to RGB by the usual ink model, R = (1 - C)(1 - K) and so on. The samples are taken as
// stored inverted (0 means full ink), the way Adobe's tools and the print software that follows
// them write CMYK and YCCK. The rare files without an Adobe segment are read the same way, as
// other decoders do, rather than guessing from the marker.
void cmyk_row_to_rgb(const JSAMPLE* in, unsigned char* out, JDIMENSION width) {
  for (JDIMENSION x = 0; x < width; ++x, in += cmyk_components, out += rgb_components) {
    out[0] = scale_by_black(in[0], in[3]);
    out[1] = scale_by_black(in[1], in[3]);
    out[2] = scale_by_black(in[2], in[3]);
  }
}

// The output the library gives by default, except that it cannot turn CMYK or YCCK into RGB
// itself: those come out as CMYK (YCCK converted by the library) and are converted while the
// rows are copied. Files with any other number of components have no colour meaning here.
bool known_components(int components) {
  return components == grey_components || components == rgb_components ||
         components == cmyk_components;
}

}  // namespace

int load(const char* path, const char* /*selector*/, std::uint32_t want_w, std::uint32_t want_h) {
  error_flag = 0;
  decoded = 0;
  pixels = nullptr;

  decoder.err = jpeg_std_error(&error_manager.library);
  error_manager.library.error_exit = error_exit;
  if (setjmp(error_manager.recovery)) {
    // File, decompression object and pixel buffer stay as they are; unload releases them.
    error_flag = 1;
    return 0;
  }

  file = nullptr;
  if (!path) return 0;
  file = std::fopen(path, "rb");
  if (!file) return 0;

  jpeg_create_decompress(&decoder);
  jpeg_stdio_src(&decoder, file);
  jpeg_read_header(&decoder, TRUE);
  if (std::uint64_t{decoder.image_width} * decoder.image_height > max_image_pixels) return 0;
  jpeg_calc_output_dimensions(&decoder);
  if (want_w && want_h) {
    // Only the width takes part; the library keeps the aspect ratio and picks the nearest
    // scale it supports that is not below the wish.
    decoder.scale_num = want_w;
    decoder.scale_denom = decoder.output_width;
  }
  jpeg_start_decompress(&decoder);

  const int components = decoder.output_components;
  if (!known_components(components)) return 0;
  stride = components == cmyk_components ? rgb_components : components;

  const JDIMENSION width = decoder.output_width;
  const std::uint64_t row_bytes = std::uint64_t{width} * static_cast<std::uint64_t>(stride);
  const std::uint64_t bytes = row_bytes * decoder.output_height;
  if (static_cast<std::size_t>(bytes) != bytes) return 0;
  pixels = static_cast<unsigned char*>(std::malloc(static_cast<std::size_t>(bytes)));
  if (!pixels) return 0;

  JSAMPARRAY row = (*decoder.mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(&decoder),
                                                JPOOL_IMAGE, width * components, 1);
  while (decoder.output_scanline < decoder.output_height) {
    // The stdio source never suspends, so every call delivers a line (past the end of a
    // truncated file the library makes up the rest and warns).
    if (jpeg_read_scanlines(&decoder, row, 1) != 1) return 0;
    unsigned char* target = pixels + (decoder.output_scanline - 1) * row_bytes;
    if (components == cmyk_components) {
      cmyk_row_to_rgb(row[0], target, width);
    } else {
      std::memcpy(target, row[0], static_cast<std::size_t>(row_bytes));
    }
  }

  jpeg_finish_decompress(&decoder);
  std::fclose(file);
  file = nullptr;
  decoded = 1;
  return 1;
}

void unload() {
  jpeg_destroy_decompress(&decoder);
  std::free(pixels);
  pixels = nullptr;
  if (file) std::fclose(file);
  file = nullptr;
  decoded = 0;
}

int get_pixel(std::int32_t x, std::int32_t y, int /*color*/) {
  if (error_flag || !decoded) return 0;
  if (x < 0 || y < 0) return 0;
  const auto ux = static_cast<std::uint32_t>(x);
  const auto uy = static_cast<std::uint32_t>(y);
  if (ux >= decoder.output_width || uy >= decoder.output_height) return 0;
  const unsigned char* p =
      pixels + (std::uint64_t{uy} * decoder.output_width + ux) * static_cast<unsigned>(stride);
  if (stride == grey_components) return p[0] * grey_to_rgb;
  return p[0] << 16 | p[1] << 8 | p[2];
}

std::int64_t get_width() {
  return decoder.output_width;
}
std::int64_t get_height() {
  return decoder.output_height;
}

}  // namespace jpeg
