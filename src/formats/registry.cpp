// The format registry: the table of format modules and the lookups that pick one by extension.
#include <cstring>
#include <iterator>

#include "formats/bmp.h"
#include "formats/formats.h"
#include "formats/gif.h"
#include "formats/jpeg.h"
#include "formats/png.h"
#include "formats/tiff.h"

ImageFormat formats[format_count];

namespace {

// Extensions of each format, in the order get_type tries them. Matching is case-sensitive, so
// the upper-case spellings that cameras and old systems write are listed separately.
constexpr const char* jpeg_extensions[] = {".jpg", ".JPG", ".jpeg"};
constexpr const char* gif_extensions[] = {".gif", ".GIF"};
constexpr const char* bmp_extensions[] = {".bmp", ".BMP"};
// ".tif" also catches ".tiff" and ".TIF" catches ".TIFF": only the start of the tail is compared.
constexpr const char* tiff_extensions[] = {".tif", ".TIF", ".tiff", ".nef", ".NEF"};
constexpr const char* png_extensions[] = {".png", ".PNG"};

}  // namespace

void init_formats() {
  formats[format_jpeg] = {.extcount = static_cast<int>(std::size(jpeg_extensions)),
                          .extensions = jpeg_extensions,
                          .load = jpeg::load,
                          .unload = jpeg::unload,
                          .get_pixel = jpeg::get_pixel,
                          .get_width = jpeg::get_width,
                          .get_height = jpeg::get_height,
                          .list_pages = no_pages,
                          .has_pages = no_pages};
  formats[format_gif] = {.extcount = static_cast<int>(std::size(gif_extensions)),
                         .extensions = gif_extensions,
                         .load = gif::load,
                         .unload = gif::unload,
                         .get_pixel = gif::get_pixel,
                         .get_width = gif::get_width,
                         .get_height = gif::get_height,
                         .list_pages = no_pages,
                         .has_pages = no_pages};
  formats[format_bmp] = {.extcount = static_cast<int>(std::size(bmp_extensions)),
                         .extensions = bmp_extensions,
                         .load = bmp::load,
                         .unload = bmp::unload,
                         .get_pixel = bmp::get_pixel,
                         .get_width = bmp::get_width,
                         .get_height = bmp::get_height,
                         .list_pages = no_pages,
                         .has_pages = no_pages};
  formats[format_tiff] = {.extcount = static_cast<int>(std::size(tiff_extensions)),
                          .extensions = tiff_extensions,
                          .load = tiff::load,
                          .unload = tiff::unload,
                          .get_pixel = tiff::get_pixel,
                          .get_width = tiff::get_width,
                          .get_height = tiff::get_height,
                          .list_pages = tiff::list_pages,
                          .has_pages = tiff::has_pages};
  formats[format_png] = {.extcount = static_cast<int>(std::size(png_extensions)),
                         .extensions = png_extensions,
                         .load = png::load,
                         .unload = png::unload,
                         .get_pixel = png::get_pixel,
                         .get_width = png::get_width,
                         .get_height = png::get_height,
                         .list_pages = no_pages,
                         .has_pages = no_pages};
}

int get_type(const char* name) {
  const char* tail = std::strrchr(name, '.');
  if (tail == nullptr) return -1;
  // Every extension begins with '.' and the tail holds no other '.', so "the tail contains the
  // extension" comes down to "the tail begins with it": "a.jpg2" is JPEG, "a.jpg.bak" is not.
  for (int index = 0; index < format_count; ++index) {
    const ImageFormat& format = formats[index];
    for (int e = 0; e < format.extcount; ++e) {
      const char* extension = format.extensions[e];
      if (std::strncmp(tail, extension, std::strlen(extension)) == 0) return index;
    }
  }
  return -1;
}

int is_supported(const char* name) {
  return get_type(name) >= 0 ? 1 : 0;
}

int no_pages(const char*, const char*) {
  return 0;
}
