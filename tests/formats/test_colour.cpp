// Colour management: files tagged with wide-gamut profiles, gamma and chromaticities, CMYK and
// nclx, decoded and compared with what lcms2's own tools make of the same colours, by CIEDE2000.
#include <gtest/gtest.h>
#include <lcms2.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "formats/colour.h"
#include "formats/formats.h"
#include "support/lut_profile.h"
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
  double gamma;  // 0: the sRGB curve, -1 BT.709's
};
constexpr RgbSpace display_p3 = {
    "p3", {0.680, 0.320, 0.265, 0.690, 0.150, 0.060, 0.3127, 0.3290}, 0};
constexpr RgbSpace adobe_rgb = {
    "adobe", {0.64, 0.33, 0.21, 0.71, 0.15, 0.06, 0.3127, 0.3290}, 563.0 / 256};
constexpr RgbSpace prophoto = {
    "prophoto", {0.7347, 0.2653, 0.1596, 0.8404, 0.0366, 0.0001, 0.3457, 0.3585}, 1.8};
constexpr RgbSpace bt2020 = {
    "bt2020", {0.708, 0.292, 0.170, 0.797, 0.131, 0.046, 0.3127, 0.3290}, -1};
constexpr RgbSpace gamma_18 = {
    "gamma18", {0.64, 0.33, 0.30, 0.60, 0.15, 0.06, 0.3127, 0.3290}, 1.8};
constexpr RgbSpace adobe_22 = {
    "adobe22", {0.64, 0.33, 0.21, 0.71, 0.15, 0.06, 0.3127, 0.3290}, 2.2};

std::string write_profile(const TempDir& dir, const RgbSpace& space) {
  const double srgb[] = {2.4, 1 / 1.055, 0.055 / 1.055, 1 / 12.92, 0.04045};
  const double bt709[] = {1 / 0.45, 1 / 1.099, 0.099 / 1.099, 1 / 4.5, 0.081};
  cmsToneCurve* curve =
      space.gamma > 0 ? cmsBuildGamma(nullptr, space.gamma)
                      : cmsBuildParametricToneCurve(nullptr, 4, space.gamma < 0 ? bt709 : srgb);
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

// The patch centres of an image in sRGB.
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

std::vector<double> decoded_centres(const std::string& file) {
  const auto image = load_image(file.c_str(), "", {});
  return image ? centres(*image) : std::vector<double>{};
}

// The largest CIEDE2000 difference between the decoded patches and the reference's.
double worst_delta_e(const std::string& file, const std::vector<double>& reference) {
  const std::vector<double> got = decoded_centres(file);
  if (got.size() != reference.size()) return 1e9;
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
    // JPEG XL from the tagged PNG: ImageMagick writes none.
    const std::string jxl = dir.file(std::string(space->name) + ".jxl");
    run("cjxl -d 0 '" + dir.file(std::string(space->name) + ".png") + "' '" + jxl + "'");
    EXPECT_LE(worst_delta_e(jxl, reference), max_delta_e) << jxl;
  }
}

// Grey pictures with a grey profile (gamma 1.8, as old scanners wrote) convert through it as
// transicc converts their levels; the levels are what the untagged copy shows.
TEST_F(Colour, GreyProfilesMatchTransicc) {
  const std::string profile = dir.file("grey18.icc");
  cmsToneCurve* curve = cmsBuildGamma(nullptr, 1.8);
  cmsHPROFILE grey = cmsCreateGrayProfile(cmsD50_xyY(), curve);
  ASSERT_TRUE(cmsSaveProfileToFile(grey, profile.c_str()));
  cmsCloseProfile(grey);
  cmsFreeToneCurve(curve);
  const std::string source = dir.file("grey.pgm");
  run("convert '" + patches_ppm(dir) + "' -colorspace Gray '" + source + "'");
  for (const std::string extension : {"png", "jpg"}) {
    const std::string file = dir.file("grey." + extension);
    run("convert '" + source + "' -quality 100 '" + file + "'");
    const std::vector<double> levels = decoded_centres(file);
    ASSERT_EQ(levels.size(), std::size_t(columns * rows * 3));
    std::string input;
    for (std::size_t i = 0; i < levels.size(); i += 3)
      input += std::to_string(int(levels[i])) + "\n";
    std::istringstream out(command_output("printf '" + input + "' | transicc -s -n -t0 '-i" +
                                          profile + "' 2>/dev/null"));
    std::vector<double> reference;
    for (double v; out >> v;)
      reference.push_back(v);
    run("exiftool -q -overwrite_original '-ICC_Profile<=" + profile + "' '" + file + "'");
    EXPECT_LE(worst_delta_e(file, reference), max_delta_e) << file;
    EXPECT_NE(decoded_centres(file), levels) << file;
  }
}

