// Tetrahedral interpolation, lcms2's own way for 8-bit pixels, without its unpacking and packing
// of each pixel, which costs more than the interpolation. Where the processor has AVX-512 or
// AVX2, sixteen or eight pixels a step: the corners of each pixel's tetrahedron come by gathers,
// one word a corner, and the tetrahedron is chosen by comparisons rather than branches, which
// the noise of a photo makes unpredictable. Every path computes the same integers, so a pixel
// comes out the same whichever path it takes.
#include "formats/lattice.h"

#include <algorithm>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#define PICTRA_X86 1
#define PICTRA_AVX2 __attribute__((target("avx2")))
#define PICTRA_AVX512 __attribute__((target("avx512f,avx512bw")))
#endif

namespace colour {

namespace {

// Lattice points a channel: as many as lcms2 itself takes for 8-bit RGB and CMYK.
constexpr int rgb_points = 33;
constexpr int cmyk_points = 17;
constexpr int weight_one = 256;
constexpr int weight_bits = 8;
// A point's channels: quarter levels in 10 bits; a quarter level keeps the points' own
// rounding an eighth of a level at most, far below the pixel's.
constexpr int quarter_levels = 1020;
constexpr std::uint32_t channel_mask = 0x3ff;
constexpr int red_shift = 20;
constexpr int green_shift = 10;
// Sums over a tetrahedron's corners are in 1024ths of a level: quarter levels times 256ths.
constexpr int sum_bits = 10;
constexpr std::size_t group = 8;  // pixels a vector step

// An input level's place along its channel in 256ths of a cell, level x cells / 255, the
// division done as a multiply by 257 / 65536 so that the vector path can do it too; that is
// within an eighth of a 256th of the exact place, and exact at both ends.
constexpr int place_factor(int cells) {
  return cells * weight_one * 257;
}
constexpr int place_of(int level, int cells) {
  return (level * place_factor(cells) + (1 << 15)) >> 16;
}

struct Sums {
  std::int32_t rgb[3] = {};
};

// The sums at the cell whose first corner is p0, fractions f1 to f3 along the channels with
// strides s1 to s3. The tetrahedron runs from p0 to the far corner along the channels in order
// of their fractions, largest first; on a tie either order gives the corner between a weight 0.
inline Sums tetrahedral(const std::uint32_t* p0, std::size_t s1, std::size_t s2, std::size_t s3,
                        int f1, int f2, int f3) {
  const int hi = std::max({f1, f2, f3});
  const int lo = std::min({f1, f2, f3});
  const int mid = f1 + f2 + f3 - hi - lo;
  const std::size_t all = s1 + s2 + s3;
  const std::size_t first = f1 == hi ? s1 : f2 == hi ? s2 : s3;
  const std::size_t last = f3 == lo ? s3 : f2 == lo ? s2 : s1;
  const std::uint32_t corner[4] = {p0[0], p0[first], p0[all - last], p0[all]};
  const int w[4] = {weight_one - hi, hi - mid, mid - lo, lo};
  Sums s;
  for (int c = 0; c < 3; ++c) {
    const int shift = red_shift - c * (red_shift - green_shift);
    for (int k = 0; k < 4; ++k)
      s.rgb[c] += static_cast<std::int32_t>((corner[k] >> shift) & channel_mask) * w[k];
  }
  return s;
}

inline std::uint8_t level_of(std::int32_t sum) {
  return static_cast<std::uint8_t>((sum + (1 << (sum_bits - 1))) >> sum_bits);
}

// CMYK: the tetrahedra over magenta, yellow and black at the two cyan levels around the pixel's,
// and between them by its cyan, as lcms2 interpolates four inputs.
inline std::uint8_t between(std::int32_t below, std::int32_t above, std::int32_t f) {
  constexpr int shift = sum_bits + weight_bits;
  return static_cast<std::uint8_t>((below * (weight_one - f) + above * f + (1 << (shift - 1))) >>
                                   shift);
}

void apply_scalar(const Lattice& l, const std::uint8_t* in, std::uint8_t* out, std::size_t pixels) {
  const auto points = static_cast<std::size_t>(l.cells + 1);
  const std::uint32_t* nodes = l.nodes.data();
  if (l.inputs == 3) {
    const std::size_t s2 = points, s1 = points * s2;
    for (std::size_t i = 0; i < pixels; ++i, in += 3, out += rgb_channels) {
      const std::uint8_t r = in[0], g = in[1], b = in[2];
      const Sums s = tetrahedral(nodes + l.cell[r] * s1 + l.cell[g] * s2 + l.cell[b], s1, s2, 1,
                                 l.weight[r], l.weight[g], l.weight[b]);
      for (int c = 0; c < 3; ++c)
        out[c] = level_of(s.rgb[c]);
    }
    return;
  }
  const std::size_t s_m = points, s_y = points * s_m, s_k = points * s_y;
  for (std::size_t i = 0; i < pixels; ++i, in += 4, out += rgb_channels) {
    const std::uint8_t c = in[0], m = in[1], y = in[2], k = in[3];
    const std::uint32_t* p0 =
        nodes + l.cell[c] + l.cell[m] * s_m + l.cell[y] * s_y + l.cell[k] * s_k;
    const Sums below = tetrahedral(p0, s_m, s_y, s_k, l.weight[m], l.weight[y], l.weight[k]);
    const Sums above = tetrahedral(p0 + 1, s_m, s_y, s_k, l.weight[m], l.weight[y], l.weight[k]);
    for (int ch = 0; ch < 3; ++ch)
      out[ch] = between(below.rgb[ch], above.rgb[ch], l.weight[c]);
  }
}

#ifdef PICTRA_X86

bool has_avx2() {
  static const bool yes = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
  }();
  return yes;
}

bool has_avx512() {
  static const bool yes = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f") != 0 && __builtin_cpu_supports("avx512bw") != 0;
  }();
  return yes;
}

