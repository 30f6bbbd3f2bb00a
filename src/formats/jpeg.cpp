// The JPEG module: decodes a file through libjpeg into an Image. A size wish makes the library
// decode at a reduced scale, which is what keeps the thumbnail pass fast on camera-sized
// pictures.
#include "formats/jpeg.h"

// jpeglib.h needs FILE and size_t declared before it.
#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include <jpeglib.h>

#include "formats/builder.h"
#include "formats/colour.h"
#include "formats/exif.h"
#include "formats/orient.h"
#include "formats/pool.h"

namespace jpeg {
namespace {

constexpr int grey_components = 1;
constexpr int cmyk_components = 4;
constexpr unsigned product_half = 128;  // rounds the division of a product by 255
// The library scales by M/8 for M from 1 to 8.
constexpr unsigned scale_eighths = 8;
// APP1 carries EXIF; the library keeps up to this many bytes of each, the most a marker holds.
constexpr int exif_marker = JPEG_APP0 + 1;
// APP2 carries the ICC profile, cut into chunks that the library joins in their order.
constexpr int icc_marker = JPEG_APP0 + 2;
constexpr unsigned max_marker_bytes = 0xffff;

// The library's error record first, so that the error exit can cast the object's err pointer
// back to the whole record and find the recovery point.
struct ErrorManager {
  jpeg_error_mgr library{};
  std::jmp_buf recovery{};
};

// One decode: everything it holds is released when it ends, however it ends.
struct Decode {
  ErrorManager errors{};
  jpeg_decompress_struct decoder{};
  bool created = false;
  std::FILE* file = nullptr;
  // The smallest scale can still be far larger than the drawing (a few header bytes claiming
  // 32768 x 32768 pixels decode at 1/8 to 4096 x 4096): the builder averages the rest away as
  // the rows come, and passes rows straight through otherwise.
  ImageBuilder builder;
  std::unique_ptr<Image> image;
  // What the markers say, and the CMYK transform. They live here, not in decode(): the library's
  // error exit jumps out of it past every destructor, and what they own would be lost.
  ExifFacts facts;
  ColourDescription colour;
  std::shared_ptr<const colour::Transform> cmyk;