// A profile of lookup tables (as printers' and scanners' are) takes another path than a matrix.
TEST_F(Colour, LookupTableProfilesMatchTransicc) {
  cmsHPROFILE shaper = cmsOpenProfileFromFile(write_profile(dir, adobe_rgb).c_str(), "r");
  cmsHPROFILE table = pictra_test::lut_profile(shaper);
  const std::string profile = dir.file("table.icc");
  ASSERT_TRUE(cmsSaveProfileToFile(table, profile.c_str()));
  cmsCloseProfile(table);
  cmsCloseProfile(shaper);
  const std::string file = dir.file("table.png");
  run("convert '" + patches_ppm(dir) + "' -profile '" + profile + "' '" + file + "'");
  EXPECT_LE(worst_delta_e(file, transicc_reference(profile)), max_delta_e) << file;
}

// The patches lie near the points such a table is sampled at; random colours fall anywhere in
// between: for a table profile and for CMYK, each channel within a level of lcms2's own 8-bit
// transform, as jpgicc and tificc run it, and as close to lcms2's exact evaluation. (Both differ
// from the exact one by up to 1.8 here, the profile's table having 17 points a channel; a level
// in a dark blue is itself more than 1, so the two are not compared by ΔE.)
TEST_F(Colour, LookupTablesHoldBetweenTheirPoints) {
  cmsHPROFILE shaper = cmsOpenProfileFromFile(write_profile(dir, adobe_rgb).c_str(), "r");
  const std::pair<cmsHPROFILE, colour::Input> pairs[] = {
      {pictra_test::lut_profile(shaper), colour::Input::rgb},
      {cmsOpenProfileFromFile("/usr/share/color/icc/ghostscript/default_cmyk.icc", "r"),
       colour::Input::cmyk}};
  cmsCloseProfile(shaper);
  cmsHPROFILE srgb = cmsCreate_sRGBProfile();
  std::uint32_t seed = 1;
  for (const auto& [profile, input] : pairs) {
    ASSERT_TRUE(profile);
    const bool cmyk = input == colour::Input::cmyk;
    std::vector<std::uint8_t> in(4096 * (cmyk ? 4 : 3));
    for (std::uint8_t& v : in)
      v = static_cast<std::uint8_t>((seed = seed * 1103515245 + 12345) >> 24);
    cmsUInt32Number size = 0;
    cmsSaveProfileToMem(profile, nullptr, &size);
    ColourDescription description;
    description.icc.resize(size);
    cmsSaveProfileToMem(profile, description.icc.data(), &size);
    const auto transform = colour::to_display(description, input);
    ASSERT_TRUE(transform);
    std::vector<std::uint8_t> got(4096 * 3), want(4096 * 3);
    colour::apply(*transform, in.data(), got.data(), 4096);
    // Runs of 1 to 40 pixels take every path (16 and 8 pixels a step where the processor
    // can, the rest one by one), and each must give every pixel the same colour; RGB in place.
    const std::size_t channels = cmyk ? 4 : 3;
    std::vector<std::uint8_t> runs(got.size());
    for (std::size_t at = 0, n = 1; at < 4096; at += n, n = n % 40 + 1) {
      n = std::min(n, 4096 - at);
      colour::apply(*transform, in.data() + at * channels, runs.data() + at * 3, n);
    }
    EXPECT_EQ(runs, got);
    if (!cmyk) {
      std::vector<std::uint8_t> in_place = in;
      colour::apply(*transform, in_place.data(), in_place.data(), 4096);
      EXPECT_EQ(in_place, got);
    }
    cmsHTRANSFORM own = cmsCreateTransform(profile, cmyk ? TYPE_CMYK_8 : TYPE_RGB_8, srgb,
                                           TYPE_RGB_8, INTENT_PERCEPTUAL, 0);
    cmsDoTransform(own, in.data(), want.data(), 4096);
    cmsDeleteTransform(own);
    for (std::size_t i = 0; i < got.size(); ++i)
      ASSERT_LE(std::abs(got[i] - want[i]), 1) << (cmyk ? "cmyk" : "rgb table") << " at " << i;
    // Against the exact evaluation, no worse than lcms2's own 8-bit transform.
    cmsHTRANSFORM exact = cmsCreateTransform(profile, cmyk ? TYPE_CMYK_DBL : TYPE_RGB_DBL, srgb,
                                             TYPE_RGB_DBL, INTENT_PERCEPTUAL, cmsFLAGS_NOOPTIMIZE);
    cmsCloseProfile(profile);
    double worst[2] = {}, total[2] = {};
    for (std::size_t i = 0; i < 4096; ++i) {
      double source[4], truth[3];
      for (std::size_t c = 0; c < channels; ++c)
        source[c] = in[i * channels + c] * (cmyk ? 100.0 : 1.0) / 255;  // lcms2 counts ink in %
      cmsDoTransform(exact, source, truth, 1);
      for (double& v : truth)
        v = std::clamp(v * 255, 0.0, 255.0);
      const cmsCIELab lt = to_lab(truth);
      for (int which = 0; which < 2; ++which) {
        const std::uint8_t* p = (which ? want : got).data() + i * 3;
        const double rgb[3] = {double(p[0]), double(p[1]), double(p[2])};
        const cmsCIELab l = to_lab(rgb);
        const double e = cmsCIE2000DeltaE(&l, &lt, 1, 1, 1);
        worst[which] = std::max(worst[which], e);
        total[which] += e;
      }
    }
    cmsDeleteTransform(exact);
    EXPECT_LE(worst[0], worst[1] + 0.1) << (cmyk ? "cmyk" : "rgb table");
    EXPECT_LE(total[0], total[1] * 1.05) << (cmyk ? "cmyk" : "rgb table");
  }
  cmsCloseProfile(srgb);
}