PICTRA_AVX2 inline __m256i splat(int v) {
  return _mm256_set1_epi32(v);
}

// Eight levels' cells, and their places in them into weight; as place_of.
PICTRA_AVX2 inline __m256i cell_of(__m256i level, int cells, __m256i& weight) {
  const __m256i place = _mm256_srli_epi32(
      _mm256_add_epi32(_mm256_mullo_epi32(level, splat(place_factor(cells))), splat(1 << 15)), 16);
  const __m256i cell = _mm256_min_epi32(_mm256_srli_epi32(place, weight_bits), splat(cells - 1));
  weight = _mm256_sub_epi32(place, _mm256_slli_epi32(cell, weight_bits));
  return cell;
}

// A tetrahedron for each of eight pixels: its corners' points and their weights.
struct Tetrahedra {
  __m256i point[4];
  __m256i weight[4];
};

// As tetrahedral, for eight pixels whose first corners are the points i0.
PICTRA_AVX2 inline Tetrahedra tetrahedra(__m256i i0, int s1, int s2, int s3, __m256i f1, __m256i f2,
                                         __m256i f3) {
  const __m256i hi = _mm256_max_epi32(_mm256_max_epi32(f1, f2), f3);
  const __m256i lo = _mm256_min_epi32(_mm256_min_epi32(f1, f2), f3);
  const __m256i mid =
      _mm256_sub_epi32(_mm256_sub_epi32(_mm256_add_epi32(_mm256_add_epi32(f1, f2), f3), hi), lo);
  const __m256i all = splat(s1 + s2 + s3);
  __m256i first = _mm256_blendv_epi8(splat(s3), splat(s2), _mm256_cmpeq_epi32(f2, hi));
  first = _mm256_blendv_epi8(first, splat(s1), _mm256_cmpeq_epi32(f1, hi));
  __m256i last = _mm256_blendv_epi8(splat(s1), splat(s2), _mm256_cmpeq_epi32(f2, lo));
  last = _mm256_blendv_epi8(last, splat(s3), _mm256_cmpeq_epi32(f3, lo));
  return {{i0, _mm256_add_epi32(i0, first), _mm256_add_epi32(i0, _mm256_sub_epi32(all, last)),
           _mm256_add_epi32(i0, all)},
          {_mm256_sub_epi32(splat(weight_one), hi), _mm256_sub_epi32(hi, mid),
           _mm256_sub_epi32(mid, lo), lo}};
}

// The channel at shift of corners a and b, a's in the low half of each word and b's in the
// high, for a multiply-add of 16-bit pairs: half the multiplies, and cheaper ones.
template <int shift>
PICTRA_AVX2 inline __m256i pair(__m256i a, __m256i b) {
  const __m256i high =
      shift <= 16 ? _mm256_slli_epi32(b, 16 - shift) : _mm256_srli_epi32(b, shift - 16);
  return _mm256_and_si256(_mm256_blend_epi16(_mm256_srli_epi32(a, shift), high, 0xaa),
                          splat(channel_mask * 0x10001));
}

