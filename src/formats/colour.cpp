// Colour management through lcms2. A transform is built on the worker that first meets a
// description and kept, immutable, in a cache that a mutex guards; lcms2 runs a transform made
// with cmsFLAGS_NOCACHE from several threads at once. The display's profile is set before any
// worker starts and only read afterwards.
#include "formats/colour.h"

#include <lcms2.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace colour {

class Transform {
 public:
  explicit Transform(cmsHTRANSFORM handle) : handle_(handle) {}
  Transform(const Transform&) = delete;
  Transform& operator=(const Transform&) = delete;
  ~Transform() { cmsDeleteTransform(handle_); }
  cmsHTRANSFORM handle() const { return handle_; }

 private:
  cmsHTRANSFORM handle_;
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

cmsToneCurve* transfer_curve(const ColourDescription& colour) {
  switch (colour.transfer) {
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

std::shared_ptr<const Transform> build(const ColourDescription& colour, Input input) {
  const Profile source(source_profile(colour));
  if (!source.handle) return nullptr;
  const cmsColorSpaceSignature space = cmsGetColorSpace(source.handle);
  const bool cmyk = input == Input::cmyk_inverted;
  if (space != (cmyk ? cmsSigCmykData : cmsSigRgbData)) return nullptr;
  const Profile target(display_profile());
  if (!target.handle) return nullptr;
  // The inverted samples are lcms2's subtractive flavour: 0 is full ink.
  const cmsUInt32Number in_format = cmyk ? TYPE_CMYK_8_REV : TYPE_RGB_8;
  cmsHTRANSFORM handle = cmsCreateTransform(source.handle, in_format, target.handle, TYPE_RGB_8,
                                            INTENT_PERCEPTUAL, cmsFLAGS_NOCACHE);
  if (!handle) return nullptr;
  auto transform = std::make_shared<const Transform>(handle);
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

// Composites over black: each channel times its opacity, rounded.
void premultiply(Image& image) {
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
  const cmsUInt32Number in_bytes = T_CHANNELS(cmsGetTransformInputFormat(transform.handle()));
  while (pixels > 0) {
    const std::size_t n = std::min(pixels, max_chunk);
    cmsDoTransform(transform.handle(), in, out, static_cast<cmsUInt32Number>(n));
    in += n * in_bytes;
    out += n * rgb_channels;
    pixels -= n;
  }
}

void finish_colours(Image& image) {
  if (image.colour.described() || !display_icc.empty()) {
    if (const auto transform = to_display(image.colour, Input::rgb)) {
      apply(*transform, image.rgb.data(), image.rgb.data(),
            std::size_t{image.width} * image.height);
    }
  }
  image.colour = {};
  if (image.alpha.size() != 0) premultiply(image);
}

}  // namespace colour

void set_display_profile(std::vector<std::uint8_t> icc) {
  colour::display_icc = std::move(icc);
}
