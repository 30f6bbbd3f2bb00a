// The format registry: one row of operations per image format, chosen by file extension.
#pragma once

#include <cstdint>

struct ImageFormat {
  int extcount = 0;
  const char* const* extensions = nullptr;
  int (*load)(const char* path, const char* selector, std::uint32_t want_w,
              std::uint32_t want_h) = nullptr;
  void (*unload)() = nullptr;
  int (*get_pixel)(std::int32_t x, std::int32_t y, int color) = nullptr;
  std::int64_t (*get_width)() = nullptr;
  std::int64_t (*get_height)() = nullptr;
  int (*list_pages)(const char* path, const char* subpath) = nullptr;
  int (*has_pages)(const char* path, const char* selector) = nullptr;
};

// Format indexes, as get_type returns them.
enum FormatIndex : int { format_jpeg = 0, format_gif, format_bmp, format_tiff, format_png };
inline constexpr int format_count = 5;

extern ImageFormat formats[format_count];

void init_formats();
int get_type(const char* name);
int is_supported(const char* name);
int no_pages(const char* path, const char* selector_or_subpath);
