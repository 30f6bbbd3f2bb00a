// Orientation as files record it: EXIF's and TIFF's tag values 1 to 8, saying how the stored
// raster is to be turned and mirrored to be seen as the camera meant. Internal to the format
// modules: load_image applies it, so everyone else sees images the right way up.
#pragma once

#include "formats/formats.h"

// 1 shows the raster as stored; 5 to 8 turn it a quarter, swapping its sides.
inline constexpr int orientation_as_stored = 1;
inline bool orientation_swaps_sides(int orientation) {
  return orientation >= 5 && orientation <= 8;
}

// A wish is a box for the image as displayed; a decoder compares it with the stored raster,
// whose sides are the other way round when the orientation turns it a quarter.
inline Wish stored_wish(Wish wish, int orientation) {
  return orientation_swaps_sides(orientation) ? Wish{wish.height, wish.width} : wish;
}

// Turns and mirrors image, full size included, by its orientation and sets it to 1. Values
// outside 1 to 8 count as 1. False, the image untouched, when memory cannot be had.
bool orient_image(Image& image);
