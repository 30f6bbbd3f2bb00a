// The single-image view and the bilinear sampler it smooths with.
#pragma once

// Results of view_image.
inline constexpr int view_failed = 0;    // the image cannot be shown
inline constexpr int view_left = 1;      // the user left the view
inline constexpr int view_previous = 10;  // Up: step to the previous image
inline constexpr int view_next = 11;      // Down: step to the next image

int view_image(const char* path, const char* selector);

int sample_bilinear(int format, double x, double y);
int blend_rgb(int a, int b, double wb, double wa);
