// Runs one fuzz input through a format module exactly as the program's callers do: load from a
// file, ask the size, read every pixel of the image and a margin around it, unload.
#pragma once

#include <cstddef>
#include <cstdint>

int fuzz_format(int format, const std::uint8_t* data, std::size_t size);
