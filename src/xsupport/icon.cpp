// The program's icon, drawn from a few shapes at whatever size is asked: a rounded tile framing
// a picture of a sun over two hills. The window's _NET_WM_ICON and the installed hicolor PNGs
// are both drawn here, so the desktop and the window always show the same icon.
#include <cmath>
#include <cstdint>
#include <vector>

#include "xsupport/xsupport.h"

namespace {

// Samples per pixel along each axis; their average gives the pixel its smooth edges.
constexpr int samples = 8;
constexpr std::uint32_t outside = 0xffffffff;  // no colour: every colour has its top byte 0
constexpr std::uint32_t transparent = 0;

// The shapes, in units of the icon's side, painted back to front.
constexpr double tile_inset = 0.03;
constexpr double tile_radius = 0.2;
constexpr double picture_left = 0.15;
constexpr double picture_right = 0.85;
constexpr double picture_top = 0.19;
constexpr double picture_bottom = 0.81;
constexpr double sun_x = 0.65;
constexpr double sun_y = 0.37;
constexpr double sun_radius = 0.1;

constexpr std::uint32_t tile_colour = 0x37474f;
constexpr std::uint32_t sky_colour = 0x9fd3f0;
constexpr std::uint32_t sun_colour = 0xffcc33;
constexpr std::uint32_t far_hill_colour = 0x3d7a46;
constexpr std::uint32_t near_hill_colour = 0x78b04a;

struct Point {
  double x;
  double y;
};

// A hill: the triangle of its peak over the picture's bottom edge, from left to right.
struct Hill {
  Point peak;
  double left;
  double right;
  std::uint32_t colour;
};
constexpr Hill hills[] = {
    {{0.4, 0.42}, picture_left - 0.1, 0.78, far_hill_colour},
    {{0.68, 0.55}, 0.42, picture_right + 0.12, near_hill_colour},
};

bool in_rounded_tile(Point p) {
  const double low = tile_inset + tile_radius;
  const double high = 1 - tile_inset - tile_radius;
  const double dx = std::fmax(std::fmax(low - p.x, p.x - high), 0);
  const double dy = std::fmax(std::fmax(low - p.y, p.y - high), 0);
  return p.x >= tile_inset && p.x <= 1 - tile_inset && p.y >= tile_inset && p.y <= 1 - tile_inset &&
         dx * dx + dy * dy <= tile_radius * tile_radius;
}

bool in_hill(const Hill& hill, Point p) {
  if (p.y > picture_bottom || p.y < hill.peak.y) return false;
  // The slopes narrow linearly from the base to the peak.
  const double rise = (picture_bottom - p.y) / (picture_bottom - hill.peak.y);
  const double left = hill.left + (hill.peak.x - hill.left) * rise;
  const double right = hill.right + (hill.peak.x - hill.right) * rise;
  return p.x >= left && p.x <= right;
}

// The colour at a point (0xRRGGBB, opaque), or outside.
std::uint32_t colour_at(Point p) {
  if (!in_rounded_tile(p)) return outside;
  if (p.x < picture_left || p.x > picture_right || p.y < picture_top || p.y > picture_bottom) {
    return tile_colour;
  }
  std::uint32_t colour = sky_colour;
  const double sx = p.x - sun_x, sy = p.y - sun_y;
  if (sx * sx + sy * sy <= sun_radius * sun_radius) colour = sun_colour;
  for (const Hill& hill : hills)
    if (in_hill(hill, p)) colour = hill.colour;
  return colour;
}

// One pixel: the average of its samples, its alpha the share of them inside the tile and its
// colour the average of those, so the edges do not darken towards the transparent outside.
std::uint32_t pixel(int column, int row, int size) {
  std::uint32_t sums[3] = {0, 0, 0};
  std::uint32_t inside = 0;
  for (int sy = 0; sy < samples; ++sy) {
    for (int sx = 0; sx < samples; ++sx) {
      const Point p{(column + (sx + 0.5) / samples) / size, (row + (sy + 0.5) / samples) / size};
      const std::uint32_t colour = colour_at(p);
      if (colour == outside) continue;
      ++inside;
      for (int channel = 0; channel < 3; ++channel)
        sums[channel] += (colour >> (16 - 8 * channel)) & 0xff;
    }
  }
  if (inside == 0) return transparent;
  constexpr std::uint32_t total = samples * samples;
  std::uint32_t argb = (inside * 0xff + total / 2) / total << 24;
  for (int channel = 0; channel < 3; ++channel)
    argb |= (sums[channel] + inside / 2) / inside << (16 - 8 * channel);
  return argb;
}

}  // namespace

std::vector<std::uint32_t> x_DrawIcon(int size) {
  std::vector<std::uint32_t> pixels;
  pixels.reserve(static_cast<std::size_t>(size) * static_cast<std::size_t>(size));
  for (int row = 0; row < size; ++row)
    for (int column = 0; column < size; ++column)
      pixels.push_back(pixel(column, row, size));
  return pixels;
}
