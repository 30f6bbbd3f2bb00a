// Colour management through lcms2. A transform is built on the worker that first meets a
// description and kept, immutable, in a cache that a mutex guards; lcms2 runs a transform made
// with cmsFLAGS_NOCACHE from several threads at once. The display's profile is set before any
// worker starts and only read afterwards.
#include "formats/colour.h"

#include "formats/lattice.h"

#include <lcms2.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace colour {

// Between two matrix-shaper profiles, the usual case (camera and phone spaces, screens), the
// conversion is curves, a 3 x 3 matrix and curves, as lcms2 itself evaluates it; lcms2 spends
// about 8 ns a pixel on its general 8-bit path, the tables below under 2. Every other pair of
// RGB or CMYK profiles is interpolated on a lattice (lattice.h); grey goes by a table of levels.
struct Shaper {
  static constexpr int linear_bits = 14;  // of the linear values between the matrix and curves
  static constexpr std::int32_t linear_one = 1 << linear_bits;
  // Each input value's share of the three linear outputs, its curve and matrix column applied,
  // is one table entry: three lanes of 21 bits, each share raised by lane_bias so that the three
  // entries of a pixel add up in one 64-bit sum without a lane carrying into the next.
  static constexpr int lane_bits = 21;
  static constexpr std::uint64_t lane_mask = (std::uint64_t{1} << lane_bits) - 1;
  static constexpr std::int64_t lane_bias = std::int64_t{1} << 16;
  static constexpr double max_gain = 3.5;  // matrix entries beyond it leave the bias behind
  std::uint64_t shares[3][256];
  std::uint8_t output[3][linear_one + 1];  // each linear channel encoded for the display
  bool one_output = false;                 // the three tables are the same: one stays in the cache
};

// A grey profile's pair: the display's colour of each grey level, sampled through lcms2. Readers
// hand grey pixels over with their three channels alike; pixels with colour in them are not what
// a grey profile describes, and stay as stored.
struct GreyLevels {
  std::uint8_t rgb[256][3];
};

class Transform {
 public:
  Transform(cmsHTRANSFORM handle, std::unique_ptr<const Shaper> shaper,
            std::unique_ptr<const Lattice> lattice, std::unique_ptr<const GreyLevels> grey = {})
      : handle_(handle),
        shaper_(std::move(shaper)),
        lattice_(std::move(lattice)),
        grey_(std::move(grey)) {}
  Transform(const Transform&) = delete;
  Transform& operator=(const Transform&) = delete;
  ~Transform() { cmsDeleteTransform(handle_); }
  cmsHTRANSFORM handle() const { return handle_; }
  const Shaper* shaper() const { return shaper_.get(); }
  const Lattice* lattice() const { return lattice_.get(); }
  const GreyLevels* grey() const { return grey_.get(); }

 private:
  cmsHTRANSFORM handle_;
  std::unique_ptr<const Shaper> shaper_;
  std::unique_ptr<const Lattice> lattice_;
  std::unique_ptr<const GreyLevels> grey_;
};