template <int shift>
PICTRA_AVX2 inline __m256i channel_sum(const __m256i corner[4], __m256i w01, __m256i w23) {
  return _mm256_add_epi32(_mm256_madd_epi16(pair<shift>(corner[0], corner[1]), w01),
                          _mm256_madd_epi16(pair<shift>(corner[2], corner[3]), w23));
}

struct Sums8 {
  __m256i rgb[3];
};

// The weights of corners 0 and 1, and of 2 and 3, paired as pair pairs their channels.
struct PairedWeights {
  __m256i w01, w23;
};
PICTRA_AVX2 inline PairedWeights paired(const __m256i w[4]) {
  return {_mm256_or_si256(w[0], _mm256_slli_epi32(w[1], 16)),
          _mm256_or_si256(w[2], _mm256_slli_epi32(w[3], 16))};
}

PICTRA_AVX2 inline Sums8 sums(const __m256i corner[4], PairedWeights w) {
  return {{channel_sum<red_shift>(corner, w.w01, w.w23),
           channel_sum<green_shift>(corner, w.w01, w.w23), channel_sum<0>(corner, w.w01, w.w23)}};
}

// Eight pixels' levels, one a word, written as 24 bytes of RGB.
PICTRA_AVX2 inline void store_rgb(std::uint8_t* out, __m256i r, __m256i g, __m256i b) {
  const __m256i words =
      _mm256_or_si256(_mm256_or_si256(r, _mm256_slli_epi32(g, 8)), _mm256_slli_epi32(b, 16));
  const __m256i pack = _mm256_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1, 0,
                                        1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
  const __m256i packed = _mm256_shuffle_epi8(words, pack);
  // Twelve bytes a half, exactly: the bytes beyond may be the next pixels' input.
  for (int half = 0; half < 2; ++half) {
    const __m128i v = half ? _mm256_extracti128_si256(packed, 1) : _mm256_castsi256_si128(packed);
    const std::uint64_t low = static_cast<std::uint64_t>(_mm_cvtsi128_si64(v));
    const auto high = static_cast<std::uint32_t>(_mm_extract_epi32(v, 2));
    std::memcpy(out + 12 * half, &low, sizeof low);
    std::memcpy(out + 12 * half + sizeof low, &high, sizeof high);
  }
}

PICTRA_AVX2 inline __m256i level8(__m256i sum) {
  return _mm256_srli_epi32(_mm256_add_epi32(sum, splat(1 << (sum_bits - 1))), sum_bits);
}

// The bytes of each half's four pixels that hold channel c, each into a word.
PICTRA_AVX2 inline __m256i channel_bytes(int c) {
  const auto b = [c](int pixel) { return static_cast<char>(3 * pixel + c); };
  constexpr char none = -1;
  return _mm256_setr_epi8(b(0), none, none, none, b(1), none, none, none, b(2), none, none, none,
                          b(3), none, none, none, b(0), none, none, none, b(1), none, none, none,
                          b(2), none, none, none, b(3), none, none, none);
}

// The pixels of the whole groups that can be read safely, converted; returns how many.
PICTRA_AVX2 std::size_t apply_rgb8(const Lattice& l, const std::uint8_t* in, std::uint8_t* out,
                                   std::size_t pixels) {
  // Each half of a group loads 16 bytes from its first pixel: 28 bytes for the 24 of a group.
  constexpr std::size_t read_beyond = 2;
  const int s2 = l.cells + 1, s1 = s2 * s2;
  const __m256i masks[3] = {channel_bytes(0), channel_bytes(1), channel_bytes(2)};
  std::size_t done = 0;
  for (; pixels - done >= group + read_beyond; done += group, in += 24, out += 24) {
    const __m128i first = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
    const __m128i second = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 12));
    const __m256i bytes = _mm256_inserti128_si256(_mm256_castsi128_si256(first), second, 1);
    __m256i f[3], cell[3];
    for (int c = 0; c < 3; ++c)
      cell[c] = cell_of(_mm256_shuffle_epi8(bytes, masks[c]), l.cells, f[c]);
    const __m256i i0 = _mm256_add_epi32(_mm256_add_epi32(_mm256_mullo_epi32(cell[0], splat(s1)),
                                                         _mm256_mullo_epi32(cell[1], splat(s2))),
                                        cell[2]);
    const Tetrahedra t = tetrahedra(i0, s1, s2, 1, f[0], f[1], f[2]);
    const auto* base = reinterpret_cast<const int*>(l.nodes.data());
    __m256i corner[4];
    for (int k = 0; k < 4; ++k)
      corner[k] = _mm256_i32gather_epi32(base, t.point[k], 4);
    const Sums8 s = sums(corner, paired(t.weight));
    store_rgb(out, level8(s.rgb[0]), level8(s.rgb[1]), level8(s.rgb[2]));
  }
  return done;
}