std::uint32_t png_crc(const std::string& bytes) {
  std::uint32_t crc = 0xffffffff;
  for (const char c : bytes) {
    crc ^= std::uint8_t(c);
    for (int k = 0; k < 8; ++k)
      crc = crc >> 1 ^ (0xedb88320 & (0 - (crc & 1)));
  }
  return ~crc;
}

// A PNG of the patches with the given chunks (type and payload) after its header, written by
// pnmtopng, which adds none of its own.
std::string png_with_chunks(const TempDir& dir, const std::string& name,
                            const std::vector<std::pair<std::string, std::string>>& chunks) {
  std::string png = command_output("pnmtopng '" + patches_ppm(dir) + "'");
  constexpr std::size_t after_header = 8 + 25;
  std::string inserted;
  for (const auto& [type, payload] : chunks) {
    const std::string body = type + payload;
    const std::uint32_t crc = png_crc(body);
    for (const std::uint32_t word : {std::uint32_t(payload.size()), std::uint32_t(crc)})
      for (const int shift : {24, 16, 8, 0})
        inserted.push_back(static_cast<char>(word >> shift));
    inserted.insert(inserted.size() - 4, body);
  }
  return dir.write(name, png.insert(after_header, inserted));
}

std::string be32(double value) {
  const auto n = static_cast<std::uint32_t>(value * 100000 + 0.5);
  return {char(n >> 24), char(n >> 16), char(n >> 8), char(n)};
}

TEST_F(Colour, PngGammaAndChromaticitiesMatchTransicc) {
  const std::string gamma_only = png_with_chunks(dir, "gamma.png", {{"gAMA", be32(1 / 1.8)}});
  EXPECT_LE(worst_delta_e(gamma_only, transicc_reference(write_profile(dir, gamma_18))),
            max_delta_e);
  std::string chrm;
  for (const int i : {6, 7, 0, 1, 2, 3, 4, 5})
    chrm += be32(adobe_22.xy[i]);
  const std::string chromaticities =
      png_with_chunks(dir, "chrm.png", {{"gAMA", be32(1 / 2.2)}, {"cHRM", chrm}});
  EXPECT_LE(worst_delta_e(chromaticities, transicc_reference(write_profile(dir, adobe_22))),
            max_delta_e);
}