namespace {

using Transfer = ColourDescription::Transfer;

// sRGB's primaries and white point, which a description without its own keeps.
constexpr std::array<double, 8> srgb_primaries = {0.64, 0.33, 0.30,   0.60,
                                                  0.15, 0.06, 0.3127, 0.3290};
// The curves as lcms2's parametric type 4: Y = (aX + b)^g above d, cX below.
constexpr double srgb_curve[] = {2.4, 1 / 1.055, 0.055 / 1.055, 1 / 12.92, 0.04045};
constexpr double bt709_curve[] = {1 / 0.45, 1 / 1.099, 0.099 / 1.099, 1 / 4.5, 0.081};
constexpr int curve_type_4 = 4;
// The most descriptions kept; a folder of files from many devices stays far below it, and the
// fuzzer, whose every input is a new one, does not grow the cache without end.
constexpr std::size_t cache_limit = 64;
// Levels per channel of the colours tried on a new transform, to tell whether it changes
// anything; a channel that moves by at most one level counts as unchanged.
constexpr int probe_levels = 9;
constexpr int probe_step = 255 / (probe_levels - 1);
constexpr int unchanged_within = 1;
constexpr std::size_t max_chunk = std::size_t{1} << 20;  // pixels per lcms2 call

std::vector<std::uint8_t> display_icc;  // written before the workers start, then only read

struct Cache {
  std::mutex mutex;
  std::map<std::string, std::shared_ptr<const Transform>> transforms;  // null: none needed
};
Cache& cache() {
  static Cache instance;
  return instance;
}

struct Profile {
  cmsHPROFILE handle = nullptr;
  explicit Profile(cmsHPROFILE h) : handle(h) {}
  Profile(const Profile&) = delete;
  Profile& operator=(const Profile&) = delete;
  ~Profile() {
    if (handle) cmsCloseProfile(handle);
  }
};

// High dynamic range, shown on a screen of ordinary range: the reference white of either curve
// (203 cd/m2, where BT.2408 puts a graphics white) stands for the screen's white. Light up to
// 3/4 of it is shown as it is; above, highlights roll off towards the screen's white rather
// than clip, so that they keep their shape, and the curve's own peak is white (reference white
// itself comes to about 7/8).
constexpr double reference_white = 203;  // cd/m2
constexpr double knee = 0.75;

// x in reference whites; the brightest the curve can carry, peak, comes to the screen's white.
double roll_off(double x, double peak) {
  if (x <= knee) return x;
  const double t = (x - knee) / (1 - knee), top = (peak - knee) / (1 - knee);
  // Reinhard's curve stretched to reach 1 at the top: slope 1 at the knee, rising to the end.
  return std::min(knee + (1 - knee) * t * (1 + t / (top * top)) / (1 + t), 1.0);
}

// SMPTE ST 2084: the signal to cd/m2, up to 10,000.
double pq_light(double signal) {
  constexpr double m1 = 2610.0 / 16384, m2 = 2523.0 / 4096 * 128;
  constexpr double c1 = 3424.0 / 4096, c2 = 2413.0 / 4096 * 32, c3 = 2392.0 / 4096 * 32;
  const double p = std::pow(signal, 1 / m2);
  return 10000 * std::pow(std::max(p - c1, 0.0) / (c2 - c3 * p), 1 / m1);
}

// ARIB STD-B67 (BT.2100 HLG): the signal to scene light, then the display's system gamma of
// 1.2 for its nominal 1,000 cd/m2 peak. The standard applies that gamma to luminance; here it
// goes channel by channel, the same for greys and a little more saturated for colours, so that
// the whole stays a curve on each channel.
double hlg_light(double signal) {
  constexpr double a = 0.17883277, b = 0.28466892, c = 0.55991073;
  constexpr double peak = 1000, system_gamma = 1.2;
  const double scene = signal <= 0.5 ? signal * signal / 3 : (std::exp((signal - c) / a) + b) / 12;
  return peak * std::pow(scene, system_gamma);
}

cmsToneCurve* high_range_curve(double (*light)(double)) {
  const double peak = light(1) / reference_white;
  constexpr int entries = 4096;
  std::vector<float> values(entries);
  for (int i = 0; i < entries; ++i)
    values[i] =
        static_cast<float>(roll_off(light(double(i) / (entries - 1)) / reference_white, peak));
  return cmsBuildTabulatedToneCurveFloat(nullptr, entries, values.data());
}

cmsToneCurve* transfer_curve(const ColourDescription& colour) {
  switch (colour.transfer) {
    case Transfer::pq:
      return high_range_curve(pq_light);
    case Transfer::hlg:
      return high_range_curve(hlg_light);
    case Transfer::gamma:
      return colour.gamma > 0 ? cmsBuildGamma(nullptr, colour.gamma) : nullptr;
    case Transfer::bt709:
      return cmsBuildParametricToneCurve(nullptr, curve_type_4, bt709_curve);
    case Transfer::linear:
      return cmsBuildGamma(nullptr, 1.0);
    case Transfer::srgb:
      break;
  }
  return cmsBuildParametricToneCurve(nullptr, curve_type_4, srgb_curve);
}

// The profile that primaries and a transfer curve stand for.
cmsHPROFILE parametric_profile(const ColourDescription& colour) {
  const std::array<double, 8>& p =
      colour.primaries == std::array<double, 8>{} ? srgb_primaries : colour.primaries;
  const cmsCIExyY white = {p[6], p[7], 1.0};
  const cmsCIExyYTRIPLE primaries = {{p[0], p[1], 1.0}, {p[2], p[3], 1.0}, {p[4], p[5], 1.0}};
  cmsToneCurve* curve = transfer_curve(colour);
  if (!curve) return nullptr;
  cmsToneCurve* curves[3] = {curve, curve, curve};
  cmsHPROFILE profile = cmsCreateRGBProfile(&white, &primaries, curves);
  cmsFreeToneCurve(curve);
  return profile;
}

cmsHPROFILE source_profile(const ColourDescription& colour) {
  if (!colour.icc.empty()) {
    return cmsOpenProfileFromMem(colour.icc.data(),
                                 static_cast<cmsUInt32Number>(colour.icc.size()));
  }
  return parametric_profile(colour);
}

cmsHPROFILE display_profile() {
  if (!display_icc.empty()) {
    cmsHPROFILE profile =
        cmsOpenProfileFromMem(display_icc.data(), static_cast<cmsUInt32Number>(display_icc.size()));
    if (profile && cmsGetColorSpace(profile) == cmsSigRgbData &&
        (cmsIsMatrixShaper(profile) ||
         cmsIsCLUT(profile, INTENT_PERCEPTUAL, LCMS_USED_AS_OUTPUT))) {
      return profile;
    }
    if (profile) cmsCloseProfile(profile);
  }
  return cmsCreate_sRGBProfile();
}

// Whether the transform leaves every colour where it was, within a level: then running it
// would cost time and change nothing (sRGB files on an sRGB display).
bool changes_nothing(cmsHTRANSFORM transform) {
  std::vector<std::uint8_t> in;
  for (int r = 0; r < probe_levels; ++r)
    for (int g = 0; g < probe_levels; ++g)
      for (int b = 0; b < probe_levels; ++b)
        in.insert(in.end(), {static_cast<std::uint8_t>(std::min(255, r * probe_step)),
                             static_cast<std::uint8_t>(std::min(255, g * probe_step)),
                             static_cast<std::uint8_t>(std::min(255, b * probe_step))});
  std::vector<std::uint8_t> out(in.size());
  cmsDoTransform(transform, in.data(), out.data(),
                 static_cast<cmsUInt32Number>(in.size() / rgb_channels));
  for (std::size_t i = 0; i < in.size(); ++i) {
    if (std::abs(int{in[i]} - int{out[i]}) > unchanged_within) return false;
  }
  return true;
}

// The grey levels through a transform from a grey profile, and whether any of them moves by more
// than a level.
std::unique_ptr<const GreyLevels> grey_levels(cmsHTRANSFORM transform, bool& changes) {
  std::uint8_t levels[256];
  for (int v = 0; v < 256; ++v)
    levels[v] = static_cast<std::uint8_t>(v);
  auto grey = std::make_unique<GreyLevels>();
  cmsDoTransform(transform, levels, grey->rgb, 256);
  changes = false;
  for (int v = 0; v < 256; ++v)
    for (const std::uint8_t c : grey->rgb[v])
      changes |= std::abs(c - v) > unchanged_within;
  return grey;
}

void apply_grey(const GreyLevels& grey, const std::uint8_t* in, std::uint8_t* out,
                std::size_t pixels) {
  const std::uint8_t* end = in + pixels * rgb_channels;
  for (const std::uint8_t* p = in; p < end; p += rgb_channels) {
    if (p[0] != p[1] || p[0] != p[2]) {
      if (out != in) std::memmove(out, in, pixels * rgb_channels);
      return;
    }
  }
  for (; in < end; in += rgb_channels, out += rgb_channels)
    std::memcpy(out, grey.rgb[*in], rgb_channels);
}

// The three colorants of a matrix-shaper profile as the columns of its RGB to XYZ matrix, and
// its three curves; false when a tag is missing.
bool matrix_and_curves(cmsHPROFILE profile, double m[3][3], cmsToneCurve* curves[3]) {
  const cmsTagSignature colorants[3] = {cmsSigRedColorantTag, cmsSigGreenColorantTag,
                                        cmsSigBlueColorantTag};
  const cmsTagSignature trcs[3] = {cmsSigRedTRCTag, cmsSigGreenTRCTag, cmsSigBlueTRCTag};
  for (int c = 0; c < 3; ++c) {
    const auto* xyz = static_cast<const cmsCIEXYZ*>(cmsReadTag(profile, colorants[c]));
    curves[c] = static_cast<cmsToneCurve*>(cmsReadTag(profile, trcs[c]));
    if (!xyz || !curves[c]) return false;
    m[0][c] = xyz->X;
    m[1][c] = xyz->Y;
    m[2][c] = xyz->Z;
  }
  return true;
}

bool invert(const double m[3][3], double out[3][3]) {
  const double det = m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) -
                     m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
                     m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
  if (std::abs(det) < 1e-12) return false;
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) {
      const int r1 = (c + 1) % 3, r2 = (c + 2) % 3, c1 = (r + 1) % 3, c2 = (r + 2) % 3;
      out[r][c] = (m[r1][c1] * m[r2][c2] - m[r1][c2] * m[r2][c1]) / det;
    }
  return true;
}

