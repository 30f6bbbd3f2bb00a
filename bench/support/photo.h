// Test pictures for the benchmarks: photo-like rasters written as JPEG files.
#pragma once

#include <cstdint>
#include <string>

#include "formats/formats.h"

namespace bench {

// Smooth shading with texture and a little noise, as dense to encode as a camera's file (noise
// alone would be far denser, flat colour far lighter). Pictures of different seeds differ
// everywhere.
Image photo(std::uint32_t width, std::uint32_t height, unsigned seed);
// Writes image as a baseline JPEG of the quality; aborts on failure.
void write_jpeg(const std::string& path, const Image& image, int quality);

}  // namespace bench