// The corners at points and the next cyan level's, which lies next to each in memory: one
// 8-byte fetch for both.
PICTRA_AVX2 inline void fetch_pairs(const std::uint32_t* nodes, __m256i points, __m256i& below,
                                    __m256i& above) {
  const auto* base = reinterpret_cast<const long long*>(nodes);
  // Gathered as pixels 0, 1, 4, 5 and 2, 3, 6, 7, which the shuffles below put back in order.
  const __m256i order =
      _mm256_permutevar8x32_epi32(points, _mm256_setr_epi32(0, 1, 4, 5, 2, 3, 6, 7));
  const __m256 a =
      _mm256_castsi256_ps(_mm256_i32gather_epi64(base, _mm256_castsi256_si128(order), 4));
  const __m256 b =
      _mm256_castsi256_ps(_mm256_i32gather_epi64(base, _mm256_extracti128_si256(order, 1), 4));
  below = _mm256_castps_si256(_mm256_shuffle_ps(a, b, 0x88));
  above = _mm256_castps_si256(_mm256_shuffle_ps(a, b, 0xdd));
}

PICTRA_AVX2 std::size_t apply_cmyk8(const Lattice& l, const std::uint8_t* in, std::uint8_t* out,
                                    std::size_t pixels) {
  const int s_m = l.cells + 1, s_y = s_m * s_m, s_k = s_y * s_m;
  const __m256i invert = splat(l.inverted ? -1 : 0);
  const __m256i byte = splat(0xff);
  std::size_t done = 0;
  for (; pixels - done >= group; done += group, in += 4 * group, out += 24) {
    const __m256i inks =
        _mm256_xor_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(in)), invert);
    __m256i f[4], cell[4];
    for (int c = 0; c < 4; ++c) {
      const __m256i level = _mm256_and_si256(_mm256_srlv_epi32(inks, splat(8 * c)), byte);
      cell[c] = cell_of(level, l.cells, f[c]);
    }
    const __m256i i0 =
        _mm256_add_epi32(_mm256_add_epi32(cell[0], _mm256_mullo_epi32(cell[1], splat(s_m))),
                         _mm256_add_epi32(_mm256_mullo_epi32(cell[2], splat(s_y)),
                                          _mm256_mullo_epi32(cell[3], splat(s_k))));
    const Tetrahedra t = tetrahedra(i0, s_m, s_y, s_k, f[1], f[2], f[3]);
    __m256i lower[4], upper[4];
    for (int k = 0; k < 4; ++k)
      fetch_pairs(l.nodes.data(), t.point[k], lower[k], upper[k]);
    const PairedWeights w = paired(t.weight);
    const Sums8 below = sums(lower, w);
    const Sums8 above = sums(upper, w);
    constexpr int shift = sum_bits + weight_bits;
    const __m256i rest = _mm256_sub_epi32(splat(weight_one), f[0]);
    __m256i rgb[3];
    for (int ch = 0; ch < 3; ++ch) {
      const __m256i sum = _mm256_add_epi32(_mm256_mullo_epi32(below.rgb[ch], rest),
                                           _mm256_mullo_epi32(above.rgb[ch], f[0]));
      rgb[ch] = _mm256_srli_epi32(_mm256_add_epi32(sum, splat(1 << (shift - 1))), shift);
    }
    store_rgb(out, rgb[0], rgb[1], rgb[2]);
  }
  return done;
}

// GCC 12's AVX-512 intrinsics start some results from a deliberately undefined value, which
// its own warnings then report where they are inlined.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

// The same for sixteen pixels a step with AVX-512, where the processor has it: half the
// instructions, registers enough to keep every value in one, and gathers of 8-byte pairs that
// cost half as much a byte.

