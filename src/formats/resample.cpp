// The resampler. Both axes are worked separably through one intermediate row: for each
// destination row the source rows under it are combined into a row of the source columns the
// region needs, then that row is combined into the destination columns.
//
// Shrinking axes use fixed-point area weights (the overlap of each source pixel with the
// destination pixel's footprint, in units of 1 / weight_one). The intermediate row keeps
// intermediate_bits of fraction, so two shrinking passes round only once at the end. Enlarging
// axes use the bilinear rule in double precision, each mix rounded half up as the view always
// has, with the last row and column repeated past the edge.
#include "formats/resample.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <vector>

namespace {

constexpr int weight_bits = 14;
constexpr std::int32_t weight_one = 1 << weight_bits;
constexpr int intermediate_bits = 8;  // fraction bits of the intermediate row
constexpr double intermediate_one = 1 << intermediate_bits;

// One destination pixel's taps along an axis: count source pixels from first, with their
// weights (shrinking) or the two bilinear weights (enlarging).
struct Taps {
  std::uint32_t first = 0;
  std::uint32_t count = 0;
  std::uint32_t weights = 0;  // index of the first weight in the axis' weight table
};

struct Axis {
  bool enlarging = false;
  std::vector<Taps> taps;
  std::vector<std::int32_t> weights;  // shrinking: fixed-point area weights
  std::vector<double> fractions;      // enlarging: the bilinear fraction of each pixel
  std::uint32_t low = 0;              // source pixels the region reaches: [low, high)
  std::uint32_t high = 0;
};

// Area weights of destination pixel i (of scaled, over source pixels): the overlap of source
// pixel k's [k, k + 1) with [i x step, (i + 1) x step), scaled so that they add up exactly to
// weight_one; the rounding remainder goes to the largest weight.
void area_taps(Axis& axis, std::uint64_t i, double step, std::uint32_t source) {
  const double begin = static_cast<double>(i) * step;
  const double end = std::min(begin + step, static_cast<double>(source));
  auto first = static_cast<std::uint32_t>(begin);
  auto last = static_cast<std::uint32_t>(std::ceil(end));
  first = std::min(first, source - 1);
  last = std::clamp(last, first + 1, source);
  Taps t{first, last - first, static_cast<std::uint32_t>(axis.weights.size())};
  std::int32_t total = 0;
  std::size_t largest = axis.weights.size();
  for (std::uint32_t k = first; k < last; ++k) {
    const double overlap = std::min(end, k + 1.0) - std::max(begin, static_cast<double>(k));
    const auto w = static_cast<std::int32_t>(std::lround(overlap / step * weight_one));
    if (axis.weights.size() == largest || w > axis.weights[largest]) largest = axis.weights.size();
    axis.weights.push_back(w);
    total += w;
  }
  axis.weights[largest] += weight_one - total;
  axis.taps.push_back(t);
}

// The view's bilinear position for destination pixel i: i x step, truncated, with the fraction
// left; the right-hand neighbour is the same pixel at the last column.
void bilinear_taps(Axis& axis, std::uint64_t i, double step, std::uint32_t source) {
  const double position = static_cast<double>(i) * step;
  const auto first = std::min(static_cast<std::uint32_t>(position), source - 1);
  const double fraction = position - first;
  axis.taps.push_back({first, first + 1 < source ? 2u : 1u, 0});
  axis.fractions.push_back(fraction);
}

Axis make_axis(std::uint32_t source, std::uint64_t scaled, std::uint64_t offset,
               std::uint32_t count) {
  Axis axis;
  axis.enlarging = scaled >= source;
  const double step = static_cast<double>(source) / static_cast<double>(scaled);
  axis.taps.reserve(count);
  for (std::uint32_t n = 0; n < count; ++n) {
    if (axis.enlarging) {
      bilinear_taps(axis, offset + n, step, source);
    } else {
      area_taps(axis, offset + n, step, source);
    }
  }
  axis.low = axis.taps.front().first;
  axis.high = axis.taps.back().first + axis.taps.back().count;
  return axis;
}

// One bilinear mix of two channel values, rounded half up: the view's rule.
inline int mix(double a, double b, double fraction) {
  return static_cast<int>(a * (1.0 - fraction) + b * fraction + 0.5);
}

// Combines the source rows under destination row n into the intermediate row (the columns
// [low, high) of the horizontal axis, scaled by intermediate_one).
void vertical_pass(const Image& source, const Axis& rows, std::uint32_t n, const Axis& columns,
                   std::uint16_t* out) {
  const Taps& t = rows.taps[n];
  const std::size_t begin = std::size_t{columns.low} * rgb_channels;
  const std::size_t length = std::size_t{columns.high - columns.low} * rgb_channels;
  if (rows.enlarging) {
    const std::uint8_t* top = source.row(t.first) + begin;
    const std::uint8_t* bottom = source.row(t.first + t.count - 1) + begin;
    const double fraction = rows.fractions[n];
    for (std::size_t c = 0; c < length; ++c) {
      out[c] = static_cast<std::uint16_t>(mix(top[c], bottom[c], fraction) << intermediate_bits);
    }
    return;
  }
  // Sums of weight_one x 255 fit 32 bits for any number of taps: the weights add up to one.
  static thread_local std::vector<std::uint32_t> sums;
  sums.assign(length, 0);
  const std::int32_t* w = rows.weights.data() + t.weights;
  for (std::uint32_t k = 0; k < t.count; ++k) {
    const std::uint8_t* in = source.row(t.first + k) + begin;
    const auto weight = static_cast<std::uint32_t>(w[k]);
    std::uint32_t* s = sums.data();
    for (std::size_t c = 0; c < length; ++c)
      s[c] += in[c] * weight;
  }
  constexpr int shift = weight_bits - intermediate_bits;
  constexpr std::uint32_t half = 1u << (shift - 1);
  for (std::size_t c = 0; c < length; ++c)
    out[c] = static_cast<std::uint16_t>((sums[c] + half) >> shift);
}

// Combines the intermediate row into one destination row.
void horizontal_pass(const std::uint16_t* in, const Axis& columns, std::uint8_t* out) {
  const std::size_t count = columns.taps.size();
  if (columns.enlarging) {
    constexpr double to_channel = 1.0 / intermediate_one;
    for (std::size_t n = 0; n < count; ++n, out += rgb_channels) {
      const Taps& t = columns.taps[n];
      const std::uint16_t* a = in + std::size_t{t.first - columns.low} * rgb_channels;
      const std::uint16_t* b = a + (t.count - 1) * rgb_channels;
      const double f = columns.fractions[n];
      for (std::size_t c = 0; c < rgb_channels; ++c)
        out[c] = static_cast<std::uint8_t>(mix(a[c] * to_channel, b[c] * to_channel, f));
    }
    return;
  }
  constexpr int shift = weight_bits + intermediate_bits;
  constexpr std::uint64_t half = std::uint64_t{1} << (shift - 1);
  for (std::size_t n = 0; n < count; ++n, out += rgb_channels) {
    const Taps& t = columns.taps[n];
    const std::uint16_t* p = in + std::size_t{t.first - columns.low} * rgb_channels;
    const std::int32_t* w = columns.weights.data() + t.weights;
    std::uint64_t r = half, g = half, b = half;
    for (std::uint32_t k = 0; k < t.count; ++k, p += rgb_channels) {
      const auto weight = static_cast<std::uint64_t>(w[k]);
      r += p[0] * weight;
      g += p[1] * weight;
      b += p[2] * weight;
    }
    out[0] = static_cast<std::uint8_t>(r >> shift);
    out[1] = static_cast<std::uint8_t>(g >> shift);
    out[2] = static_cast<std::uint8_t>(b >> shift);
  }
}

}  // namespace

