// The BMP module of the format table.
#pragma once

#include <memory>

#include "formats/formats.h"

namespace bmp {

std::unique_ptr<Image> load(const char* path, const char* selector, Wish wish);

}  // namespace bmp

namespace bmp {

// Shift that brings the highest set bit of a colour mask to bit 7.
int mask_shift(std::uint32_t mask);

}  // namespace bmp
