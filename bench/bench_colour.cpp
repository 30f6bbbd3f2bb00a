// Cost of colour management, in CPU time of the measuring thread.
//
// The transform: a Display P3 raster converted to the display's colours (sRGB here), single
// thread, best of several runs, in nanoseconds per pixel converted and per pixel shown. The view
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
#include "support/photo.h"

namespace {

constexpr int runs = 9;
constexpr Wish cell = {283, 196};

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

void transform_cost(const std::vector<std::uint8_t>& p3) {
  const auto transform = colour::to_display(ColourDescription{.icc = p3}, colour::Input::rgb);
  if (!transform) std::abort();
  struct Case {
    const char* name;
    std::uint32_t width, height, shown_width, shown_height;
  };
  for (const Case& c :
       {Case{"view", 1500, 1000, 1470, 980}, Case{"grid cell", 283, 212, 283, 212}}) {
    const Image raster = bench::photo(c.width, c.height, 1);
    std::vector<std::uint8_t> out(raster.rgb.size());
    const double s = best_seconds([&] {
      colour::apply(*transform, raster.rgb.data(), out.data(), raster.width * raster.height);
    });
    const double pixels = double(c.width) * c.height;
    std::printf(
        "transform, %s: %ux%u converted, %.2f ns per pixel converted, %.2f ns per pixel "
        "shown (%ux%u; goal <= 3)\n",
        c.name, c.width, c.height, s * 1e9 / pixels,
        s * 1e9 / (double(c.shown_width) * c.shown_height), c.shown_width, c.shown_height);
  }
}

}  // namespace

int main() {
  init_formats();
  const std::vector<std::uint8_t> p3 = display_p3();
  transform_cost(p3);

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