std::unique_ptr<Image> resample(const Image& source, const ScaleRegion& region) {
  if (source.width == 0 || source.height == 0 || region.width == 0 || region.height == 0 ||
      region.x + region.width > region.scaled_width ||
      region.y + region.height > region.scaled_height) {
    return nullptr;
  }
  auto result = make_image(region.width, region.height);
  if (!result) return nullptr;
  if (region.scaled_width == source.width && region.scaled_height == source.height) {
    // At the image's own size every pixel is its own: the region is copied, which for an
    // animation playing at actual size is most of what a frame costs otherwise.
    const std::size_t bytes = std::size_t{region.width} * rgb_channels;
    for (std::uint32_t n = 0; n < region.height; ++n) {
      std::memcpy(result->row(n),
                  source.row(static_cast<std::uint32_t>(region.y) + n) + region.x * rgb_channels,
                  bytes);
    }
  } else {
    try {
      const Axis columns = make_axis(source.width, region.scaled_width, region.x, region.width);
      const Axis rows = make_axis(source.height, region.scaled_height, region.y, region.height);
      std::vector<std::uint16_t> line(std::size_t{columns.high - columns.low} * rgb_channels);
      for (std::uint32_t n = 0; n < region.height; ++n) {
        vertical_pass(source, rows, n, columns, line.data());
        horizontal_pass(line.data(), columns, result->row(n));
      }
    } catch (const std::bad_alloc&) {
      return nullptr;
    }
  }
  result->pages = source.pages;
  result->full_width = source.full_width;
  result->full_height = source.full_height;
  return result;
}