// The tables for a pair of matrix-shaper profiles, or null for any other pair.
std::unique_ptr<const Shaper> make_shaper(cmsHPROFILE source, cmsHPROFILE target) {
  if (!cmsIsMatrixShaper(source) || !cmsIsMatrixShaper(target) ||
      cmsGetColorSpace(target) != cmsSigRgbData) {
    return nullptr;
  }
  double from[3][3], to[3][3], back[3][3];
  cmsToneCurve* in_curves[3];
  cmsToneCurve* out_curves[3];
  if (!matrix_and_curves(source, from, in_curves) || !matrix_and_curves(target, to, out_curves) ||
      !invert(to, back)) {
    return nullptr;
  }
  double matrix[3][3];
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) {
      matrix[r][c] = 0;
      for (int k = 0; k < 3; ++k)
        matrix[r][c] += back[r][k] * from[k][c];
      if (std::abs(matrix[r][c]) > Shaper::max_gain) return nullptr;
    }
  auto shaper = std::make_unique<Shaper>();
  for (int c = 0; c < 3; ++c) {
    for (int v = 0; v < 256; ++v) {
      const double linear =
          std::clamp<double>(cmsEvalToneCurveFloat(in_curves[c], v / 255.0f), 0, 1);
      std::uint64_t packed = 0;
      for (int r = 0; r < 3; ++r) {
        const std::int64_t share = std::llround(matrix[r][c] * linear * Shaper::linear_one);
        packed |= static_cast<std::uint64_t>(share + Shaper::lane_bias) << (r * Shaper::lane_bits);
      }
      shaper->shares[c][v] = packed;
    }
    cmsToneCurve* reversed = cmsReverseToneCurve(out_curves[c]);
    if (!reversed) return nullptr;
    for (std::int32_t i = 0; i <= Shaper::linear_one; ++i) {
      const double encoded = std::clamp<double>(
          cmsEvalToneCurveFloat(reversed, static_cast<float>(i) / Shaper::linear_one), 0, 1);
      shaper->output[c][i] = static_cast<std::uint8_t>(std::lround(encoded * 255));
    }
    cmsFreeToneCurve(reversed);
  }
  shaper->one_output =
      std::equal(std::begin(shaper->output[0]), std::end(shaper->output[0]), shaper->output[1]) &&
      std::equal(std::begin(shaper->output[0]), std::end(shaper->output[0]), shaper->output[2]);
  return shaper;
}

