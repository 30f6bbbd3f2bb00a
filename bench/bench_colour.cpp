// Cost of colour management, in CPU time of the measuring thread.
//
// The transform: a raster converted to the display's colours (sRGB here), single thread, best of
// several runs, in nanoseconds per pixel converted and per pixel shown, for each kind of pair:
// Display P3 (matrix and curves, the usual case), Display P3 held as a lookup table, and CMYK
// through Ghostscript's default CMYK profile (lookup tables, where installed). The view
// converts at the size decoded, a little larger than the size shown (a 6000 x 4000 JPEG decoded
// at 1/4 to 1500 x 1000, shown at 1470 x 980); the grid converts a thumbnail once fitted into
// its cell, so exactly what is shown.
//
// Whole loads: the same 4000 x 3000 JPEG decoded for a grid cell untagged, tagged sRGB and
// tagged Display P3, against the format's own load without any colour step (what an untagged
// file cost before colour management).
#include <lcms2.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "formats/colour.h"
#include "formats/formats.h"
#include "support/lut_profile.h"
#include "support/photo.h"

namespace {

constexpr int runs = 9;
constexpr Wish cell = {283, 196};
constexpr const char* cmyk_profile = "/usr/share/color/icc/ghostscript/default_cmyk.icc";

std::vector<std::uint8_t> profile_bytes(cmsHPROFILE profile) {
  cmsUInt32Number size = 0;
  cmsSaveProfileToMem(profile, nullptr, &size);
  std::vector<std::uint8_t> bytes(size);
  cmsSaveProfileToMem(profile, bytes.data(), &size);
  cmsCloseProfile(profile);
  return bytes;
}

std::vector<std::uint8_t> display_p3() {
  const double srgb[] = {2.4, 1 / 1.055, 0.055 / 1.055, 1 / 12.92, 0.04045};
  cmsToneCurve* curve = cmsBuildParametricToneCurve(nullptr, 4, srgb);
  cmsToneCurve* curves[3] = {curve, curve, curve};
  const cmsCIExyY white = {0.3127, 0.3290, 1};
  const cmsCIExyYTRIPLE primaries = {{0.680, 0.320, 1}, {0.265, 0.690, 1}, {0.150, 0.060, 1}};
  auto bytes = profile_bytes(cmsCreateRGBProfile(&white, &primaries, curves));
  cmsFreeToneCurve(curve);
  return bytes;
}

// The JPEG at path with icc in an APP2 marker right after its start.
void tag_jpeg(const std::string& from, const std::string& to,
              const std::vector<std::uint8_t>& icc) {
  std::FILE* in = std::fopen(from.c_str(), "rb");
  std::vector<char> jpeg(std::filesystem::file_size(from));
  if (!in || std::fread(jpeg.data(), 1, jpeg.size(), in) != jpeg.size()) std::abort();
  std::fclose(in);
  const std::string name("ICC_PROFILE\0\1\1", 14);
  const std::size_t length = 2 + name.size() + icc.size();
  std::string marker = {'\xff', '\xe2', char(length >> 8), char(length & 0xff)};
  marker += name;
  marker.append(icc.begin(), icc.end());
  std::FILE* out = std::fopen(to.c_str(), "wb");
  if (!out) std::abort();
  std::fwrite(jpeg.data(), 1, 2, out);
  std::fwrite(marker.data(), 1, marker.size(), out);
  std::fwrite(jpeg.data() + 2, 1, jpeg.size() - 2, out);
  std::fclose(out);
}

// The thread's CPU time, which other programs on a shared machine do not inflate as they do
// the time on the clock.
double cpu_seconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

template <typename F>
double best_seconds(F&& f) {
  double best = 1e9;
  for (int i = 0; i < runs; ++i) {
    const double start = cpu_seconds();
    f();
    best = std::min(best, cpu_seconds() - start);
  }
  return best;
}

// The photo's pixels as CMYK: ink where the colour lacks it, the common part as black.
std::vector<std::uint8_t> as_cmyk(const Image& raster) {
  std::vector<std::uint8_t> cmyk;
  for (std::size_t i = 0; i + 2 < raster.rgb.size(); i += rgb_channels) {
    const std::uint8_t c = 255 - raster.rgb[i], m = 255 - raster.rgb[i + 1],
                       y = 255 - raster.rgb[i + 2];
    const std::uint8_t k = std::min({c, m, y});
    cmyk.insert(cmyk.end(), {std::uint8_t(c - k), std::uint8_t(m - k), std::uint8_t(y - k), k});
  }
  return cmyk;
}

void transform_cost(const char* pair, const std::vector<std::uint8_t>& icc, colour::Input input) {
  const auto transform = colour::to_display(ColourDescription{.icc = icc}, input);
  if (!transform) std::abort();
  struct Case {
    const char* name;
    std::uint32_t width, height, shown_width, shown_height;
  };
  std::printf("%s:\n", pair);
  for (const Case& c :
       {Case{"view", 1500, 1000, 1470, 980}, Case{"grid cell", 283, 212, 283, 212}}) {
    const Image raster = bench::photo(c.width, c.height, 1);
    const std::vector<std::uint8_t> in =
        input == colour::Input::rgb
            ? std::vector<std::uint8_t>(raster.rgb.begin(), raster.rgb.end())
            : as_cmyk(raster);
    std::vector<std::uint8_t> out(raster.rgb.size());
    const double s = best_seconds(
        [&] { colour::apply(*transform, in.data(), out.data(), raster.width * raster.height); });
    const double pixels = double(c.width) * c.height;
    // lcms2's own 8-bit transform of the same pixels, for comparison.
    cmsHPROFILE source =
        cmsOpenProfileFromMem(icc.data(), static_cast<cmsUInt32Number>(icc.size()));
    cmsHPROFILE srgb = cmsCreate_sRGBProfile();
    cmsHTRANSFORM own =
        cmsCreateTransform(source, input == colour::Input::rgb ? TYPE_RGB_8 : TYPE_CMYK_8, srgb,
                           TYPE_RGB_8, INTENT_PERCEPTUAL, cmsFLAGS_NOCACHE);
    const double lcms = best_seconds([&] {
      cmsDoTransform(own, in.data(), out.data(),
                     static_cast<cmsUInt32Number>(raster.width * raster.height));
    });
    cmsDeleteTransform(own);
    cmsCloseProfile(srgb);
    cmsCloseProfile(source);
    const double per_shown = s * 1e9 / (double(c.shown_width) * c.shown_height);
    std::printf(
        "  %s: %ux%u converted, %.2f ns per pixel converted, %.2f ns per pixel shown (%ux%u; "
        "goal <= 3: %s); lcms2's own transform %.2f ns per pixel converted\n",
        c.name, c.width, c.height, s * 1e9 / pixels, per_shown, c.shown_width, c.shown_height,
        per_shown <= 3 ? "met" : "MISSED", lcms * 1e9 / pixels);
  }
}

}  // namespace

