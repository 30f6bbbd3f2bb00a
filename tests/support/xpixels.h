// Reading pixels back from the X server, and the colours a test expects there, computed from
// the visual independently of the program's own conversion.
#pragma once

#include <X11/Xlib.h>

#include <cstdint>
#include <vector>

namespace pictra_test {

// The depth the harness started the server at (PICTRA_TEST_DEPTH), or 0 when not under it.
int test_depth();

// Raw pixel values of a window area, row by row (XGetImage, ZPixmap).
struct WindowPixels {
  unsigned width = 0;
  unsigned height = 0;
  std::vector<std::uint32_t> pixels;
  std::uint32_t at(unsigned x, unsigned y) const { return pixels[y * width + x]; }
};
WindowPixels read_window(Display* display, Window window);

// The pixel value that an RGB value (0x00RRGGBB) must become on the default visual of display:
// the colour cube index on an 8-bit PseudoColor visual, otherwise each channel's top bits placed
// by the visual's masks.
std::uint32_t expected_pixel(Display* display, int rgb);

// An RGB value for a pixel value (channels rebuilt from their top bits), for messages.
int pixel_to_rgb(Display* display, std::uint32_t pixel);

}  // namespace pictra_test
