// Bilinear sampling of a loaded image at fractional source coordinates, used to smooth the
// unrotated view. The four neighbours are read through the format's own get_pixel and mixed in
// three rounded steps: the two columns vertically, then the columns horizontally.
#include <cstdint>

#include "formats/formats.h"
#include "viewer/viewer.h"

namespace {

constexpr int color_output = 1;  // get_pixel's colour argument: every caller asks for RGB

constexpr double round_down_below = 0.5;  // a mix below this is channel 0
constexpr double round_up_from = 254.5;   // a mix from this on is channel 255
constexpr int channel_max = 255;

constexpr int red_shift = 16;
constexpr int green_shift = 8;
constexpr int channel_mask = 0xff;

// One channel of a mix, rounded half up into 0 ... 255. A NaN (weights from a sample point at
// infinity) is taken as 0, so every input gives a defined channel.
int round_channel(double v) {
  if (!(v >= round_down_below)) return 0;
  if (v >= round_up_from) return channel_max;
  return static_cast<int>(v + 0.5);
}

int mix_channel(int a, int b, int shift, double wb, double wa) {
  const int ca = (a >> shift) & channel_mask;
  const int cb = (b >> shift) & channel_mask;
  return round_channel(ca * wa + cb * wb);
}

// The mix behind blend_rgb; the sampler calls it directly so that its three mixes inline.
inline int blend(int a, int b, double wb, double wa) {
  const int red = mix_channel(a, b, red_shift, wb, wa);
  const int green = mix_channel(a, b, green_shift, wb, wa);
  const int blue = mix_channel(a, b, 0, wb, wa);
  return red << red_shift | green << green_shift | blue;
}

}  // namespace

int blend_rgb(int a, int b, double wb, double wa) {
  return blend(a, b, wb, wa);
}

int sample_bilinear(int format, double x, double y) {
  const auto get_pixel = formats[format].get_pixel;
  const std::int32_t x0 = trunc_to_int32(x);
  const std::int32_t y0 = trunc_to_int32(y);
  const double fx = x - x0;
  const double fy = y - y0;
  const std::int32_t x1 = trunc_to_int32(x0 + 1.0);
  const std::int32_t y1 = trunc_to_int32(y0 + 1.0);

  // Fixed read order: the right column before the left, in each the lower row first.
  const int p11 = get_pixel(x1, y1, color_output);
  const int p10 = get_pixel(x1, y0, color_output);
  const int right = blend(p10, p11, fy, 1.0 - fy);
  const int p01 = get_pixel(x0, y1, color_output);
  const int p00 = get_pixel(x0, y0, color_output);
  const int left = blend(p00, p01, fy, 1.0 - fy);
  return blend(left, right, fx, 1.0 - fx);
}
