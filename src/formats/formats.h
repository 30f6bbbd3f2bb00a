// The format registry and the decoded image every format hands back.
//
// A format's load starts from nothing and answers an owned Image, or null when the file yields
// no image; it keeps nothing in module-wide state, so different files decode on several threads
// at once. Every decoder refuses images over max_image_pixels before allocating for them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

// The one pixel layout of every decoded image: 8-bit red, green, blue, interleaved, rows top to
// bottom with no padding.
inline constexpr std::size_t rgb_channels = 3;

// The largest image any format decodes, in pixels: 2^30, e.g. 32768 x 32768 (3 GiB of samples).
// A few damaged header bytes can claim far more; beyond this they are refused unread. The fuzz
// build sets a lower cap, so that its executions go to the readers' logic rather than to the
// millions of rows a few compressed bytes can legitimately expand to.
#ifndef PICTRA_MAX_IMAGE_PIXELS
#define PICTRA_MAX_IMAGE_PIXELS (std::uint64_t{1} << 30)
#endif
inline constexpr std::uint64_t max_image_pixels = PICTRA_MAX_IMAGE_PIXELS;

// The bytes of an image, taken zeroed from calloc: a large raster comes as fresh pages that
// cost nothing until a row is written, so a small file claiming a huge image takes only what
// its data fills. Nothing touches the bytes on the way: a vector value-initialises each one,
// which the sanitizer and fuzzer builds keep as a loop, half a minute for a claimed gigapixel.
class Raster {
 public:
  Raster() = default;
  explicit Raster(std::size_t size);  // all zero; throws std::bad_alloc
  Raster(const Raster& other);
  Raster& operator=(const Raster& other);
  Raster(Raster&& other) noexcept { swap(other); }
  Raster& operator=(Raster&& other) noexcept {
    Raster taken(std::move(other));
    swap(taken);
    return *this;
  }

  std::uint8_t* data() { return bytes_.get(); }
  const std::uint8_t* data() const { return bytes_.get(); }
  std::size_t size() const { return size_; }
  std::uint8_t& operator[](std::size_t i) { return bytes_[i]; }
  const std::uint8_t& operator[](std::size_t i) const { return bytes_[i]; }
  std::uint8_t* begin() { return data(); }
  std::uint8_t* end() { return data() + size_; }
  const std::uint8_t* begin() const { return data(); }
  const std::uint8_t* end() const { return data() + size_; }
  void clear() {
    bytes_.reset();
    size_ = 0;
  }
  friend bool operator==(const Raster& a, const Raster& b);

 private:
  struct Free {
    void operator()(std::uint8_t* bytes) const noexcept { std::free(bytes); }
  };
  void swap(Raster& other) noexcept {
    std::swap(bytes_, other.bytes_);
    std::swap(size_, other.size_);
  }
  std::unique_ptr<std::uint8_t[], Free> bytes_;
  std::size_t size_ = 0;
};

// How a file describes its colours, handed over with its pixels. Nothing described means
// sRGB. An embedded ICC profile wins; else primaries and a transfer curve stand for one.
struct ColourDescription {
  std::vector<std::uint8_t> icc;
  // CIE xy of red, green, blue and white; all zero keeps sRGB's.
  std::array<double, 8> primaries{};
  // pq and hlg are the high dynamic range curves, mapped down to the screen's range.
  enum class Transfer : std::uint8_t { srgb, gamma, bt709, linear, pq, hlg };
  Transfer transfer = Transfer::srgb;
  double gamma = 0;  // the decoding exponent, for Transfer::gamma

  bool described() const {
    return !icc.empty() || transfer != Transfer::srgb || primaries != std::array<double, 8>{};
  }
};

struct Image {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  Raster rgb;  // width x height x rgb_channels
  // Sub-images the file holds (TIFF directories); 1 for single-image files.
  std::uint32_t pages = 1;
  // Size of the image in the file, before any reduced-scale decode.
  std::uint32_t full_width = 0;
  std::uint32_t full_height = 0;
  // How the raster is to be turned and mirrored to be seen as the camera meant: the file's
  // Orientation tag, 1 to 8, 1 as stored. Formats report it with the stored raster;
  // load_image applies it, so what it answers is always 1, full size as displayed.
  int orientation = 1;
  // From the file's EXIF block where it has one: when the picture was taken and with which
  // camera, as read_exif gives them; empty otherwise.
  std::string taken;
  std::string camera;
  // What the decoder found; load_image converts the pixels to the display's colours and clears
  // it, so what it answers is in the display's colours.
  ColourDescription colour;
  // Opacity, one byte a pixel, or empty for an opaque image. The raster's colours are then
  // premultiplied by it, i.e. composited over black, which is what the grid shows; the view can
  // put them over another background.
  Raster alpha;

