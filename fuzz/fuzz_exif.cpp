// The EXIF reader on its own: APP1 payloads straight from the fuzzer, no JPEG around them.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "formats/exif.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const int orientation = exif_orientation(data, size);
  if (orientation < 1 || orientation > 8) std::abort();
  // The texts go to the screen: bounded, printable, and the orientation read the same way.
  const ExifFacts facts = read_exif(data, size);
  if (facts.orientation != orientation) std::abort();
  for (const std::string* text : {&facts.taken, &facts.camera}) {
    if (text->size() > exif_text_limit) std::abort();
    for (char c : *text)
      if (c < ' ' || c > '~') std::abort();
  }
  return 0;
}
