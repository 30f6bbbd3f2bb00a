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

// The colour a pixel value shows (0x00RRGGBB): the cube cell's levels x 51, or each TrueColor
// field as the server's colormap widens it.
int pixel_to_rgb(Display* display, std::uint32_t pixel);

// Channel 0 (red), 1 (green) or 2 (blue) of an RGB value.
inline int channel_of(int rgb, int channel) {
  return rgb >> (8 * (2 - channel)) & 0xff;
}

// The values one channel (0 red, 1 green, 2 blue) of the default visual shows, level by level:
// the cube's six levels, or every value of the TrueColor field (256 of them at 8 bits).
const std::vector<int>& channel_levels(Display* display, int channel);

// Whether pixel can be what rgb became through the dither: where the visual has 8 bits for a
// channel, or rgb's channel is 0 or 255, that channel is exact; elsewhere it shows a level at
// most one level step (the channel's widest) from rgb's value, since the error carried into a
// pixel never exceeds half a step. Also holds for the undithered nearest level.
bool within_dither(Display* display, std::uint32_t pixel, int rgb);

// The mean colour a window area shows, per channel, 0 to 255.
struct MeanColour {
  double channels[3] = {};
  // The largest difference of a channel from rgb's.
  double distance(int rgb) const;
};
MeanColour area_mean(Display* display, const WindowPixels& window, unsigned x, unsigned y,
                     unsigned width, unsigned height);

}  // namespace pictra_test