PICTRA_AVX512 inline __m512i splat16(int v) {
  return _mm512_set1_epi32(v);
}

PICTRA_AVX512 inline __m512i cell_of16(__m512i level, int cells, __m512i& weight) {
  const __m512i place = _mm512_srli_epi32(
      _mm512_add_epi32(_mm512_mullo_epi32(level, splat16(place_factor(cells))), splat16(1 << 15)),
      16);
  const __m512i cell = _mm512_min_epi32(_mm512_srli_epi32(place, weight_bits), splat16(cells - 1));
  weight = _mm512_sub_epi32(place, _mm512_slli_epi32(cell, weight_bits));
  return cell;
}

struct Tetrahedra16 {
  __m512i point[4];
  __m512i weight[4];
};

PICTRA_AVX512 inline Tetrahedra16 tetrahedra16(__m512i i0, int s1, int s2, int s3, __m512i f1,
                                               __m512i f2, __m512i f3) {
  const __m512i hi = _mm512_max_epi32(_mm512_max_epi32(f1, f2), f3);
  const __m512i lo = _mm512_min_epi32(_mm512_min_epi32(f1, f2), f3);
  const __m512i mid =
      _mm512_sub_epi32(_mm512_sub_epi32(_mm512_add_epi32(_mm512_add_epi32(f1, f2), f3), hi), lo);
  const __m512i all = splat16(s1 + s2 + s3);
  __m512i first =
      _mm512_mask_blend_epi32(_mm512_cmpeq_epi32_mask(f2, hi), splat16(s3), splat16(s2));
  first = _mm512_mask_blend_epi32(_mm512_cmpeq_epi32_mask(f1, hi), first, splat16(s1));
  __m512i last = _mm512_mask_blend_epi32(_mm512_cmpeq_epi32_mask(f2, lo), splat16(s1), splat16(s2));
  last = _mm512_mask_blend_epi32(_mm512_cmpeq_epi32_mask(f3, lo), last, splat16(s3));
  return {{i0, _mm512_add_epi32(i0, first), _mm512_add_epi32(i0, _mm512_sub_epi32(all, last)),
           _mm512_add_epi32(i0, all)},
          {_mm512_sub_epi32(splat16(weight_one), hi), _mm512_sub_epi32(hi, mid),
           _mm512_sub_epi32(mid, lo), lo}};
}

template <int shift>
PICTRA_AVX512 inline __m512i pair16(__m512i a, __m512i b) {
  const __m512i high =
      shift <= 16 ? _mm512_slli_epi32(b, 16 - shift) : _mm512_srli_epi32(b, shift - 16);
  return _mm512_and_si512(_mm512_mask_blend_epi16(0xaaaaaaaa, _mm512_srli_epi32(a, shift), high),
                          splat16(channel_mask * 0x10001));
}

struct Sums16 {
  __m512i rgb[3];
};

template <int shift>
PICTRA_AVX512 inline __m512i channel_sum16(const __m512i corner[4], __m512i w01, __m512i w23) {
  return _mm512_add_epi32(_mm512_madd_epi16(pair16<shift>(corner[0], corner[1]), w01),
                          _mm512_madd_epi16(pair16<shift>(corner[2], corner[3]), w23));
}

PICTRA_AVX512 inline Sums16 sums16(const __m512i corner[4], const __m512i w[4]) {
  const __m512i w01 = _mm512_or_si512(w[0], _mm512_slli_epi32(w[1], 16));
  const __m512i w23 = _mm512_or_si512(w[2], _mm512_slli_epi32(w[3], 16));
  return {{channel_sum16<red_shift>(corner, w01, w23), channel_sum16<green_shift>(corner, w01, w23),
           channel_sum16<0>(corner, w01, w23)}};
}

PICTRA_AVX512 inline __m512i level16(__m512i sum) {
  return _mm512_srli_epi32(_mm512_add_epi32(sum, splat16(1 << (sum_bits - 1))), sum_bits);
}

// Sixteen pixels' levels, one a word, written as 48 bytes of RGB and not a byte more.
PICTRA_AVX512 inline void store_rgb16(std::uint8_t* out, __m512i r, __m512i g, __m512i b) {
  const __m512i words =
      _mm512_or_si512(_mm512_or_si512(r, _mm512_slli_epi32(g, 8)), _mm512_slli_epi32(b, 16));
  const __m512i pack =
      _mm512_broadcast_i32x4(_mm_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1));
  const __m512i packed = _mm512_shuffle_epi8(words, pack);
  const __m512i joined = _mm512_permutexvar_epi32(
      _mm512_setr_epi32(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, 0, 0, 0, 0), packed);
  _mm512_mask_storeu_epi32(out, 0x0fff, joined);
}

