// The PNG module: decodes a file through libpng, which is asked to turn every colour type and
// bit depth into 8-bit RGB, with alpha where the file has transparency. Rows of a plain image go
// straight to the image builder; an interlaced one arrives in several passes over all rows, so it
// is gathered whole first.
#include "formats/png.h"

#include <algorithm>
#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <new>
#include <vector>

#include <png.h>

#include "formats/builder.h"
#include "formats/pool.h"

namespace png {
namespace {

constexpr std::size_t signature_bytes = 4;
constexpr int bit_depth_16 = 16;
constexpr png_byte alpha_bit = PNG_COLOR_MASK_ALPHA;
constexpr std::size_t rgba_channels = 4;

// One load: the library's structures and the file, released however the load ends.
struct Decode {
  std::FILE* file = nullptr;
  png_structp reader = nullptr;
  png_infop info = nullptr;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  // The rows of an interlaced image, each given its buffer when the library first reaches it.
  std::vector<std::vector<png_byte>> rows;
  std::vector<png_byte> rgba;  // one row with its alpha, before it is split
  ImageBuilder builder;
  ColourDescription colour;
  bool alpha = false;  // rows come as RGBA

  Decode() = default;
  Decode(const Decode&) = delete;
  Decode& operator=(const Decode&) = delete;
  ~Decode() {
    if (reader) png_destroy_read_struct(&reader, info ? &info : nullptr, nullptr);
    if (file) std::fclose(file);
  }
};

// The library's messages are not the user's business: a damaged file simply fails to load.
// Errors still have to leave the library, through the recovery point load sets.
[[noreturn]] void error_exit(png_structp reader, png_const_charp) {
  png_longjmp(reader, 1);
}
void ignore_warning(png_structp, png_const_charp) {}

// Asks for 8-bit RGB, with alpha when the file has any (a channel or a transparency chunk),
// whatever the file holds. Answers whether alpha comes.
bool request_rgb(Decode& d) {
  if (png_get_bit_depth(d.reader, d.info) == bit_depth_16) png_set_strip_16(d.reader);
  const png_byte color_type = png_get_color_type(d.reader, d.info);
  if (color_type == PNG_COLOR_TYPE_PALETTE) {
    png_set_palette_to_rgb(d.reader);
  } else if ((color_type & ~alpha_bit) == PNG_COLOR_TYPE_GRAY) {
    png_set_gray_to_rgb(d.reader);
  }
  if (png_get_valid(d.reader, d.info, PNG_INFO_tRNS)) {
    png_set_tRNS_to_alpha(d.reader);
    return true;
  }
  return (color_type & alpha_bit) != 0;
}

// Hands an RGBA row to the builder as its colours and its opacity.
void split_row(const png_byte* in, std::uint8_t* rgb, std::uint8_t* alpha, std::uint32_t width) {
  for (std::uint32_t x = 0; x < width; ++x, in += rgba_channels, rgb += rgb_channels) {
    std::memcpy(rgb, in, rgb_channels);
    alpha[x] = in[rgb_channels];
  }
}

void take_row(Decode& d, std::uint32_t y, const png_byte* row) {
  if (d.alpha) {
    split_row(row, d.builder.row(y), d.builder.alpha_row(y), d.width);
  } else {
    std::memcpy(d.builder.row(y), row, std::size_t{d.width} * rgb_channels);
  }
  d.builder.commit(y);
}

// The colours the file states: an ICC profile, else the sRGB chunk (nothing to describe), else
// its gamma and chromaticities.
ColourDescription colours_of(const Decode& d) {
  ColourDescription colour;
  png_charp name = nullptr;
  int compression = 0;
  png_bytep profile = nullptr;
  png_uint_32 length = 0;
  if (png_get_iCCP(d.reader, d.info, &name, &compression, &profile, &length) && profile) {
    colour.icc.assign(profile, profile + length);
    return colour;
  }
  int intent = 0;
  if (png_get_sRGB(d.reader, d.info, &intent)) return colour;
  double gamma = 0;
  if (png_get_gAMA(d.reader, d.info, &gamma) && gamma > 0) {
    colour.transfer = ColourDescription::Transfer::gamma;
    colour.gamma = 1 / gamma;  // the chunk states the encoding exponent
  }
  double p[8] = {};
  if (png_get_cHRM(d.reader, d.info, &p[6], &p[7], &p[0], &p[1], &p[2], &p[3], &p[4], &p[5]))
    std::copy(std::begin(p), std::end(p), colour.primaries.begin());
  return colour;
}

// Reads an interlaced image pass by pass, giving each row its buffer when the library first
// reaches it: a file whose data runs out fails after taking only what its data filled. Then
// hands the rows over. False when memory runs out; the library's errors jump back into load.
bool read_interlaced(Decode& d, std::size_t row_bytes, int passes) {
  try {
    d.rows.resize(d.height);
    for (int pass = 0; pass < passes; ++pass) {
      for (std::uint32_t y = 0; y < d.height; ++y) {
        if (decode_cancelled()) return false;
        if (d.rows[y].empty()) d.rows[y].resize(row_bytes);
        png_read_row(d.reader, d.rows[y].data(), nullptr);
      }
    }
  } catch (const std::bad_alloc&) {
    return false;
  }
  for (std::uint32_t y = 0; y < d.height; ++y) {
    take_row(d, y, d.rows[y].data());
    std::vector<png_byte>().swap(d.rows[y]);
  }
  return true;
}

// Everything that can end in the library's error exit; false after one.
bool decode(Decode& d, Wish wish) {
  if (setjmp(png_jmpbuf(d.reader))) return false;
  png_init_io(d.reader, d.file);
  png_set_sig_bytes(d.reader, signature_bytes);
  png_read_info(d.reader, d.info);

  d.width = png_get_image_width(d.reader, d.info);
  d.height = png_get_image_height(d.reader, d.info);
  d.alpha = request_rgb(d);
  // Interlaced images arrive in several passes; the library combines them into whole rows.
  const int passes = png_set_interlace_handling(d.reader);
  png_read_update_info(d.reader, d.info);
  const std::size_t row_bytes = png_get_rowbytes(d.reader, d.info);
  // Rows of 3 or 4 bytes per pixel; anything else would overrun or misread them.
  if (row_bytes != std::size_t{d.width} * (d.alpha ? rgba_channels : rgb_channels)) return false;
  // The size cap applies here, before any row is allocated.
  if (!d.builder.start(d.width, d.height, wish, d.alpha)) return false;
  if (passes > 1) {
    if (!read_interlaced(d, row_bytes, passes)) return false;
  } else {
    // The row buffer belongs to d: the library's error exit jumps past this frame, and a local
    // vector would never be freed.
    std::vector<png_byte>& rgba = d.rgba;
    try {
      if (d.alpha) rgba.resize(row_bytes);
    } catch (const std::bad_alloc&) {
      return false;
    }
    for (std::uint32_t y = 0; y < d.height; ++y) {
      // A small file can hold seconds' worth of rows of one colour.
      if (decode_cancelled()) return false;
      if (!d.alpha) {
        png_read_row(d.reader, d.builder.row(y), nullptr);
        d.builder.commit(y);
        continue;
      }
      png_read_row(d.reader, rgba.data(), nullptr);
      take_row(d, y, rgba.data());
    }
  }
  png_read_end(d.reader, nullptr);
  d.colour = colours_of(d);
  return true;
}

}  // namespace

std::unique_ptr<Image> load(const char* path, const char* /*selector*/, Wish wish) {
  Decode d;
  d.file = open_image_file(path);
  if (!d.file) return nullptr;
  png_byte signature[signature_bytes];
  if (std::fread(signature, 1, signature_bytes, d.file) != signature_bytes) return nullptr;
  if (png_sig_cmp(signature, 0, signature_bytes)) return nullptr;

  d.reader = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, error_exit, ignore_warning);
  if (!d.reader) return nullptr;
  d.info = png_create_info_struct(d.reader);
  if (!d.info) return nullptr;
  if (!decode(d, wish)) return nullptr;
  std::unique_ptr<Image> image = d.builder.finish();
  if (image) image->colour = std::move(d.colour);
  return image;
}

}  // namespace png