template <bool one_output>
void apply_shaper(const Shaper& s, const std::uint8_t* in, std::uint8_t* out, std::size_t pixels) {
  constexpr std::int64_t bias = 3 * Shaper::lane_bias;
  for (std::size_t i = 0; i < pixels; ++i, in += rgb_channels, out += rgb_channels) {
    const std::uint64_t sum = s.shares[0][in[0]] + s.shares[1][in[1]] + s.shares[2][in[2]];
    for (int c = 0; c < 3; ++c) {
      const auto v =
          static_cast<std::int64_t>((sum >> (c * Shaper::lane_bits)) & Shaper::lane_mask);
      out[c] =
          s.output[one_output ? 0 : c][std::clamp<std::int64_t>(v - bias, 0, Shaper::linear_one)];
    }
  }
}

std::shared_ptr<const Transform> build(const ColourDescription& colour, Input input) {
  const Profile source(source_profile(colour));
  if (!source.handle) return nullptr;
  // Held as a number: a damaged profile can name any space, and a value outside the
  // enumeration must not be kept in a variable of its type.
  const auto space = static_cast<cmsUInt32Number>(cmsGetColorSpace(source.handle));
  const bool cmyk = input != Input::rgb;
  const bool grey = !cmyk && space == static_cast<cmsUInt32Number>(cmsSigGrayData);
  if (!grey && space != static_cast<cmsUInt32Number>(cmyk ? cmsSigCmykData : cmsSigRgbData))
    return nullptr;
  const Profile target(display_profile());
  if (!target.handle) return nullptr;
  // The inverted samples are lcms2's subtractive flavour: 0 is full ink.
  const cmsUInt32Number in_format = input == Input::cmyk_inverted ? TYPE_CMYK_8_REV
                                    : cmyk                        ? TYPE_CMYK_8
                                    : grey                        ? TYPE_GRAY_8
                                                                  : TYPE_RGB_8;
  cmsHTRANSFORM handle = cmsCreateTransform(source.handle, in_format, target.handle, TYPE_RGB_8,
                                            INTENT_PERCEPTUAL, cmsFLAGS_NOCACHE);
  if (!handle) return nullptr;
  if (grey) {
    bool changes = false;
    std::unique_ptr<const GreyLevels> levels = grey_levels(handle, changes);
    auto transform = std::make_shared<const Transform>(handle, nullptr, nullptr, std::move(levels));
    return changes ? transform : nullptr;
  }
  std::unique_ptr<const Shaper> shaper = cmyk ? nullptr : make_shaper(source.handle, target.handle);
  std::unique_ptr<const Lattice> lattice =
      shaper ? nullptr : make_lattice(source.handle, target.handle, input);
  auto transform = std::make_shared<const Transform>(handle, std::move(shaper), std::move(lattice));
  if (!cmyk && changes_nothing(handle)) return nullptr;
  return transform;
}