  Decode() = default;
  Decode(const Decode&) = delete;
  Decode& operator=(const Decode&) = delete;
  ~Decode() {
    if (created) jpeg_destroy_decompress(&decoder);
    if (file) std::fclose(file);
  }
};

[[noreturn]] void error_exit(j_common_ptr object) {
  // Silent on purpose: a damaged file is reported (or not) by the caller.
  ErrorManager* manager = reinterpret_cast<ErrorManager*>(object->err);
  std::longjmp(manager->recovery, 1);
}

// Warnings ("Premature end of JPEG file" and the like) are not the user's business: a damaged
// file shows what it holds, and the library's made-up rest, without a word.
void ignore_message(j_common_ptr) {}
void ignore_emit(j_common_ptr, int) {}

// ink * black / 255, rounded, without a division: exact for all products of two samples.
inline std::uint8_t scale_by_black(unsigned ink, unsigned black) {
  const unsigned t = ink * black + product_half;
  return static_cast<std::uint8_t>((t + (t >> 8)) >> 8);
}

// CMYK to RGB by the usual ink model, R = (1 - C)(1 - K) and so on. The samples are taken as
// stored inverted (0 means full ink), the way Adobe's tools and the print software that follows
// them write CMYK and YCCK. The rare files without an Adobe segment are read the same way, as
// other decoders do, rather than guessing from the marker.
void cmyk_row_to_rgb(const JSAMPLE* in, std::uint8_t* out, JDIMENSION width) {
  for (JDIMENSION x = 0; x < width; ++x, in += cmyk_components, out += rgb_channels) {
    out[0] = scale_by_black(in[0], in[3]);
    out[1] = scale_by_black(in[1], in[3]);
    out[2] = scale_by_black(in[2], in[3]);
  }
}

void grey_row_to_rgb(const JSAMPLE* in, std::uint8_t* out, JDIMENSION width) {
  for (JDIMENSION x = 0; x < width; ++x, out += rgb_channels)
    out[0] = out[1] = out[2] = in[x];
}

// The output the library gives by default, except that it cannot turn CMYK or YCCK into RGB
// itself: those come out as CMYK (YCCK converted by the library) and are converted while the
// rows are copied. Files with any other number of components have no colour meaning here.
bool known_components(int components) {
  return components == grey_components || components == static_cast<int>(rgb_channels) ||
         components == cmyk_components;
}

// The smallest M/8 whose output still covers the image as it is drawn: fitted into the wish,
// its proportions kept. No wish, or half of one, is full size. The image itself must reach the
// fitted size at M/8, not just the rounded-up output: a 4 x 4 picture comes out 4 x 4 at 7/8
// too, but as its pixels scaled to 3.5 x 3.5, so a fit at exactly 1:1 would not show the
// decoded pixels.
unsigned scale_for(std::uint64_t width, std::uint64_t height, Wish wish) {
  if (wish.width == 0 || wish.height == 0) return scale_eighths;
  const Size fitted = fit_size(width, height, wish.width, wish.height);
  for (unsigned m = 1; m < scale_eighths; ++m) {
    if (width * m >= fitted.width * scale_eighths && height * m >= fitted.height * scale_eighths)
      return m;
  }
  return scale_eighths;
}

// What the first APP1 marker that is EXIF records; orientation 1 and no texts without one.
ExifFacts exif_facts(const jpeg_decompress_struct& decoder) {
  for (jpeg_saved_marker_ptr m = decoder.marker_list; m != nullptr; m = m->next) {
    if (m->marker == exif_marker && is_exif(m->data, m->data_length))
      return read_exif(m->data, m->data_length);
  }
  return {};
}

// The embedded ICC profile, its chunks joined; empty without one or when a chunk is missing.
std::vector<std::uint8_t> icc_profile(jpeg_decompress_struct& decoder) {
  JOCTET* data = nullptr;
  unsigned int length = 0;
  std::vector<std::uint8_t> icc;
  if (jpeg_read_icc_profile(&decoder, &data, &length) && data) icc.assign(data, data + length);
  std::free(data);
  return icc;
}

// Everything that can end in the library's error exit; false after one.
bool decode(Decode& d, Wish wish) {
  if (setjmp(d.errors.recovery)) return false;
  jpeg_create_decompress(&d.decoder);
  d.created = true;
  jpeg_stdio_src(&d.decoder, d.file);
  jpeg_save_markers(&d.decoder, exif_marker, max_marker_bytes);
  jpeg_save_markers(&d.decoder, icc_marker, max_marker_bytes);
  jpeg_read_header(&d.decoder, TRUE);
  // A header of a few bytes can declare up to 65500 x 65500 pixels, and the library then
  // invents data for all of them; the cap refuses such sizes before any work.
  const std::uint64_t width = d.decoder.image_width;
  const std::uint64_t height = d.decoder.image_height;
  if (width * height > max_image_pixels) return false;
  d.facts = exif_facts(d.decoder);
  const int stored_orientation = d.facts.orientation;
  d.decoder.scale_num = scale_for(width, height, stored_wish(wish, stored_orientation));
  d.decoder.scale_denom = scale_eighths;
  jpeg_start_decompress(&d.decoder);

  const int components = d.decoder.output_components;
  if (!known_components(components)) return false;
  const JDIMENSION out_width = d.decoder.output_width;
  if (!d.builder.start(out_width, d.decoder.output_height, stored_wish(wish, stored_orientation))) {
    return false;
  }

  d.colour.icc = icc_profile(d.decoder);
  // CMYK has no meaning of its own on screen: with a profile it converts through it, here,
  // before the builder averages rows; without one by the ink model.
  if (components == cmyk_components && !d.colour.icc.empty()) {
    d.cmyk = colour::to_display(d.colour, colour::Input::cmyk_inverted);
    d.colour = {};
  }
  JSAMPARRAY row = (*d.decoder.mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(&d.decoder),
                                                  JPOOL_IMAGE, out_width * components, 1);
  while (d.decoder.output_scanline < d.decoder.output_height) {
    // The stdio source never suspends, so every call delivers a line (past the end of a
    // truncated file the library makes up the rest and warns).
    if (jpeg_read_scanlines(&d.decoder, row, 1) != 1) return false;
    // A damaged header can make the library invent seconds' worth of rows.
    if (decode_cancelled()) return false;
    const JDIMENSION y = d.decoder.output_scanline - 1;
    std::uint8_t* target = d.builder.row(y);
    if (d.cmyk) {
      colour::apply(*d.cmyk, row[0], target, out_width);
    } else if (components == cmyk_components) {
      cmyk_row_to_rgb(row[0], target, out_width);
    } else if (components == grey_components) {
      grey_row_to_rgb(row[0], target, out_width);
    } else {
      std::memcpy(target, row[0], std::size_t{out_width} * rgb_channels);
    }
    d.builder.commit(y);
  }
  jpeg_finish_decompress(&d.decoder);
  d.image = d.builder.finish();
  d.image->full_width = static_cast<std::uint32_t>(width);
  d.image->full_height = static_cast<std::uint32_t>(height);
  d.image->orientation = stored_orientation;
  d.image->taken = std::move(d.facts.taken);
  d.image->camera = std::move(d.facts.camera);
  if (components != cmyk_components) d.image->colour = std::move(d.colour);
  return true;
}

}  // namespace

std::unique_ptr<Image> load(const char* path, const char* /*selector*/, Wish wish) {
  Decode d;
  d.decoder.err = jpeg_std_error(&d.errors.library);
  d.errors.library.error_exit = error_exit;
  d.errors.library.output_message = ignore_message;
  d.errors.library.emit_message = ignore_emit;
  d.file = open_image_file(path);
  if (!d.file) return nullptr;
  if (!decode(d, wish)) return nullptr;
  return std::move(d.image);
}

}  // namespace jpeg
