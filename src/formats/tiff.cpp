// The TIFF (and NEF) module: decodes one directory of a file through the library's RGBA reader,
// and lists a multi-directory file's directories as entries of the file list.
#include "formats/tiff.h"

// The library names its opaque handle type struct tiff, which would clash with this module's
// namespace; only the typedef TIFF is used, so the tag is renamed while the header is read.
#define tiff pictra_libtiff_handle
#include <tiffio.h>
#undef tiff

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <vector>

#include "filelist/filelist.h"
#include "main/state.h"

namespace tiff {

namespace {

constexpr std::uint64_t bytes_per_pixel = 4;
// The largest raster load takes on: 2^30 pixels (4 GiB), 32768 x 32768. A few header bytes can
// claim any size up to 2^32 x 2^32, and the RGBA reader fills the whole raster even when the
// file holds no image data, so without a ceiling a tiny file makes every redraw allocate and
// write many gigabytes. Images beyond it are far larger than any window or camera frame.
constexpr std::uint64_t max_raster_pixels = std::uint64_t{1} << 30;
// Room for "%08d" of any directory number the library can count.
constexpr std::size_t page_name_size = 13;
constexpr char parent_name[] = "/..";
constexpr int decimal = 10;

TIFF* handle = nullptr;
std::uint32_t* raster = nullptr;
std::uint32_t width = 0;
std::uint32_t height = 0;

// The directory a selector names, or false when it names none the library could hold. Decimal
// text as atoi reads it (text that is not a number is 0), but without atoi's undefined overflow.
bool directory_number(const char* selector, tdir_t& number) {
  errno = 0;
  const long value = std::strtol(selector, nullptr, decimal);
  if (errno == ERANGE || value < 0 ||
      static_cast<unsigned long>(value) > std::numeric_limits<tdir_t>::max()) {
    return false;
  }
  number = static_cast<tdir_t>(value);
  return true;
}

// Whether the raster for the current size can be allocated: the size in 64 bits, since
// width x height x 4 overflows 32 bits already at 32768 x 32768.
bool raster_fits(std::uint64_t& bytes) {
  const std::uint64_t pixels = std::uint64_t{width} * height;
  if (pixels == 0 || pixels > max_raster_pixels) return false;
  bytes = pixels * bytes_per_pixel;
  return bytes <= static_cast<std::uint64_t>(std::numeric_limits<tmsize_t>::max());
}

}  // namespace

int load(const char* path, const char* selector, std::uint32_t, std::uint32_t) {
  // Callers unload after every load; releasing here as well keeps a missed unload from leaking.
  unload();
  handle = TIFFOpen(path, "r");
  if (handle == nullptr) return 0;
  // A number that does not exist is not an error: reading goes on with the directory the
  // library leaves current (the first, for numbers beyond what the library can count).
  tdir_t number = 0;
  if (selector != nullptr && selector[0] != '\0' && directory_number(selector, number)) {
    TIFFSetDirectory(handle, number);
  }
  TIFFGetField(handle, TIFFTAG_IMAGEWIDTH, &width);
  TIFFGetField(handle, TIFFTAG_IMAGELENGTH, &height);
  std::uint64_t bytes = 0;
  if (!raster_fits(bytes)) return 0;
  raster = static_cast<std::uint32_t*>(_TIFFmalloc(static_cast<tmsize_t>(bytes)));
  if (raster == nullptr) return 0;
  // Stop on error 0: a damaged file shows what the library could read.
  return TIFFReadRGBAImage(handle, width, height, raster, 0) ? 1 : 0;
}

void unload() {
  if (raster != nullptr) _TIFFfree(raster);
  if (handle != nullptr) TIFFClose(handle);
  raster = nullptr;
  handle = nullptr;
  width = 0;
  height = 0;
}

int get_pixel(std::int32_t x, std::int32_t y, int) {
  if (x < 0 || y < 0 || static_cast<std::uint32_t>(x) >= width ||
      static_cast<std::uint32_t>(y) >= height || raster == nullptr) {
    return 0;
  }
  // The library stores the first row at the bottom; the index is taken in 64 bits, as the
  // raster may hold more than 2^32 words' worth of offsets in bytes.
  const std::uint32_t word =
      raster[std::size_t{height - 1 - static_cast<std::uint32_t>(y)} * width +
             static_cast<std::uint32_t>(x)];
  return static_cast<int>(TIFFGetR(word) << 16 | TIFFGetG(word) << 8 | TIFFGetB(word));
}

std::int64_t get_width() {
  return width;
}

std::int64_t get_height() {
  return height;
}

// has_pages and list_pages open a handle of their own, which they always close again: they run
// only while no image is loaded, and a local handle cannot disturb one that is.
int has_pages(const char* path, const char* selector) {
  int result = 0;
  TIFF* file = TIFFOpen(path, "r");
  if (file != nullptr) {
    // Only a file asked about as a whole is listed; a selected directory opens as an image.
    if (selector == nullptr || selector[0] == '\0') result = TIFFReadDirectory(file);
    TIFFClose(file);
  }
  state.subpath = nullptr;
  return result;
}

int list_pages(const char* path, const char* subpath) {
  int result = -1;
  TIFF* file = TIFFOpen(path, "r");
  // A file that cannot be opened leaves the list as it was, so the browser stays where it is.
  if (file != nullptr && subpath == nullptr) {
    // Directory numbers come in ascending order; sorted once, a file with thousands of
    // directories does not cost a walk along the list for each.
    std::vector<char> names;
    do {
      char name[page_name_size];
      std::snprintf(name, sizeof name, "%08d", static_cast<int>(TIFFCurrentDirectory(file)));
      names.insert(names.end(), name, name + sizeof name);
    } while (TIFFReadDirectory(file));
    const std::size_t count = names.size() / page_name_size;
    std::vector<const char*> entries{parent_name};
    for (std::size_t i = 0; i < count; ++i)
      entries.push_back(&names[i * page_name_size]);
    clear_files(state.top);
    insert_files(state.top, entries.data(), entries.size());
    result = static_cast<int>(entries.size());
  }
  if (file != nullptr) TIFFClose(file);
  state.subpath = nullptr;
  return result;
}

}  // namespace tiff
