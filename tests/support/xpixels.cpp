#include "support/xpixels.h"

#include <X11/Xutil.h>

#include <cstdlib>

namespace pictra_test {

namespace {

// The colour cube an 8-bit PseudoColor display is drawn through: six levels per channel,
// red slowest; a channel value falls into level value / 43.
constexpr int cube_levels = 6;
constexpr int cube_divisor = 43;
constexpr int cube_level_step = 51;  // 255 / 5, the 8-bit value of one level

struct Channel {
  unsigned long mask = 0;
  int shift = 0;
  int bits = 0;
};

Channel channel(unsigned long mask) {
  Channel c;
  c.mask = mask;
  if (!mask) return c;
  while (!((mask >> c.shift) & 1))
    ++c.shift;
  while ((mask >> (c.shift + c.bits)) & 1)
    ++c.bits;
  return c;
}

Visual* default_visual(Display* display) {
  return DefaultVisual(display, DefaultScreen(display));
}

bool is_cube(Display* display) {
  return default_visual(display)->c_class == PseudoColor &&
         DefaultDepth(display, DefaultScreen(display)) == 8;
}

}  // namespace

int test_depth() {
  const char* depth = std::getenv("PICTRA_TEST_DEPTH");
  return depth ? std::atoi(depth) : 0;
}

WindowPixels read_window(Display* display, Window window) {
  XWindowAttributes attributes;
  XGetWindowAttributes(display, window, &attributes);
  WindowPixels result;
  result.width = static_cast<unsigned>(attributes.width);
  result.height = static_cast<unsigned>(attributes.height);
  XImage* image = XGetImage(display, window, 0, 0, result.width, result.height, AllPlanes, ZPixmap);
  if (!image) return result;
  result.pixels.resize(static_cast<std::size_t>(result.width) * result.height);
  for (unsigned y = 0; y < result.height; ++y) {
    for (unsigned x = 0; x < result.width; ++x) {
      result.pixels[static_cast<std::size_t>(y) * result.width + x] =
          static_cast<std::uint32_t>(XGetPixel(image, static_cast<int>(x), static_cast<int>(y)));
    }
  }
  XDestroyImage(image);
  return result;
}

std::uint32_t expected_pixel(Display* display, int rgb) {
  const int r = (rgb >> 16) & 0xff, g = (rgb >> 8) & 0xff, b = rgb & 0xff;
  if (is_cube(display)) {
    return static_cast<std::uint32_t>((r / cube_divisor) * cube_levels * cube_levels +
                                      (g / cube_divisor) * cube_levels + b / cube_divisor);
  }
  Visual* visual = default_visual(display);
  std::uint32_t pixel = 0;
  for (auto [value, mask] : {std::pair{r, visual->red_mask}, std::pair{g, visual->green_mask},
                             std::pair{b, visual->blue_mask}}) {
    const Channel c = channel(mask);
    pixel |= static_cast<std::uint32_t>((value >> (8 - c.bits)) << c.shift);
  }
  return pixel;
}

int pixel_to_rgb(Display* display, std::uint32_t pixel) {
  if (is_cube(display)) {
    const int i = static_cast<int>(pixel);
    return (i / (cube_levels * cube_levels)) * cube_level_step << 16 |
           ((i / cube_levels) % cube_levels) * cube_level_step << 8 |
           (i % cube_levels) * cube_level_step;
  }
  Visual* visual = default_visual(display);
  int rgb = 0;
  for (auto mask : {visual->red_mask, visual->green_mask, visual->blue_mask}) {
    const Channel c = channel(mask);
    const int value = static_cast<int>(((pixel & mask) >> c.shift) << (8 - c.bits));
    rgb = rgb << 8 | value;
  }
  return rgb;
}

}  // namespace pictra_test
