// The one resampler: scales an Image for the view and the thumbnails, working on the raster.
//
// Each axis is scaled on its own. Along an axis that shrinks, every destination pixel is the
// area-weighted average of the source pixels under it, so detail finer than the destination
// becomes its average instead of moire. Along an axis that enlarges, the view's bilinear rule
// holds: destination pixel j samples source position j x (source / destination), and the two
// neighbours are mixed vertically, then horizontally, each mix rounded half up.
#pragma once

#include <cstdint>
#include <memory>

#include "formats/formats.h"

// A part of the source scaled to scaled_width x scaled_height: the width x height destination
// pixels from (x, y) of that scaled image. The whole image is {w, h, 0, 0, w, h}; a zoomed view
// asks for the window's part only.
struct ScaleRegion {
  std::uint64_t scaled_width = 0;
  std::uint64_t scaled_height = 0;
  std::uint64_t x = 0;
  std::uint64_t y = 0;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
};

// The region of source, resampled; null when it is empty or memory cannot be had.
std::unique_ptr<Image> resample(const Image& source, const ScaleRegion& region);

// The whole source scaled to width x height.
std::unique_ptr<Image> resample(const Image& source, std::uint32_t width, std::uint32_t height);

// The source turned by quarter turns clockwise (taken modulo 4, negative counts turning back).
std::unique_ptr<Image> turn_image(const Image& source, int quarter_turns);

// Mirrors image in place: left_right swaps its columns, top_bottom its rows.
void mirror_image(Image& image, bool left_right, bool top_bottom);