std::unique_ptr<Image> resample(const Image& source, std::uint32_t width, std::uint32_t height) {
  return resample(source, ScaleRegion{width, height, 0, 0, width, height});
}

std::unique_ptr<Image> turn_image(const Image& source, int quarter_turns) {
  const int turn = static_cast<int>(static_cast<unsigned>(quarter_turns) & 3u);
  const bool odd = turn & 1;
  auto result =
      odd ? make_image(source.height, source.width) : make_image(source.width, source.height);
  if (!result) return nullptr;
  result->pages = source.pages;
  result->full_width = odd ? source.full_height : source.full_width;
  result->full_height = odd ? source.full_width : source.full_height;
  const std::uint32_t w = source.width, h = source.height;
  if (turn == 0) {
    result->rgb = source.rgb;
    return result;
  }
  // Destination (x, y) of source (sx, sy) for a clockwise turn:
  //   1: (h - 1 - sy, sx)   2: (w - 1 - sx, h - 1 - sy)   3: (sy, w - 1 - sx)
  const std::uint32_t rw = result->width;
  for (std::uint32_t sy = 0; sy < h; ++sy) {
    const std::uint8_t* in = source.row(sy);
    for (std::uint32_t sx = 0; sx < w; ++sx, in += rgb_channels) {
      std::uint32_t x = 0, y = 0;
      switch (turn) {
        case 1:
          x = h - 1 - sy;
          y = sx;
          break;
        case 2:
          x = w - 1 - sx;
          y = h - 1 - sy;
          break;
        default:
          x = sy;
          y = w - 1 - sx;
          break;
      }
      std::memcpy(result->rgb.data() + (std::size_t{y} * rw + x) * rgb_channels, in, rgb_channels);
    }
  }
  return result;
}

void mirror_image(Image& image, bool left_right, bool top_bottom) {
  const std::uint32_t w = image.width, h = image.height;
  if (left_right && w > 0) {
    for (std::uint32_t y = 0; y < h; ++y) {
      std::uint8_t* row = image.row(y);
      for (std::uint32_t a = 0, b = w - 1; a < b; ++a, --b)
        std::swap_ranges(row + std::size_t{a} * rgb_channels,
                         row + std::size_t{a + 1} * rgb_channels,
                         row + std::size_t{b} * rgb_channels);
    }
  }
  if (top_bottom) {
    const std::size_t row_bytes = std::size_t{w} * rgb_channels;
    for (std::uint32_t a = 0, b = h - 1; h > 0 && a < b; ++a, --b)
      std::swap_ranges(image.row(a), image.row(a) + row_bytes, image.row(b));
  }
}
