#include "support/xpixels.h"

#include <X11/Xutil.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string>

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

constexpr int channel_count = 3;
constexpr int channel_max = 255;
constexpr std::size_t channel_values = 256;
constexpr int cube_size = cube_levels * cube_levels * cube_levels;
// The dither's integer arithmetic may pick a level a unit off the exact half-step rule.
constexpr int rounding_slack = 2;
constexpr unsigned short_max = 65535;

// What each channel of a display's default visual shows, learnt once per display.
struct VisualLevels {
  Display* display = nullptr;
  VisualID visual = 0;
  std::string name;
  bool cube = false;
  Channel channels[channel_count];
  std::vector<int> shown[channel_count];
};

// The cube's levels are the index's base-6 digits x 51; a TrueColor field's values are asked of
// the server's colormap, which is what the screen shows.
const VisualLevels& visual_levels(Display* display) {
  static VisualLevels known;
  Visual* visual = default_visual(display);
  if (known.display == display && known.visual == XVisualIDFromVisual(visual) &&
      known.name == DisplayString(display))
    return known;
  known = VisualLevels{};
  known.display = display;
  known.visual = XVisualIDFromVisual(visual);
  known.name = DisplayString(display);
  known.cube = is_cube(display);
  const unsigned long masks[channel_count] = {visual->red_mask, visual->green_mask,
                                              visual->blue_mask};
  for (int c = 0; c < channel_count; ++c) {
    if (known.cube) {
      for (int level = 0; level < cube_levels; ++level)
        known.shown[c].push_back(level * cube_level_step);
      continue;
    }
    known.channels[c] = channel(masks[c]);
    std::vector<XColor> cells(std::size_t{1} << known.channels[c].bits);
    for (std::size_t level = 0; level < cells.size(); ++level)
      cells[level].pixel = level << known.channels[c].shift;
    XQueryColors(display, DefaultColormap(display, DefaultScreen(display)), cells.data(),
                 static_cast<int>(cells.size()));
    for (const XColor& cell : cells) {
      const unsigned short value = c == 0 ? cell.red : c == 1 ? cell.green : cell.blue;
      known.shown[c].push_back((value * channel_max + short_max / 2) / short_max);
    }
  }
  return known;
}

int level_of(const VisualLevels& visual, std::uint32_t pixel, int c) {
  if (visual.cube) {
    constexpr int place[channel_count] = {cube_levels * cube_levels, cube_levels, 1};
    return static_cast<int>(pixel) / place[c] % cube_levels;
  }
  return static_cast<int>((pixel & visual.channels[c].mask) >> visual.channels[c].shift);
}

int widest_step(const std::vector<int>& shown) {
  int widest = 0;
  for (std::size_t i = 1; i < shown.size(); ++i)
    widest = std::max(widest, shown[i] - shown[i - 1]);
  return widest;
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

const std::vector<int>& channel_levels(Display* display, int channel) {
  return visual_levels(display).shown[channel];
}

int pixel_to_rgb(Display* display, std::uint32_t pixel) {
  const VisualLevels& visual = visual_levels(display);
  int rgb = 0;
  for (int c = 0; c < channel_count; ++c) {
    const int level = level_of(visual, pixel, c);
    const std::vector<int>& shown = visual.shown[c];
    rgb = rgb << 8 | (level < static_cast<int>(shown.size()) ? shown[level] : 0);
  }
  return rgb;
}

bool within_dither(Display* display, std::uint32_t pixel, int rgb) {
  const VisualLevels& visual = visual_levels(display);
  if (visual.cube && pixel >= static_cast<std::uint32_t>(cube_size)) return false;
  for (int c = 0; c < channel_count; ++c) {
    const std::vector<int>& shown = visual.shown[c];
    const int value = channel_of(rgb, c);
    const int level = level_of(visual, pixel, c);
    if (level >= static_cast<int>(shown.size())) return false;
    const int difference = std::abs(shown[level] - value);
    const bool exact = shown.size() == channel_values || value == 0 || value == channel_max;
    if (exact ? difference != 0 : difference > widest_step(shown) + rounding_slack) return false;
  }
  return true;
}

double MeanColour::distance(int rgb) const {
  double largest = 0;
  for (int c = 0; c < channel_count; ++c) {
    const int value = channel_of(rgb, c);
    largest = std::max(largest, std::abs(channels[c] - value));
  }
  return largest;
}

MeanColour area_mean(Display* display, const WindowPixels& window, unsigned x, unsigned y,
                     unsigned width, unsigned height) {
  MeanColour mean;
  for (unsigned row = y; row < y + height; ++row) {
    for (unsigned column = x; column < x + width; ++column) {
      const int rgb = pixel_to_rgb(display, window.at(column, row));
      for (int c = 0; c < channel_count; ++c)
        mean.channels[c] += channel_of(rgb, c);
    }
  }
  for (double& channel : mean.channels)
    channel /= static_cast<double>(width) * height;
  return mean;
}

}  // namespace pictra_test