PICTRA_AVX512 std::size_t apply_rgb16(const Lattice& l, const std::uint8_t* in, std::uint8_t* out,
                                      std::size_t pixels) {
  const int s2 = l.cells + 1, s1 = s2 * s2;
  // Each 16-byte lane gets four pixels' twelve bytes, and each channel's byte goes to a word.
  const __m512i spread = _mm512_setr_epi32(0, 1, 2, 0, 3, 4, 5, 0, 6, 7, 8, 0, 9, 10, 11, 0);
  __m512i masks[3];
  for (int c = 0; c < 3; ++c)
    masks[c] = _mm512_broadcast_i32x4(_mm256_castsi256_si128(channel_bytes(c)));
  const auto* base = reinterpret_cast<const int*>(l.nodes.data());
  std::size_t done = 0;
  for (; pixels - done >= 2 * group; done += 2 * group, in += 48, out += 48) {
    const __m512i bytes = _mm512_permutexvar_epi32(spread, _mm512_maskz_loadu_epi32(0x0fff, in));
    __m512i f[3], cell[3];
    for (int c = 0; c < 3; ++c)
      cell[c] = cell_of16(_mm512_shuffle_epi8(bytes, masks[c]), l.cells, f[c]);
    const __m512i i0 = _mm512_add_epi32(_mm512_add_epi32(_mm512_mullo_epi32(cell[0], splat16(s1)),
                                                         _mm512_mullo_epi32(cell[1], splat16(s2))),
                                        cell[2]);
    const Tetrahedra16 t = tetrahedra16(i0, s1, s2, 1, f[0], f[1], f[2]);
    __m512i corner[4];
    for (int k = 0; k < 4; ++k)
      corner[k] = _mm512_i32gather_epi32(t.point[k], base, 4);
    const Sums16 s = sums16(corner, t.weight);
    store_rgb16(out, level16(s.rgb[0]), level16(s.rgb[1]), level16(s.rgb[2]));
  }
  return done;
}

PICTRA_AVX512 std::size_t apply_cmyk16(const Lattice& l, const std::uint8_t* in, std::uint8_t* out,
                                       std::size_t pixels) {
  const int s_m = l.cells + 1, s_y = s_m * s_m, s_k = s_y * s_m;
  const __m512i invert = splat16(l.inverted ? -1 : 0);
  const __m512i byte = splat16(0xff);
  const __m512i even = _mm512_setr_epi32(0, 2, 4, 6, 8, 10, 12, 14, 16, 18, 20, 22, 24, 26, 28, 30);
  const __m512i odd = _mm512_add_epi32(even, splat16(1));
  const auto* base = reinterpret_cast<const long long*>(l.nodes.data());
  std::size_t done = 0;
  for (; pixels - done >= 2 * group; done += 2 * group, in += 8 * group, out += 48) {
    const __m512i inks = _mm512_xor_si512(_mm512_loadu_si512(in), invert);
    __m512i f[4], cell[4];
    for (int c = 0; c < 4; ++c) {
      const __m512i level = _mm512_and_si512(_mm512_srlv_epi32(inks, splat16(8 * c)), byte);
      cell[c] = cell_of16(level, l.cells, f[c]);
    }
    const __m512i i0 =
        _mm512_add_epi32(_mm512_add_epi32(cell[0], _mm512_mullo_epi32(cell[1], splat16(s_m))),
                         _mm512_add_epi32(_mm512_mullo_epi32(cell[2], splat16(s_y)),
                                          _mm512_mullo_epi32(cell[3], splat16(s_k))));
    const Tetrahedra16 t = tetrahedra16(i0, s_m, s_y, s_k, f[1], f[2], f[3]);
    __m512i lower[4], upper[4];
    for (int k = 0; k < 4; ++k) {
      // A point and the next cyan level's, eight pixels a gather, then parted.
      const __m512i a = _mm512_i32gather_epi64(_mm512_castsi512_si256(t.point[k]), base, 4);
      const __m512i b = _mm512_i32gather_epi64(_mm512_extracti64x4_epi64(t.point[k], 1), base, 4);
      lower[k] = _mm512_permutex2var_epi32(a, even, b);
      upper[k] = _mm512_permutex2var_epi32(a, odd, b);
    }
    const Sums16 below = sums16(lower, t.weight);
    const Sums16 above = sums16(upper, t.weight);
    constexpr int shift = sum_bits + weight_bits;
    const __m512i rest = _mm512_sub_epi32(splat16(weight_one), f[0]);
    __m512i rgb[3];
    for (int ch = 0; ch < 3; ++ch) {
      const __m512i sum = _mm512_add_epi32(_mm512_mullo_epi32(below.rgb[ch], rest),
                                           _mm512_mullo_epi32(above.rgb[ch], f[0]));
      rgb[ch] = _mm512_srli_epi32(_mm512_add_epi32(sum, splat16(1 << (shift - 1))), shift);
    }
    store_rgb16(out, rgb[0], rgb[1], rgb[2]);
  }
  return done;
}

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