// The cache's key: everything the transform depends on besides the display.
std::string key_of(const ColourDescription& colour, Input input) {
  std::string key(1, static_cast<char>(input));
  if (!colour.icc.empty()) {
    key.append(reinterpret_cast<const char*>(colour.icc.data()), colour.icc.size());
    return key;
  }
  key += static_cast<char>(colour.transfer);
  key.append(reinterpret_cast<const char*>(&colour.gamma), sizeof colour.gamma);
  key.append(reinterpret_cast<const char*>(colour.primaries.data()),
             sizeof(double) * colour.primaries.size());
  return key;
}

// Files that mean sRGB but say "gamma 1/2.2" (with sRGB's primaries, or none): ImageMagick
// writes that into every untagged PNG, and encoders carry it on. They are taken as sRGB, as
// browsers take them, rather than shifting every dark tone of such a file by up to 9 levels.
bool means_srgb(const ColourDescription& colour) {
  constexpr double near_gamma = 0.02;
  constexpr double near_xy = 0.005;
  if (!colour.icc.empty()) return false;
  if (colour.transfer == Transfer::gamma && std::abs(colour.gamma - 2.2) > near_gamma) return false;
  if (colour.transfer != Transfer::gamma && colour.transfer != Transfer::srgb) return false;
  if (colour.primaries == std::array<double, 8>{}) return true;
  for (std::size_t i = 0; i < srgb_primaries.size(); ++i)
    if (std::abs(colour.primaries[i] - srgb_primaries[i]) > near_xy) return false;
  return true;
}

}  // namespace