int main() {
  init_formats();
  const std::vector<std::uint8_t> p3 = display_p3();
  transform_cost("Display P3 to sRGB, matrix and curves", p3, colour::Input::rgb);
  cmsHPROFILE shaper = cmsOpenProfileFromMem(p3.data(), static_cast<cmsUInt32Number>(p3.size()));
  transform_cost("Display P3 as a lookup table to sRGB",
                 profile_bytes(pictra_test::lut_profile(shaper)), colour::Input::rgb);
  cmsCloseProfile(shaper);
  if (cmsHPROFILE cmyk = cmsOpenProfileFromFile(cmyk_profile, "r")) {
    transform_cost("CMYK (Ghostscript's default) to sRGB", profile_bytes(cmyk),
                   colour::Input::cmyk);
  } else {
    std::printf("CMYK: %s is not installed\n", cmyk_profile);
  }

  char dir_template[] = "/tmp/pictra-bench-colour-XXXXXX";
  if (!mkdtemp(dir_template)) return 1;
  const std::string dir = dir_template;
  const std::string plain = dir + "/plain.jpg";
  bench::write_jpeg(plain, bench::photo(4000, 3000, 2), 90);
  tag_jpeg(plain, dir + "/srgb.jpg", profile_bytes(cmsCreate_sRGBProfile()));
  tag_jpeg(plain, dir + "/p3.jpg", p3);

  const double before = best_seconds([&] { formats[format_jpeg].load(plain.c_str(), "", cell); });
  std::printf("grid-cell load of a 4000x3000 JPEG, the format's load alone: %.2f ms\n",
              before * 1e3);
  for (const char* name : {"plain", "srgb", "p3"}) {
    const std::string path = dir + "/" + name + ".jpg";
    const double s = best_seconds([&] { load_image(path.c_str(), "", cell); });
    std::printf("  load_image, %-5s: %.2f ms (%.3fx the format's load alone)\n", name, s * 1e3,
                s / before);
  }
  std::filesystem::remove_all(dir);
}