#endif

}  // namespace

std::unique_ptr<const Lattice> make_lattice(cmsHPROFILE source, cmsHPROFILE target, Input input) {
  const bool cmyk = input != Input::rgb;
  cmsHTRANSFORM sampler =
      cmsCreateTransform(source, cmyk ? TYPE_CMYK_16 : TYPE_RGB_16, target, TYPE_RGB_16,
                         INTENT_PERCEPTUAL, cmsFLAGS_NOCACHE | cmsFLAGS_NOOPTIMIZE);
  if (!sampler) return nullptr;
  auto lattice = std::make_unique<Lattice>();
  lattice->inputs = cmyk ? 4 : 3;
  lattice->cells = (cmyk ? cmyk_points : rgb_points) - 1;
  lattice->inverted = input == Input::cmyk_inverted;
  const int cells = lattice->cells;
  for (int v = 0; v < 256; ++v) {
    const int place = place_of(lattice->inverted ? 255 - v : v, cells);
    const int cell = std::min(place >> weight_bits, cells - 1);
    lattice->cell[v] = static_cast<std::uint8_t>(cell);
    lattice->weight[v] = static_cast<std::uint16_t>(place - cell * weight_one);
  }
  const auto points = static_cast<std::size_t>(cells + 1);
  std::size_t count = 1;
  for (int i = 0; i < lattice->inputs; ++i)
    count *= points;
  const auto inputs = static_cast<std::size_t>(lattice->inputs);
  std::vector<std::uint16_t> in(count * inputs);
  for (std::size_t n = 0; n < count; ++n) {
    std::size_t rest = n;
    for (std::size_t j = 0; j < inputs; ++j, rest /= points) {
      const std::size_t i = cmyk ? j : inputs - 1 - j;
      const auto index = static_cast<int>(rest % points);
      in[n * inputs + i] = static_cast<std::uint16_t>((index * 65535 + cells / 2) / cells);
    }
  }
  std::vector<std::uint16_t> out(count * rgb_channels);
  cmsDoTransform(sampler, in.data(), out.data(), static_cast<cmsUInt32Number>(count));
  cmsDeleteTransform(sampler);
  lattice->nodes.resize(count);
  for (std::size_t n = 0; n < count; ++n) {
    std::uint32_t word = 0;
    for (std::size_t c = 0; c < rgb_channels; ++c)
      word = word << (red_shift - green_shift) |
             (out[n * rgb_channels + c] * std::uint32_t{quarter_levels} + 32767) / 65535;
    lattice->nodes[n] = word;
  }
  return lattice;
}

void apply_lattice(const Lattice& lattice, const std::uint8_t* in, std::uint8_t* out,
                   std::size_t pixels) {
  std::size_t done = 0;
  const auto inputs = static_cast<std::size_t>(lattice.inputs);
#ifdef PICTRA_X86
  if (has_avx512())
    done = inputs == 3 ? apply_rgb16(lattice, in, out, pixels)
                       : apply_cmyk16(lattice, in, out, pixels);
  if (has_avx2())
    done +=
        inputs == 3
            ? apply_rgb8(lattice, in + done * inputs, out + done * rgb_channels, pixels - done)
            : apply_cmyk8(lattice, in + done * inputs, out + done * rgb_channels, pixels - done);
#endif
  apply_scalar(lattice, in + done * inputs, out + done * rgb_channels, pixels - done);
}

}  // namespace colour
