// Off-screen Pictures: a pixel buffer in the display's format with the X image describing it.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <climits>
#include <cstdio>
#include <cstdlib>

#include "xsupport/xsupport.h"

namespace {

constexpr std::uint64_t bits_per_byte = 8;
// XImage keeps its width, height and bytes per line as int.
constexpr std::uint64_t max_image_extent = INT_MAX;

// Bytes per line the X image will be told: bytes_per_pixel x width once x_Init has settled the
// pixel size; during the start-up probe (bytes_per_pixel still 0) the X library works it out
// itself, which is at most the rounded-up bits of one line.
std::uint64_t line_bytes_upper_bound(std::uint64_t width, std::uint64_t depth) {
  if (state.bytes_per_pixel) return state.bytes_per_pixel * width;
  return (width * depth + bits_per_byte - 1) / bits_per_byte;
}

// Whether the X image can describe the Picture: every extent fits XImage's int fields, and the
// products involved do not wrap in 64 bits.
bool describable(std::uint64_t width, std::uint64_t height, std::uint64_t depth,
                 std::uint64_t& data_bytes) {
  std::uint64_t bits = 0;
  if (__builtin_mul_overflow(width, height, &bits) || __builtin_mul_overflow(bits, depth, &bits))
    return false;
  if (width > max_image_extent || height > max_image_extent || depth > max_image_extent)
    return false;
  // width <= INT_MAX and depth <= INT_MAX, so width x depth and bytes_per_pixel x width (with
  // bytes_per_pixel at most 4) cannot wrap in 64 bits.
  if (line_bytes_upper_bound(width, depth) > max_image_extent) return false;
  data_bytes = bits / bits_per_byte;
  return true;
}

}  // namespace

void x_PutPixel_out_of_bounds(const char* file, unsigned line, const char* function) {
  // Reported in the same words as a failed assert(), but kept in every build type: a write
  // outside the buffer would corrupt the heap silently.
  std::fprintf(stderr, "%s:%u: %s: Assertion `x<img->width && y<img->height' failed.\n", file, line,
               function);
  std::abort();
}

Picture* x_CreatePicture(std::uint64_t width, std::uint64_t height, std::uint64_t depth) {
  std::uint64_t data_bytes = 0;
  if (!describable(width, height, depth, data_bytes)) return nullptr;

  auto* img = static_cast<Picture*>(std::malloc(sizeof(Picture)));
  if (!img) return nullptr;
  *img = Picture{width, height, depth, nullptr, nullptr};

  // At least one byte, so that an empty Picture does not depend on what malloc(0) returns.
  img->data = static_cast<unsigned char*>(std::malloc(data_bytes ? data_bytes : 1));
  if (!img->data) {
    std::free(img);
    return nullptr;
  }

  img->ximage =
      XCreateImage(state.display, state.visual, static_cast<unsigned>(state.visual_depth), ZPixmap,
                   0, reinterpret_cast<char*>(img->data), static_cast<unsigned>(width),
                   static_cast<unsigned>(height), static_cast<int>(depth),
                   static_cast<int>(state.bytes_per_pixel * width));
  // An X image that would describe more bytes than the buffer holds (a depth that does not match
  // the display's pixel size) would let XPutImage read past it: refuse it too.
  if (img->ximage && static_cast<std::uint64_t>(img->ximage->bytes_per_line) * height >
                         (data_bytes ? data_bytes : 1)) {
    img->ximage->data = nullptr;
    XDestroyImage(img->ximage);
    img->ximage = nullptr;
  }
  if (!img->ximage) {
    std::free(img->data);
    std::free(img);
    return nullptr;
  }
  return img;
}

void x_FreePicture(Picture* img) {
  if (!img) return;
  if (img->ximage) XDestroyImage(img->ximage);  // releases data as well
  std::free(img);
}

void clear_picture(Picture*& slot) {
  x_FreePicture(slot);
  slot = nullptr;
}
