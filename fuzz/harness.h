// Runs one fuzz input through a format module as the program does: load it from a file in full
// and with a thumbnail wish, read every sample of each image, list its pages, and play it
// through its frames where it is an animation.
#pragma once

#include <cstddef>
#include <cstdint>

int fuzz_format(int format, const std::uint8_t* data, std::size_t size);
