#include <cstddef>
#include <cstdint>

#include "formats/formats.h"
#include "harness.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return fuzz_format(format_heif, data, size);
}