  const std::uint8_t* row(std::uint32_t y) const {
    return rgb.data() + std::size_t{y} * width * rgb_channels;
  }
  std::uint8_t* row(std::uint32_t y) { return rgb.data() + std::size_t{y} * width * rgb_channels; }
};

// An image of width x height, all black; null when the size is empty, over the cap, or memory
// cannot be had.
std::unique_ptr<Image> make_image(std::uint64_t width, std::uint64_t height);

// The pixel at (x, y) as 0x00RRGGBB; black outside the image. For tests and simple callers:
// drawing works on the raster directly.
inline int get_pixel(const Image& image, std::int64_t x, std::int64_t y) {
  if (x < 0 || y < 0 || x >= image.width || y >= image.height) return 0;
  const std::uint8_t* p = image.row(static_cast<std::uint32_t>(y)) + x * rgb_channels;
  return p[0] << 16 | p[1] << 8 | p[2];
}

// The box a caller will fit an image into, its aspect ratio kept; 0 x 0 asks for full size.
// The box is for the image as displayed, its orientation applied. A
// format that can decode at reduced scale picks the smallest scale whose output still covers
// the fitted size in both directions; the caller resamples from whatever size comes back.
struct Wish {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
};

// The size of a width x height image fitted into a box_width x box_height box, its aspect
// ratio kept: the box's width or height, the other side rounded down.
struct Size {
  std::uint64_t width = 0;
  std::uint64_t height = 0;
};
inline Size fit_size(std::uint64_t width, std::uint64_t height, std::uint64_t box_width,
                     std::uint64_t box_height) {
  if (width == 0 || height == 0) return {};
  const double image_ratio = static_cast<double>(width) / static_cast<double>(height);
  const double box_ratio = static_cast<double>(box_width) / static_cast<double>(box_height);
  if (image_ratio > box_ratio) return {box_width, height * box_width / width};
  return {width * box_height / height, box_height};
}

class AnimationReader;

struct ImageFormat {
  int extcount = 0;
  const char* const* extensions = nullptr;
  std::unique_ptr<Image> (*load)(const char* path, const char* selector, Wish wish) = nullptr;
  // The entry names of a multi-image file's sub-images, in order; empty for a file that holds
  // one image or cannot be read.
  std::vector<std::string> (*list_pages)(const char* path) = nullptr;
  // A reader of the file's frames when it is an animation; null for formats without them.
  std::unique_ptr<AnimationReader> (*open_animation)(const char* path) = nullptr;
};

// Format indexes, as get_type returns them.
enum FormatIndex : int {
  format_jpeg = 0,
  format_gif,
  format_bmp,
  format_tiff,
  format_png,
  format_webp,
  format_heif,  // HEIC and AVIF
  format_jxl,
};
inline constexpr int format_count = 8;

extern ImageFormat formats[format_count];

// Fills the table, and from then on drops what other threads than the caller write to stderr
// (the decoding libraries' complaints). Call it from the main thread, before the decode pool.
void init_formats();
int get_type(const char* name);
int is_supported(const char* name);
std::vector<std::string> no_pages(const char* path);

// Decodes path through the format its first bytes show, or by get_type when they show none;
// null when none fits or decoding fails.
std::unique_ptr<Image> load_image(const char* path, const char* selector, Wish wish);
// The sub-image names of a multi-image file, of the format load_image would decode it as.
std::vector<std::string> list_image_pages(const char* path);

// The display's ICC profile, as the screen states it; empty or unusable means sRGB. Main
// thread, before the decode pool starts: the workers read it without a lock.
void set_display_profile(std::vector<std::uint8_t> icc);

// Opens path for reading an image without ever blocking: a FIFO, device or directory is
// refused like a file that cannot be opened. Answers the open stream (binary, close-on-exec) or
// null.
std::FILE* open_image_file(const char* path);
// Reads the whole file at path, opened as open_image_file does, into data; false when it
// cannot be read, is empty or is longer than max_bytes.
bool read_whole_file(const char* path, std::uint64_t max_bytes, std::vector<std::uint8_t>& data);
