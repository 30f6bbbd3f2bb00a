// The single-image view and the bilinear sampler it smooths with.
#pragma once

#include <cstdint>

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

// Truncation toward zero to a 32-bit int that saturates instead of overflowing (NaN and
// +infinity give INT32_MAX): the source coordinate of a window pixel.
std::int32_t trunc_to_int32(double v);
