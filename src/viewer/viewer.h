// The single-image view and the bilinear sampler it smooths with.
#pragma once

#include <cstdint>
#include <limits>

// Results of view_image.
inline constexpr int view_failed = 0;     // the image cannot be shown
inline constexpr int view_left = 1;       // the user left the view
inline constexpr int view_previous = 10;  // Up: step to the previous image
inline constexpr int view_next = 11;      // Down: step to the next image

int view_image(const char* path, const char* selector);
// One draw of the view: decodes the file and draws it at the current window size turned by
// rotation; 0 when it cannot be shown.
int draw_view(const char* path, const char* selector, int rotation);

int sample_bilinear(int format, double x, double y);
int blend_rgb(int a, int b, double wb, double wa);

// Truncation toward zero to a 32-bit int: the source coordinate of a window pixel. Sample points
// of an empty fit are infinite or NaN and far points can exceed the int range; those saturate
// to INT32_MAX (or INT32_MIN), which lies outside every image and so reads as black, instead of
// being an undefined conversion. Inline: it runs for every window pixel.
inline std::int32_t trunc_to_int32(double v) {
  constexpr double limit = 2147483648.0;  // 2^31
  if (!(v < limit)) return std::numeric_limits<std::int32_t>::max();
  if (v <= -limit - 1.0) return std::numeric_limits<std::int32_t>::min();
  return static_cast<std::int32_t>(v);
}
