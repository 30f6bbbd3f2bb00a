// The EXIF reader on its own: APP1 payloads straight from the fuzzer, no JPEG around them.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "formats/exif.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const int orientation = exif_orientation(data, size);
  if (orientation < 1 || orientation > 8) std::abort();
  return 0;
}
