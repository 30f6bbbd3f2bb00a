// Placeholder until this module is written.
#include "formats/tiff.h"

namespace tiff {

int load(const char*, const char*, std::uint32_t, std::uint32_t) { return 0; }
void unload() {}
int get_pixel(std::int32_t, std::int32_t, int) { return 0; }
std::int64_t get_width() { return 0; }
std::int64_t get_height() { return 0; }
int has_pages(const char*, const char*) { return 0; }
int list_pages(const char*, const char*) { return -1; }

}  // namespace tiff
