// The BMP module of the format table.
#pragma once

#include <cstdint>

namespace bmp {

int load(const char* path, const char* selector, std::uint32_t want_w, std::uint32_t want_h);
void unload();
int get_pixel(std::int32_t x, std::int32_t y, int color);
std::int64_t get_width();
std::int64_t get_height();

// Shift that brings the highest set bit of a colour mask to bit 7.
int mask_shift(std::uint32_t mask);

}  // namespace bmp