// Taken as if there were no description: the sRGB chunk, a profile that is sRGB's own, and
// profiles that cannot be used (damaged, or for grey pixels).
TEST_F(Colour, SrgbAndUnusableDescriptionsLeavePixelsAsStored) {
  const std::string untagged = png_with_chunks(dir, "plain.png", {});
  const std::vector<double> stored = decoded_centres(untagged);
  ASSERT_EQ(stored.size(), std::size_t(columns * rows * 3));
  for (int i = 0; i < columns * rows; ++i)
    EXPECT_EQ(stored[i * 3], patch_rgb(i) >> 16) << i;
  EXPECT_EQ(decoded_centres(png_with_chunks(dir, "srgb.png", {{"sRGB", std::string(1, '\0')}})),
            stored);
  const std::string source = patches_ppm(dir);
  const std::string srgb = "/usr/share/color/icc/ghostscript/srgb.icc";
  std::string damaged = pictra_test::read_file(srgb);
  constexpr std::size_t tag_table = 132;
  ASSERT_GT(damaged.size(), tag_table * 2);
  damaged.replace(tag_table, tag_table, tag_table, '\xff');
  const std::string tagged[][2] = {{"srgb.icc", srgb},
                                   {"grey.icc", "/usr/share/color/icc/ghostscript/sgray.icc"},
                                   {"damaged.icc", dir.write("damaged.icc", damaged)}};
  for (const auto& [name, profile] : tagged) {
    const std::string file = dir.file(name + std::string(".jpg"));
    // exiftool embeds any bytes, whole or not, where ImageMagick would check them.
    run("convert '" + source + "' -quality 100 -sampling-factor 1x1 '" + file + "'");
    const std::vector<double> plain = decoded_centres(file);
    run("exiftool -q -overwrite_original '-ICC_Profile<=" + profile + "' '" + file + "'");
    EXPECT_EQ(decoded_centres(file), plain) << name;
  }
}

// CMYK converts through its profile as jpgicc and tificc convert it: JPEG, and TIFF in strips
// of 8 and 16 bits and in tiles.
TEST_F(Colour, CmykMatchesJpgiccAndTificc) {
  const struct {
    const char* name;
    const char* depth;
    const char* tool;
  } cases[] = {{"cmyk.jpg", "8", "jpgicc -q100 IN REF"},
               {"cmyk.tif", "8", "tificc IN REF"},
               {"cmyk16.tif", "16", "tificc IN REF"},
               {"tiled.tif", "8",
                "tiffcp -t -w 32 -l 16 IN IN.tiled && mv IN.tiled IN && "
                "tificc IN REF"}};
  for (const auto& c : cases) {
    const std::string cmyk = dir.file(c.name);
    const std::string reference = dir.file(std::string("reference-") + c.name);
    run("convert '" + patches_ppm(dir) +
        "' -colorspace CMYK -profile /usr/share/color/icc/ghostscript/default_cmyk.icc -depth " +
        c.depth + " -quality 100 -sampling-factor 1x1 '" + cmyk + "'");
    std::string command = c.tool;
    const std::string quoted = "'" + cmyk + "'";
    for (std::size_t at = 0; (at = command.find("IN", at)) != std::string::npos;
         at += quoted.size())
      command.replace(at, 2, quoted);
    command.replace(command.find("REF"), 3, "'" + reference + "'");
    run(command);
    EXPECT_LE(worst_delta_e(cmyk, decoded_centres(reference)), max_delta_e) << cmyk;
  }
}

TEST_F(Colour, AvifNclxMatchesTransicc) {
  const std::string source = dir.file("patches.png");
  run("convert '" + patches_ppm(dir) + "' '" + source + "'");
  // Lossless, with the matrix as identity, so that only the colours' meaning differs.
  const std::pair<const RgbSpace*, const char*> encodings[] = {{&display_p3, "12/13/0"},
                                                               {&bt2020, "9/14/0"}};
  for (const auto& [space, cicp] : encodings) {
    const std::string file = dir.file(std::string(space->name) + ".avif");
    run(std::string("avifenc -s 9 -l --cicp ") + cicp + " '" + source + "' '" + file + "'");
    EXPECT_LE(worst_delta_e(file, transicc_reference(write_profile(dir, *space))), max_delta_e)
        << file;
  }
}

