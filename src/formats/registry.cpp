// The format registry: the table of format modules, the lookups that pick one by extension, and
// the one way every module opens a file.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <iterator>

#include "formats/bmp.h"
#include "formats/formats.h"
#include "formats/gif.h"
#include "formats/jpeg.h"
#include "formats/orient.h"
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

template <std::size_t N>
ImageFormat row(const char* const (&extensions)[N],
                std::unique_ptr<Image> (*load)(const char*, const char*, Wish),
                std::vector<std::string> (*list_pages)(const char*)) {
  return {.extcount = static_cast<int>(N),
          .extensions = extensions,
          .load = load,
          .list_pages = list_pages};
}

}  // namespace

void init_formats() {
  formats[format_jpeg] = row(jpeg_extensions, jpeg::load, no_pages);
  formats[format_gif] = row(gif_extensions, gif::load, no_pages);
  formats[format_bmp] = row(bmp_extensions, bmp::load, no_pages);
  formats[format_tiff] = row(tiff_extensions, tiff::load, tiff::list_pages);
  formats[format_png] = row(png_extensions, png::load, no_pages);
  tiff::init();
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

std::vector<std::string> no_pages(const char*) {
  return {};
}

std::unique_ptr<Image> load_image(const char* path, const char* selector, Wish wish) {
  if (path == nullptr) return nullptr;
  const int type = get_type(path);
  if (type < 0 || formats[type].load == nullptr) return nullptr;
  std::unique_ptr<Image> image = formats[type].load(path, selector, wish);
  // Here, on the decoding thread, so the view and the thumbnails only see images upright.
  if (image && !orient_image(*image)) return nullptr;
  return image;
}

std::FILE* open_image_file(const char* path) {
  if (path == nullptr) return nullptr;
  // Without O_NONBLOCK, opening a FIFO waits for a writer that may never come; the descriptor
  // is only kept for regular files, which never block, so the flag changes nothing else.
  const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return nullptr;
  struct stat status {};
  if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    close(fd);
    return nullptr;
  }
  std::FILE* file = fdopen(fd, "rb");
  if (file == nullptr) close(fd);
  return file;
}