std::shared_ptr<const Transform> to_display(const ColourDescription& given, Input input) {
  static const ColourDescription srgb;
  const ColourDescription& colour = input == Input::rgb && means_srgb(given) ? srgb : given;
  if (input == Input::rgb && !colour.described() && display_icc.empty()) return nullptr;
  const std::string key = key_of(colour, input);
  Cache& c = cache();
  {
    std::lock_guard lock(c.mutex);
    if (const auto found = c.transforms.find(key); found != c.transforms.end())
      return found->second;
  }
  // Built without the lock: two workers meeting a new description at once both build it, and
  // the first one kept serves from then on.
  std::shared_ptr<const Transform> transform = build(colour, input);
  std::lock_guard lock(c.mutex);
  if (c.transforms.size() >= cache_limit) c.transforms.clear();
  return c.transforms.emplace(key, std::move(transform)).first->second;
}

void apply(const Transform& transform, const std::uint8_t* in, std::uint8_t* out,
           std::size_t pixels) {
  if (const Shaper* shaper = transform.shaper()) {
    shaper->one_output ? apply_shaper<true>(*shaper, in, out, pixels)
                       : apply_shaper<false>(*shaper, in, out, pixels);
    return;
  }
  if (const Lattice* lattice = transform.lattice()) {
    apply_lattice(*lattice, in, out, pixels);
    return;
  }
  if (const GreyLevels* grey = transform.grey()) {
    apply_grey(*grey, in, out, pixels);
    return;
  }
  const cmsUInt32Number in_bytes = T_CHANNELS(cmsGetTransformInputFormat(transform.handle()));
  while (pixels > 0) {
    const std::size_t n = std::min(pixels, max_chunk);
    cmsDoTransform(transform.handle(), in, out, static_cast<cmsUInt32Number>(n));
    in += n * in_bytes;
    out += n * rgb_channels;
    pixels -= n;
  }
}

// Composites over black: each channel times its opacity, rounded.
void composite(Image& image) {
  if (image.alpha.size() == 0) return;
  const std::size_t pixels = std::size_t{image.width} * image.height;
  if (image.alpha.size() != pixels) {
    image.alpha.clear();
    return;
  }
  const std::uint8_t* a = image.alpha.data();
  if (std::all_of(a, a + pixels, [](std::uint8_t v) { return v == 255; })) {
    image.alpha.clear();
    return;
  }
  std::uint8_t* p = image.rgb.data();
  for (std::size_t i = 0; i < pixels; ++i, p += rgb_channels) {
    const unsigned opacity = a[i];
    if (opacity == 255) continue;
    for (std::size_t c = 0; c < rgb_channels; ++c) {
      const unsigned t = p[c] * opacity + 128;
      p[c] = static_cast<std::uint8_t>((t + (t >> 8)) >> 8);
    }
  }
}

void to_display_colours(Image& image) {
  if (image.colour.described() || !display_icc.empty()) {
    if (const auto transform = to_display(image.colour, Input::rgb)) {
      apply(*transform, image.rgb.data(), image.rgb.data(),
            std::size_t{image.width} * image.height);
    }
  }
  image.colour = {};
}

}  // namespace colour

void set_display_profile(std::vector<std::uint8_t> icc) {
  colour::display_icc = std::move(icc);
}