// PQ and HLG, in AVIF and JPEG XL: light up to 3/4 of the reference white (203 cd/m2) is shown
// as it is, against transicc through a profile of the standards' own curves; white signal shows
// white, and greys stay in order through the highlights' roll-off.
TEST_F(Colour, HighDynamicRangeIsMappedToTheScreen) {
  const std::string ppm = patches_ppm(dir);
  const std::string png = dir.file("patches.png");
  run("convert '" + ppm + "' '" + png + "'");
  const auto pq = [](double e) {
    const double p = std::pow(e, 4096.0 / (2523 * 128));
    return 10000 *
           std::pow(std::max(p - 0.8359375, 0.0) / (18.8515625 - 18.6875 * p), 16384.0 / 2610);
  };
  const auto hlg = [](double e) {
    const double scene =
        e <= 0.5 ? e * e / 3 : (std::exp((e - 0.55991073) / 0.17883277) + 0.28466892) / 12;
    return 1000 * std::pow(scene, 1.2);
  };
  const struct {
    const char* name;
    std::string command;
    double (*light)(double);
  } cases[] = {// Lossless, the AVIF with the matrix as identity, so that only the curve differs.
               {"pq.avif", "avifenc -s 9 -l --cicp 9/16/0 '" + png + "'", pq},
               {"hlg.avif", "avifenc -s 9 -l --cicp 9/18/0 '" + png + "'", hlg},
               {"pq.jxl", "cjxl '" + ppm + "' -d 0 -x color_space=RGB_D65_202_Rel_PeQ", pq},
               {"hlg.jxl", "cjxl '" + ppm + "' -d 0 -x color_space=RGB_D65_202_Rel_HLG", hlg}};
  for (const auto& [name, command, light] : cases) {
    const std::string file = dir.file(name);
    run(command + " '" + file + "'");
    std::vector<float> table(4096);
    for (std::size_t i = 0; i < table.size(); ++i)
      table[i] = float(std::min(light(double(i) / 4095) / 203, 1.0));
    cmsToneCurve* curve = cmsBuildTabulatedToneCurveFloat(nullptr, 4096, table.data());
    cmsToneCurve* trc[3] = {curve, curve, curve};
    const cmsCIExyY white = {0.3127, 0.3290, 1};
    const cmsCIExyYTRIPLE primaries = {{0.708, 0.292, 1}, {0.170, 0.797, 1}, {0.131, 0.046, 1}};
    cmsHPROFILE profile = cmsCreateRGBProfile(&white, &primaries, trc);
    const std::string icc = dir.file("hdr.icc");
    ASSERT_TRUE(cmsSaveProfileToFile(profile, icc.c_str()));
    cmsCloseProfile(profile);
    cmsFreeToneCurve(curve);
    const std::vector<double> reference = transicc_reference(icc);
    const std::vector<double> got = decoded_centres(file);
    ASSERT_EQ(got.size(), reference.size()) << name;
    int compared = 0, grey_before = -1;
    for (int i = 0; i < columns * rows; ++i) {
      const int rgb = patch_rgb(i);
      const int top = std::max({rgb >> 16, rgb >> 8 & 255, rgb & 255});
      if (light(top / 255.0) / 203 <= 0.75) {
        const cmsCIELab a = to_lab(&got[i * 3]), b = to_lab(&reference[i * 3]);
        EXPECT_LE(cmsCIE2000DeltaE(&a, &b, 1, 1, 1), max_delta_e) << name << " patch " << i;
        ++compared;
      }
    }
    EXPECT_GE(compared, 12) << name;
    // The greys, darkest first: 0x08 to 0xff.
    for (const int i : {31, 23, 15, 22, 14, 30, 6}) {
      EXPECT_GT(got[i * 3], grey_before) << name << " patch " << i;
      grey_before = int(got[i * 3]);
    }
    EXPECT_GE(grey_before, 254) << name;
  }
}

// Monochrome AVIF in limited range, at each depth, against the reference decoder's 16 bits.
TEST_F(Colour, MonochromeAvifIsWidenedToFullRange) {
  const std::string ramp = dir.file("ramp.png");
  run("convert -size 256x8 gradient:white-black -rotate 90 '" + ramp + "'");
  for (const char* depth : {"8", "10", "12"}) {
    const std::string file = dir.file(std::string("grey") + depth + ".avif");
    const std::string reference = dir.file(std::string("grey") + depth + ".png");
    run(std::string("avifenc -s 9 --min 0 --max 0 -y 400 -r limited -d ") + depth + " '" + ramp +
        "' '" + file + "'");
    run("avifdec -d 16 '" + file + "' '" + reference + "'");
    const std::string wide =
        command_output("convert '" + reference + "' -depth 16 -endian MSB rgb:-");
    const auto image = load_image(file.c_str(), "", {});
    ASSERT_TRUE(image) << file;
    ASSERT_EQ(wide.size(), image->rgb.size() * 2) << file;
    int worst = 0;
    for (std::size_t i = 0; i * 6 < wide.size(); ++i) {
      const int sample = std::uint8_t(wide[6 * i]) << 8 | std::uint8_t(wide[6 * i + 1]);
      worst = std::max(worst, std::abs(image->rgb[i * 3] - (sample * 255 + 32767) / 65535));
    }
    EXPECT_LE(worst, 1) << file;
    EXPECT_EQ(get_pixel(*image, 0, image->height - 1), 0) << file;  // black is black
  }
}

}  // namespace
