// Colour management: files tagged with wide-gamut profiles, gamma and chromaticities, CMYK and
// nclx, decoded and compared with what lcms2's own tools make of the same colours, by CIEDE2000.
#include <gtest/gtest.h>
#include <lcms2.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "formats/formats.h"
#include "support/tempdir.h"

namespace {

using pictra_test::command_output;
using pictra_test::TempDir;

constexpr int patch = 12;  // flat squares, so a lossy codec's centre pixels stay exact
constexpr int columns = 8;
constexpr int rows = 4;
constexpr double max_delta_e = 1.0;

// Saturated and dull colours, darks and greys: where wide gamuts differ most from sRGB.
int patch_rgb(int index) {
  static constexpr int colours[columns * rows] = {
      0xff0000, 0x00ff00, 0x0000ff, 0xffff00, 0x00ffff, 0xff00ff, 0xffffff, 0x000000,
      0xc02040, 0x40c020, 0x2040c0, 0xe0a020, 0x20a0e0, 0xa020e0, 0x808080, 0x202020,
      0x804020, 0x208040, 0x402080, 0xf0c0a0, 0xa0f0c0, 0xc0a0f0, 0x404040, 0x101010,
      0x603010, 0x106030, 0x301060, 0xd08060, 0x60d080, 0x8060d0, 0xc0c0c0, 0x080808};
  return colours[index];
}

void run(const std::string& command) {
  ASSERT_EQ(std::system(("(" + command + ") >/dev/null 2>&1").c_str()), 0) << command;
}

std::string patches_ppm(const TempDir& dir) {
  std::string out =
      "P6 " + std::to_string(columns * patch) + " " + std::to_string(rows * patch) + " 255\n";
  for (int y = 0; y < rows * patch; ++y)
    for (int x = 0; x < columns * patch; ++x)
      for (const int shift : {16, 8, 0})
        out.push_back(static_cast<char>(patch_rgb(y / patch * columns + x / patch) >> shift));
  return dir.write("patches.ppm", out);
}

// An RGB profile of primaries (red, green, blue, white as CIE xy) and one curve, written by
// lcms2: the wide-gamut spaces cameras and phones tag their pictures with.
struct RgbSpace {
  const char* name;
  double xy[8];
  double gamma;  // 0: the sRGB curve
};
constexpr RgbSpace display_p3 = {
    "p3", {0.680, 0.320, 0.265, 0.690, 0.150, 0.060, 0.3127, 0.3290}, 0};
constexpr RgbSpace adobe_rgb = {
    "adobe", {0.64, 0.33, 0.21, 0.71, 0.15, 0.06, 0.3127, 0.3290}, 563.0 / 256};
constexpr RgbSpace prophoto = {
    "prophoto", {0.7347, 0.2653, 0.1596, 0.8404, 0.0366, 0.0001, 0.3457, 0.3585}, 1.8};

std::string write_profile(const TempDir& dir, const RgbSpace& space) {
  const double srgb[] = {2.4, 1 / 1.055, 0.055 / 1.055, 1 / 12.92, 0.04045};
  cmsToneCurve* curve = space.gamma > 0 ? cmsBuildGamma(nullptr, space.gamma)
                                        : cmsBuildParametricToneCurve(nullptr, 4, srgb);
  cmsToneCurve* curves[3] = {curve, curve, curve};
  const cmsCIExyY white = {space.xy[6], space.xy[7], 1};
  const cmsCIExyYTRIPLE primaries = {
      {space.xy[0], space.xy[1], 1}, {space.xy[2], space.xy[3], 1}, {space.xy[4], space.xy[5], 1}};
  cmsHPROFILE profile = cmsCreateRGBProfile(&white, &primaries, curves);
  const std::string path = dir.file(std::string(space.name) + ".icc");
  EXPECT_TRUE(cmsSaveProfileToFile(profile, path.c_str()));
  cmsCloseProfile(profile);
  cmsFreeToneCurve(curve);
  return path;
}

// The patches' colours in sRGB as transicc converts them from the profile, 0 to 255.
std::vector<double> transicc_reference(const std::string& profile) {
  std::string input;
  for (int i = 0; i < columns * rows; ++i)
    input += std::to_string(patch_rgb(i) >> 16) + " " + std::to_string(patch_rgb(i) >> 8 & 255) +
             " " + std::to_string(patch_rgb(i) & 255) + "\n";
  std::istringstream out(command_output("printf '" + input + "' | transicc -s -n -t0 '-i" +
                                        profile + "' 2>/dev/null"));
  std::vector<double> values;
  for (double v; out >> v;)
    values.push_back(v);
  EXPECT_EQ(values.size(), std::size_t(columns * rows * 3)) << profile;
  return values;
}

// The reference's patch centres, from an sRGB image decoded untagged.
std::vector<double> centres(const Image& image) {
  std::vector<double> values;
  for (int i = 0; i < columns * rows; ++i) {
    const int p =
        get_pixel(image, i % columns * patch + patch / 2, i / columns * patch + patch / 2);
    values.insert(values.end(), {double(p >> 16), double(p >> 8 & 255), double(p & 255)});
  }
  return values;
}

cmsCIELab to_lab(const double* rgb) {
  static const struct Lab {
    cmsHTRANSFORM t;
    Lab() {
      cmsHPROFILE srgb = cmsCreate_sRGBProfile();
      cmsHPROFILE lab = cmsCreateLab4Profile(nullptr);
      t = cmsCreateTransform(srgb, TYPE_RGB_DBL, lab, TYPE_Lab_DBL, INTENT_PERCEPTUAL, 0);
      cmsCloseProfile(srgb);
      cmsCloseProfile(lab);
    }
  } lab;
  const double in[3] = {rgb[0] / 255, rgb[1] / 255, rgb[2] / 255};
  cmsCIELab out;
  cmsDoTransform(lab.t, in, &out, 1);
  return out;
}

// The largest CIEDE2000 difference between the decoded patches and the reference's.
double worst_delta_e(const std::string& file, const std::vector<double>& reference) {
  const auto image = load_image(file.c_str(), "", {});
  if (!image) return 1e9;
  const std::vector<double> got = centres(*image);
  double worst = 0;
  for (std::size_t i = 0; i + 2 < reference.size() && i + 2 < got.size(); i += 3) {
    const cmsCIELab a = to_lab(&got[i]);
    const cmsCIELab b = to_lab(&reference[i]);
    worst = std::max(worst, cmsCIE2000DeltaE(&a, &b, 1, 1, 1));
  }
  return worst;
}

class Colour : public testing::Test {
 protected:
  void SetUp() override { init_formats(); }
  TempDir dir;
};

TEST_F(Colour, TaggedFilesMatchTransicc) {
  const std::string source = patches_ppm(dir);
  // ImageMagick attaches a profile to an untagged image without touching its pixels.
  const std::pair<const char*, const char*> encodings[] = {
      {"jpg", "-quality 100 -sampling-factor 1x1"},
      {"png", ""},
      {"tif", ""},
      {"webp", "-define webp:lossless=true"}};
  for (const RgbSpace* space : {&display_p3, &adobe_rgb, &prophoto}) {
    const std::string profile = write_profile(dir, *space);
    const std::vector<double> reference = transicc_reference(profile);
    for (const auto& [extension, options] : encodings) {
      const std::string file = dir.file(std::string(space->name) + "." + extension);
      run("convert '" + source + "' -profile '" + profile + "' " + options + " '" + file + "'");
      EXPECT_LE(worst_delta_e(file, reference), max_delta_e) << file;
    }
  }
}

}  // namespace
