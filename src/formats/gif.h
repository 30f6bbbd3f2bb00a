// The GIF module of the format table.
#pragma once

#include <cstdint>

namespace gif {

int load(const char* path, const char* selector, std::uint32_t want_w, std::uint32_t want_h);
void unload();
int get_pixel(std::int32_t x, std::int32_t y, int color);
std::int64_t get_width();
std::int64_t get_height();

}  // namespace gif
